#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/disk_interface_posix.h"
#include "platform/profile_engine.h"

namespace quillpost {

/// Private profile-string operations on files of a POSIX disk.
///
/// Every change is made the lock-file way: the new text is written to a
/// temporary file in the same directory, flushed to disk and renamed over
/// the file, and the directory is synced; on any failure the file is left
/// byte-identical and the temporary file is removed. The read-modify-write
/// holds an exclusive flock on the file itself, so concurrent writers never
/// lose each other's updates, and a crashed holder never leaves a stale lock.
/// A symbolic link is updated at its target and stays a link; the file's
/// permission bits, owner and group are kept.
class ProfileFile {
 public:
  explicit ProfileFile(DiskInterface& disk) : disk_(disk) {}

  /// Stores the value of |key| in |section| of |path| (or |default_value|
  /// when the file, section or key is missing, or the file is one the
  /// engine refuses), cut to |capacity| - 1
  /// characters and null-terminated, in |buffer|. Returns the number of
  /// characters stored.
  unsigned Read(const char* path, std::string_view section, std::string_view key,
                std::string_view default_value, char* buffer, unsigned capacity);

  /// Sets |key| of |section| to |value|, creating what is missing. Returns
  /// true when the file holds the value afterwards; false when the input was
  /// refused or the disk failed (the file then unchanged).
  bool Write(const char* path, std::string_view section, std::string_view key,
             std::string_view value);

  /// Removes |key| from |section|. Returns true when the key is absent
  /// afterwards (a missing file is neither created nor an error); false when
  /// refused or the disk failed (the file then unchanged).
  bool Delete(const char* path, std::string_view section, std::string_view key);

  /// Returns one line that says why the last Write or Delete was refused
  /// with the file left alone, or nullptr when it was not refused.
  const char* RefusalReason() const { return refusal_; }

 private:
  enum class Outcome { kDone, kFailed, kRetry };

  /// Plans an edit of the file's current text.
  using Planner = PlanResult (*)(std::string_view text, const void* args, ProfileEdit* edit);

  bool Update(const char* path, bool create_missing, Planner plan, const void* args);
  Outcome UpdateOnce(const std::string& target, bool create_missing, Planner plan,
                     const void* args);
  bool ResolveLinks(const char* path, std::string* target);
  /// A file's whole content, read without first zero-filling the buffer.
  struct Content {
    std::unique_ptr<char[]> bytes;
    size_t size = 0;
    std::string_view view() const { return std::string_view(bytes.get(), size); }
  };
  /// Reads the whole open file. Returns false on a read error.
  bool ReadAll(int fd, Content* content);
  bool WriteAll(int fd, std::string_view bytes);
  /// Writes |parts| to a new temporary file beside |target| with |mode|,
  /// synced and closed. Returns false (and leaves nothing behind) on failure.
  bool WriteTemporary(const std::string& target, const std::string_view* parts, int count,
                      const struct stat* like, std::string* temp_path);
  /// Syncs the directory that holds |target|, as far as it can.
  void SyncDirectoryOf(const std::string& target);

  DiskInterface& disk_;
  const char* refusal_ = nullptr;
};

}  // namespace quillpost
