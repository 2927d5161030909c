#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace quillpost {

/// Every file-system call that the POSIX file layer (ProfileFile) makes, and
/// nothing else, so that tests can make any single call fail. Each call has the POSIX
/// convention: -1 (and errno) on failure.
class DiskInterface {
 public:
  virtual ~DiskInterface() = default;

  /// Returns a descriptor, or -1.
  virtual int Open(const char* path, int flags, mode_t mode) = 0;
  /// Returns the number of bytes read (0 at the end), or -1.
  virtual ssize_t Read(int fd, void* buffer, size_t size) = 0;
  /// Returns the number of bytes written, or -1.
  virtual ssize_t Write(int fd, const void* buffer, size_t size) = 0;
  /// Writes at |offset| without moving the file position. Returns the number
  /// of bytes written, or -1.
  virtual ssize_t WriteAt(int fd, const void* buffer, size_t size, off_t offset) = 0;
  /// Reserves the disk space of bytes [|offset|, |offset| + |length|)
  /// without changing the file's size (fallocate with FALLOC_FL_KEEP_SIZE;
  /// nothing where the file system cannot). Returns 0, or -1.
  virtual int Allocate(int fd, off_t offset, off_t length) = 0;
  /// Cuts or extends the open file to |length| bytes. Returns 0, or -1.
  virtual int Truncate(int fd, off_t length) = 0;
  /// Clears O_NONBLOCK of an open file. Returns 0, or -1.
  virtual int SetBlocking(int fd) = 0;
  /// Returns 0, or -1.
  virtual int Fsync(int fd) = 0;
  /// Returns 0, or -1.
  virtual int Close(int fd) = 0;
  /// Applies the flock |operation| (LOCK_SH or LOCK_EX, waiting for it unless
  /// LOCK_NB is added) to the open file. Returns 0, or -1 (ETIMEDOUT when
  /// another holder kept it for the rest of the operation's lock wait).
  virtual int Lock(int fd, int operation) = 0;
  /// Starts the lock wait of one operation: from here until the next call,
  /// the waits of Lock last kLockWaitSeconds in all, however often the
  /// operation starts over (a file renamed over it meanwhile).
  virtual void StartLockWait() {}
  /// Renames |from| over |to|. Returns 0, or -1.
  virtual int Rename(const char* from, const char* to) = 0;
  /// Gives |from| the name |to| only when |to| does not exist (EEXIST
  /// otherwise). Returns 0, or -1.
  virtual int RenameNoReplace(const char* from, const char* to) = 0;
  /// Returns 0, or -1.
  virtual int Unlink(const char* path) = 0;
  /// stat (follows links), lstat (does not) and fstat. Return 0, or -1.
  virtual int Stat(const char* path, struct stat* st) = 0;
  virtual int Lstat(const char* path, struct stat* st) = 0;
  virtual int Fstat(int fd, struct stat* st) = 0;
  /// Stores the target of the symbolic link |path| in |*target|. Returns 0, or -1.
  virtual int ReadLink(const char* path, std::string* target) = 0;
  /// Set permission bits, owner and group of an open file. Return 0, or -1.
  virtual int Fchmod(int fd, mode_t mode) = 0;
  virtual int Fchown(int fd, uid_t owner, gid_t group) = 0;
  /// Stores the names in directory |path| ("." and ".." left out) in |*names|.
  /// Returns 0, or -1.
  virtual int ListDirectory(const char* path, std::vector<std::string>* names) = 0;
};

/// How long the real disk waits for a lock on a file, in all, for one
/// operation, before it gives up with ETIMEDOUT. A run of provreg or
/// provunreg is one operation.
constexpr int kLockWaitSeconds = 20;

/// The real disk.
class RealDiskInterface : public DiskInterface {
 public:
  explicit RealDiskInterface(int lock_wait_seconds = kLockWaitSeconds)
      : lock_wait_seconds_(lock_wait_seconds) {}

  int Open(const char* path, int flags, mode_t mode) override;
  ssize_t Read(int fd, void* buffer, size_t size) override;
  ssize_t Write(int fd, const void* buffer, size_t size) override;
  ssize_t WriteAt(int fd, const void* buffer, size_t size, off_t offset) override;
  int Allocate(int fd, off_t offset, off_t length) override;
  int Truncate(int fd, off_t length) override;
  int SetBlocking(int fd) override;
  int Fsync(int fd) override;
  int Close(int fd) override;
  int Lock(int fd, int operation) override;
  void StartLockWait() override;
  int Rename(const char* from, const char* to) override;
  int RenameNoReplace(const char* from, const char* to) override;
  int Unlink(const char* path) override;
  int Stat(const char* path, struct stat* st) override;
  int Lstat(const char* path, struct stat* st) override;
  int Fstat(int fd, struct stat* st) override;
  int ReadLink(const char* path, std::string* target) override;
  int Fchmod(int fd, mode_t mode) override;
  int Fchown(int fd, uid_t owner, gid_t group) override;
  int ListDirectory(const char* path, std::vector<std::string>* names) override;

 private:
  int lock_wait_seconds_;
  long wait_started_ms_ = -1;  // when the operation's lock wait began, or -1
};

}  // namespace quillpost
