#pragma once

#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "platform/disk_interface_posix.h"

namespace quillpost::test {

/// The real disk, except that the call numbered |fail_at| (counting from 0
/// over every call) fails with |error|; or, when |signal| is set, sends that
/// signal to the calling process (if it is |signal_pid|) and then goes on.
/// Counts the calls made.
class FaultyDisk : public RealDiskInterface {
 public:
  long fail_at = -1;
  int error = EIO;
  int signal = 0;
  pid_t signal_pid = 0;
  long calls = 0;

  int Open(const char* p, int f, mode_t m) override {
    return Fail() ? -1 : RealDiskInterface::Open(p, f, m);
  }
  ssize_t Read(int fd, void* b, size_t n) override {
    return Fail() ? -1 : RealDiskInterface::Read(fd, b, n);
  }
  ssize_t Write(int fd, const void* b, size_t n) override {
    return Fail() ? -1 : RealDiskInterface::Write(fd, b, n);
  }
  int Fsync(int fd) override { return Fail() ? -1 : RealDiskInterface::Fsync(fd); }
  int Close(int fd) override {
    // A failed close still releases the descriptor, as on Linux.
    const bool fail = Fail();
    const int r = RealDiskInterface::Close(fd);
    if (fail) errno = error;
    return fail ? -1 : r;
  }
  int Lock(int fd) override { return Fail() ? -1 : RealDiskInterface::Lock(fd); }
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

 private:
  bool Fail() {
    if (calls++ != fail_at) return false;
    if (signal != 0) {
      if (getpid() == signal_pid) kill(getpid(), signal);
      return false;
    }
    errno = error;
    return true;
  }
};

}  // namespace quillpost::test
