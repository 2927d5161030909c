#include "platform/failure.h"

namespace quillpost {

// The lines are the manual pages' DIAGNOSTICS entries: keep them in step.
void FailureRecord::Set(FailureKind kind) {
  switch (kind) {
    case FailureKind::kReadOnly:
      return Set(kind, "The file is read-only");
    case FailureKind::kNotRegularFile:
      return Set(kind, "The file is not a regular file");
    case FailureKind::kMissingDirectory:
      return Set(kind, "The file's directory does not exist");
    case FailureKind::kNoSpace:
      return Set(kind, "No space left on the device");
    case FailureKind::kTooLarge:
      return Set(kind, "The file is too large (the file-size limit or memory ran out)");
    default:
      return Set(FailureKind::kOther, CannotChangeLine("no reason given"));
  }
}

void FailureRecord::Clear() {
  kind_ = FailureKind::kNone;
  line_.clear();
  remains_.clear();
  file_.clear();
}

void FailureRecord::Set(FailureKind kind, std::string line) {
  kind_ = kind;
  line_ = std::move(line);
  remains_.clear();
  file_.clear();
}

Failure FailureRecord::Get() const {
  if (kind_ == FailureKind::kNone) return Failure{};
  return Failure{kind_, line_.c_str(), remains_.empty() ? nullptr : remains_.c_str(),
                 file_.empty() ? nullptr : file_.c_str()};
}

std::string WriteRefusedLine(std::string_view why) { return "Write refused: " + std::string(why); }

std::string LockHeldLine(int seconds) {
  return "Another program holds a lock on the file; gave up after " + std::to_string(seconds) +
         " s";
}

std::string CannotChangeLine(std::string_view error) {
  return "The file cannot be changed: " + std::string(error);
}

}  // namespace quillpost
