#include "platform/profile/disk_interface_posix.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <vector>

namespace quillpost {

int RealDiskInterface::Open(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

ssize_t RealDiskInterface::Read(int fd, void* buffer, size_t size) {
  ssize_t n;
  do {
    n = ::read(fd, buffer, size);
  } while (n < 0 && errno == EINTR);
  return n;
}

ssize_t RealDiskInterface::Write(int fd, const void* buffer, size_t size) {
  ssize_t n;
  do {
    n = ::write(fd, buffer, size);
  } while (n < 0 && errno == EINTR);
  return n;
}

ssize_t RealDiskInterface::WriteAt(int fd, const void* buffer, size_t size, off_t offset) {
  ssize_t n;
  do {
    n = ::pwrite(fd, buffer, size, offset);
  } while (n < 0 && errno == EINTR);
  return n;
}

int RealDiskInterface::Allocate(int fd, off_t offset, off_t length) {
  // Reserved beyond the end without growing the file, so that a reader
  // never sees the room as zeros. A file system that cannot reserve so
  // reserves nothing: the write itself then meets a full disk, and the
  // caller puts the old bytes back.
  int r;
  do {
    r = ::fallocate(fd, FALLOC_FL_KEEP_SIZE, offset, length);
  } while (r < 0 && errno == EINTR);
  if (r == 0 || errno == EOPNOTSUPP || errno == ENOSYS) return 0;
  return -1;
}

int RealDiskInterface::Truncate(int fd, off_t length) {
  int r;
  do {
    r = ::ftruncate(fd, length);
  } while (r < 0 && errno == EINTR);
  return r;
}

int RealDiskInterface::SetBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return -1;
  return ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

int RealDiskInterface::Fsync(int fd) { return ::fsync(fd); }

int RealDiskInterface::Close(int fd) { return ::close(fd); }

namespace {

long MonotonicMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000L + now.tv_nsec / 1000000;
}

}  // namespace

void RealDiskInterface::StartLockWait() { wait_started_ms_ = MonotonicMs(); }

int RealDiskInterface::Lock(int fd, int operation) {
  if (operation & LOCK_NB) {
    int r;
    do {
      r = ::flock(fd, operation);
    } while (r < 0 && errno == EINTR);
    return r;
  }
  // Wait for the lock, but not for ever: a process that holds it and never
  // lets go (one stopped, or any reader of the file holding a lock of its
  // own) must not hang every program that edits the file. Polling keeps the
  // wait free of timers and signals.
  const long deadline_ms =
      (wait_started_ms_ >= 0 ? wait_started_ms_ : MonotonicMs()) + lock_wait_seconds_ * 1000L;
  struct timespec pause = {0, 1000000};  // 1 ms, doubled up to 64 ms
  for (;;) {
    if (::flock(fd, operation | LOCK_NB) == 0) return 0;
    if (errno != EWOULDBLOCK && errno != EINTR) return -1;
    if (MonotonicMs() >= deadline_ms) {
      errno = ETIMEDOUT;
      return -1;
    }
    nanosleep(&pause, nullptr);
    if (pause.tv_nsec < 64000000) pause.tv_nsec *= 2;
  }
}

int RealDiskInterface::Rename(const char* from, const char* to) { return ::rename(from, to); }

int RealDiskInterface::RenameNoReplace(const char* from, const char* to) {
  if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // File systems without renameat2 flags: a hard link is just as exclusive.
  if (::link(from, to) != 0) return -1;
  ::unlink(from);
  return 0;
}

int RealDiskInterface::Unlink(const char* path) { return ::unlink(path); }

int RealDiskInterface::Stat(const char* path, struct stat* st) { return ::stat(path, st); }

int RealDiskInterface::Lstat(const char* path, struct stat* st) { return ::lstat(path, st); }

int RealDiskInterface::Fstat(int fd, struct stat* st) { return ::fstat(fd, st); }

int RealDiskInterface::ReadLink(const char* path, std::string* target) {
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t n = ::readlink(path, buffer.data(), buffer.size());
    if (n < 0) return -1;
    if (static_cast<size_t>(n) < buffer.size()) {
      target->assign(buffer.data(), static_cast<size_t>(n));
      return 0;
    }
    buffer.resize(buffer.size() * 2);
  }
}

int RealDiskInterface::Fchmod(int fd, mode_t mode) { return ::fchmod(fd, mode); }

int RealDiskInterface::Fchown(int fd, uid_t owner, gid_t group) {
  return ::fchown(fd, owner, group);
}

int RealDiskInterface::ListDirectory(const char* path, std::vector<std::string>* names) {
  DIR* dir = ::opendir(path);
  if (dir == nullptr) return -1;
  names->clear();
  for (;;) {
    errno = 0;
    const struct dirent* entry = ::readdir(dir);
    if (entry == nullptr) break;
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names->push_back(name);
  }
  const int error = errno;
  ::closedir(dir);
  errno = error;
  return error == 0 ? 0 : -1;
}

}  // namespace quillpost
