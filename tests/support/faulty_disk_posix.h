#pragma once

#include <cerrno>

#include "platform/disk_interface_posix.h"

namespace quillpost::test {

/// The real disk, except that the call numbered |fail_at| (counting from 0
/// over every call) fails with |error|, and with |fail_after| every call
/// after it too (a disk that died). The write that fails first writes half
/// of its bytes, as a disk that fails mid-write may. Counts the calls made.
/// An fsync that does not fail reaches the disk only with |real_sync|: what
/// it makes durable is not observable in a test, and it would dominate the
/// time of a pass that repeats a run for every call.
class FaultyDisk : public RealDiskInterface {
 public:
  long fail_at = -1;
  bool fail_after = false;
  bool real_sync = false;
  int error = EIO;
  long calls = 0;

  int Open(const char* p, int f, mode_t m) override {
    return Fail() ? -1 : RealDiskInterface::Open(p, f, m);
  }
  ssize_t Read(int fd, void* b, size_t n) override {
    return Fail() ? -1 : RealDiskInterface::Read(fd, b, n);
  }
  ssize_t Write(int fd, const void* b, size_t n) override {
    if (!Fail()) return RealDiskInterface::Write(fd, b, n);
    if (calls - 1 == fail_at) RealDiskInterface::Write(fd, b, n / 2);
    errno = error;
    return -1;
  }
  ssize_t WriteAt(int fd, const void* b, size_t n, off_t at) override {
    if (!Fail()) return RealDiskInterface::WriteAt(fd, b, n, at);
    if (calls - 1 == fail_at) RealDiskInterface::WriteAt(fd, b, n / 2, at);
    errno = error;
    return -1;
  }
  int Allocate(int fd, off_t at, off_t n) override {
    return Fail() ? -1 : RealDiskInterface::Allocate(fd, at, n);
  }
  int Truncate(int fd, off_t n) override {
    return Fail() ? -1 : RealDiskInterface::Truncate(fd, n);
  }
  int SetBlocking(int fd) override { return Fail() ? -1 : RealDiskInterface::SetBlocking(fd); }
  int Fsync(int fd) override {
    if (Fail()) return -1;
    return real_sync ? RealDiskInterface::Fsync(fd) : 0;
  }
  int Close(int fd) override {
    // A failed close still releases the descriptor, as on Linux.
    const bool fail = Fail();
    const int r = RealDiskInterface::Close(fd);
    if (fail) errno = error;
    return fail ? -1 : r;
  }
  int Lock(int fd, int op) override { return Fail() ? -1 : RealDiskInterface::Lock(fd, op); }
  int Rename(const char* a, const char* b) override {
    return Fail() ? -1 : RealDiskInterface::Rename(a, b);
  }
  int RenameNoReplace(const char* a, const char* b) override {
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
  bool Fail() {
    const long call = calls++;
    if (fail_at < 0 || call < fail_at || (call > fail_at && !fail_after)) return false;
    errno = error;
    return true;
  }
};

}  // namespace quillpost::test
