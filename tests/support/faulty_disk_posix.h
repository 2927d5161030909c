#pragma once

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <map>
#include <string>

#include "platform/profile/disk_interface_posix.h"

namespace quillpost::test {

/// The real disk, except that the call numbered |fail_at| (counting from 0
/// over every call) fails with |error|, and with |fail_after| every call
/// after it too (a disk that died). The write that fails first writes half
/// of its bytes, as a disk that fails mid-write may. Counts the calls made,
/// and records every file it created that was renamed (or was to be)
/// without a successful fsync after its last write.
/// An fsync that does not fail reaches the disk only with |real_sync|: what
/// it makes durable is not observable in a test, and it would dominate the
/// time of a pass that repeats a run for every call.
/// When |signal| is set, the call numbered |fail_at| does not fail: it sends
/// that signal to the calling process (if it is |signal_pid|) and goes on;
/// when |plant| is set, it runs |plant| first (another user at work) and goes on.
class FaultyDisk : public RealDiskInterface {
 public:
  long fail_at = -1;
  bool fail_after = false;
  bool real_sync = false;
  int error = EIO;
  int signal = 0;
  pid_t signal_pid = 0;
  std::function<void()> plant;
  long calls = 0;
  std::string unsynced_renames;  // one path a line; empty when none
  std::string order;             // in turn: "A" for each Allocate, "W" each WriteAt, "S" each Fsync

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
    if (!Fail()) return RealDiskInterface::Write(fd, b, n);
    if (calls - 1 == fail_at) RealDiskInterface::Write(fd, b, n / 2);
    errno = error;
    return -1;
  }
  ssize_t WriteAt(int fd, const void* b, size_t n, off_t at) override {
    order += 'W';
    if (created_.count(fd)) synced_[created_[fd]] = false;
    if (!Fail()) return RealDiskInterface::WriteAt(fd, b, n, at);
    if (calls - 1 == fail_at) RealDiskInterface::WriteAt(fd, b, n / 2, at);
    errno = error;
    return -1;
  }
  int Allocate(int fd, off_t at, off_t n) override {
    order += 'A';
    return Fail() ? -1 : RealDiskInterface::Allocate(fd, at, n);
  }
  int Truncate(int fd, off_t n) override {
    return Fail() ? -1 : RealDiskInterface::Truncate(fd, n);
  }
  int SetBlocking(int fd) override { return Fail() ? -1 : RealDiskInterface::SetBlocking(fd); }
  int Fsync(int fd) override {
    order += 'S';
    const int r = Fail() ? -1 : real_sync ? RealDiskInterface::Fsync(fd) : 0;
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
  int Lock(int fd, int op) override { return Fail() ? -1 : RealDiskInterface::Lock(fd, op); }
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
  int ListDirectory(const char* p, std::vector<std::string>* n) override {
    return Fail() ? -1 : RealDiskInterface::ListDirectory(p, n);
  }

 private:
  void CheckSynced(const char* path) {
    const auto it = synced_.find(path);
    if (it != synced_.end() && !it->second) unsynced_renames += std::string(path) + "\n";
  }

  std::map<int, std::string> created_;  // open descriptors of created files
  std::map<std::string, bool> synced_;  // created files: synced since the last write
  bool Fail() {
    const long call = calls++;
    if (plant) {
      if (call == fail_at) plant();
      return false;
    }
    if (fail_at < 0 || call < fail_at || (call > fail_at && !fail_after)) return false;
    if (signal != 0) {
      if (call == fail_at && getpid() == signal_pid) kill(getpid(), signal);
      return false;
    }
    errno = error;
    return true;
  }
};

}  // namespace quillpost::test
