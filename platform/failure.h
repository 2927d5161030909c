#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace quillpost {

/// What stopped the platform's last operation.
enum class FailureKind {
  kNone,              ///< it did not fail
  kRefusedInput,      ///< a name, value, file or entry that is not edited, on purpose
  kPermission,        ///< this user may not write the file or its directory
  kReadOnly,          ///< the file, or its file system, is read-only
  kNotRegularFile,    ///< a directory, FIFO, device or socket has the file's name
  kMissingDirectory,  ///< the file's directory does not exist
  kNoSpace,
  kTooLarge,        ///< the file-size limit, or memory, ran out
  kLockHeld,        ///< another holder kept the file's lock for the whole wait
  kLinkRefused,     ///< a symbolic link that is not followed
  kLibraryRefused,  ///< a library found but not loaded
  kOther,
};

/// The record that every operation of the platform that can fail leaves:
/// its kind, and one line that says why, as the manual pages' DIAGNOSTICS
/// give it. |line| is null when |kind| is kNone, and never empty otherwise.
struct Failure {
  FailureKind kind = FailureKind::kNone;
  const char* line = nullptr;
  /// When a change failed and could not be undone whole (Windows): one more
  /// line, naming what of the change the file may still hold; else null.
  const char* remains = nullptr;
  /// The file the failed call was on, when the platform tells; else null.
  const char* file = nullptr;
};

/// Where an adapter of the platform keeps the record of its last operation.
class FailureRecord {
 public:
  /// The last operation did not fail.
  void Clear();
  /// It failed for |kind|, which has a line of its own (kReadOnly,
  /// kNotRegularFile, kMissingDirectory, kNoSpace, kTooLarge).
  void Set(FailureKind kind);
  /// It failed for |kind|, as |line| says.
  void Set(FailureKind kind, std::string line);
  /// The failed change could not be undone whole: |remains| names what of
  /// it is left. After a Set.
  void SetRemains(std::string remains) { remains_ = std::move(remains); }
  /// The failure was on |file|. After a Set.
  void SetFile(std::string file) { file_ = std::move(file); }
  Failure Get() const;
  bool failed() const { return kind_ != FailureKind::kNone; }

 private:
  FailureKind kind_ = FailureKind::kNone;
  std::string line_;
  std::string remains_;
  std::string file_;
};

/// The lines that name their cause.
std::string WriteRefusedLine(std::string_view why);
std::string LockHeldLine(int seconds);
std::string CannotChangeLine(std::string_view error);

}  // namespace quillpost
