#pragma once

#include <fcntl.h>

#include <cerrno>
#include <map>
#include <string>

#include "platform/disk_interface_posix.h"

namespace quillpost::test {

/// The real disk, except that the call numbered |fail_at| (counting from 0
/// over every call) fails with |error|. Counts the calls made, and records
/// every file it created that was renamed (or was to be) without a
/// successful fsync after its last write.
class FaultyDisk : public RealDiskInterface {
 public:
  long fail_at = -1;
  int error = EIO;
  long calls = 0;
  std::string unsynced_renames;  // one path a line; empty when none

  int Open(const char* p, int f, mode_t m) override {
    const int fd = Fail() ? -1 : RealDiskInterface::Open(p, f, m);
    if (fd >= 0 && (f & O_CREAT)) {
      created_[fd] = p;
      synced_[p] = false;
    }
    return fd;
  }
  ssize_t Read(int fd, void* b, size_t n) override {
    return Fail() ? -1 : RealDiskInterface::Read(fd, b, n);
  }
  ssize_t Write(int fd, const void* b, size_t n) override {
    if (created_.count(fd)) synced_[created_[fd]] = false;
    return Fail() ? -1 : RealDiskInterface::Write(fd, b, n);
  }
  int Fsync(int fd) override {
    const int r = Fail() ? -1 : RealDiskInterface::Fsync(fd);
    if (r == 0 && created_.count(fd)) synced_[created_[fd]] = true;
    return r;
  }
  int Close(int fd) override {
    created_.erase(fd);
    // A failed close still releases the descriptor, as on Linux.
    const bool fail = Fail();
    const int r = RealDiskInterface::Close(fd);
    if (fail) errno = error;
    return fail ? -1 : r;
  }
  int Lock(int fd) override { return Fail() ? -1 : RealDiskInterface::Lock(fd); }
  int Rename(const char* a, const char* b) override {
    CheckSynced(a);
    return Fail() ? -1 : RealDiskInterface::Rename(a, b);
  }
  int RenameNoReplace(const char* a, const char* b) override {
    CheckSynced(a);
    return Fail() ? -1 : RealDiskInterface::RenameNoReplace(a, b);
  }
  int Unlink(const char* p) override { return Fail() ? -1 : RealDiskInterface::Unlink(p); }
  int Stat(const char* p, struct stat* s) override {
    return Fail() ? -1 : RealDiskInterface::Stat(p, s);
  }
  int Lstat(const char* p, struct stat* s) override {
    return Fail() ? -1 : RealDiskInterface::Lstat(p, s);
  }
  int Fstat(int fd, struct stat* s) override {
    return Fail() ? -1 : RealDiskInterface::Fstat(fd, s);
  }
  int ReadLink(const char* p, std::string* t) override {
    return Fail() ? -1 : RealDiskInterface::ReadLink(p, t);
  }
  int Fchmod(int fd, mode_t m) override { return Fail() ? -1 : RealDiskInterface::Fchmod(fd, m); }
  int Fchown(int fd, uid_t u, gid_t g) override {
    return Fail() ? -1 : RealDiskInterface::Fchown(fd, u, g);
  }

 private:
  void CheckSynced(const char* path) {
    const auto it = synced_.find(path);
    if (it != synced_.end() && !it->second) unsynced_renames += std::string(path) + "\n";
  }

  std::map<int, std::string> created_;  // open descriptors of created files
  std::map<std::string, bool> synced_;  // created files: synced since the last write
  bool Fail() {
    if (calls++ != fail_at) return false;
    errno = error;
    return true;
  }
};

}  // namespace quillpost::test
