#include "platform/profile/profile_file_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <vector>

namespace quillpost {
namespace {

// Times a writer starts over because another one replaced the file while it
// waited for the lock; each start over means another writer made progress.
constexpr int kMaxRetries = 10000;

// A temporary file is named "." + the file's name + this + digits and dashes.
constexpr char kTemporaryMark[] = ".tmp";

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseNameOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

/// Returns true when |name| is one of our temporary files for the file |base|.
bool IsTemporaryOf(const std::string& name, const std::string& base) {
  const std::string prefix = "." + base + kTemporaryMark;
  return name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
         name.find_first_not_of("0123456789-", prefix.size()) == std::string::npos;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

/// Returns true when |error| means the caller may not write there.
bool IsPermissionError(int error) { return error == EACCES || error == EPERM || error == EROFS; }

constexpr char kTwoFiles[] = "one change edits one file";

constexpr char kChangedMeanwhile[] = "the file changed while it was being checked";

struct HoldOutArgs {
  const ProfileFile::HeldOut* held;
};

PlanResult HoldOutEdit(std::string_view text, const void* args, ProfileEdit* edit) {
  const ProfileFile::HeldOut& held = *static_cast<const HoldOutArgs*>(args)->held;
  if (text != held.before) {
    edit->reason = kChangedMeanwhile;
    return PlanResult::kRefused;
  }
  *edit = ProfileEdit{held.line.at, held.line.at + (held.before.size() - held.after.size()),
                      std::string()};
  return PlanResult::kChange;
}

struct PutBackArgs {
  std::string_view section, key, value;
  const ProfileFile::HeldOut* held;
};

PlanResult PutBackEdit(std::string_view text, const void* args, ProfileEdit* edit) {
  const auto* a = static_cast<const PutBackArgs*>(args);
  const ProfileFile::HeldOut& held = *a->held;
  // Untouched since the delete: the line goes back where it was.
  if (text == held.after) {
    *edit = ProfileEdit{held.line.at, held.line.at, held.line.content + held.line.line_end};
    return PlanResult::kChange;
  }
  // Bytes of another encoding cannot be inserted: the value is written anew.
  if (!SameProfileEncoding(text, held.before)) {
    return PlanWrite(text, a->section, a->key, a->value, edit);
  }
  return PlanPutBack(text, a->section, a->key, held.line, edit);
}

/// A planner of one edit, as a planner of a change.
template <PlanResult (*plan)(std::string_view, const void*, ProfileEdit*)>
PlanResult AsChange(std::string_view text, const void* args, ProfileChange* change) {
  ProfileEdit edit;
  const PlanResult planned = plan(text, args, &edit);
  change->reason = edit.reason;
  if (planned == PlanResult::kChange) change->edits.push_back(std::move(edit));
  return planned;
}

PlanResult StepsChange(std::string_view text, const void* args, ProfileChange* change) {
  return PlanChange(text, *static_cast<const std::vector<ProfileStep>*>(args), change);
}

}  // namespace

bool ProfileFile::PlanHoldOut(const char* path, std::string_view section, std::string_view key,
                              HeldOut* held) {
  Content text;
  const auto refuse = [this](FailureKind kind, const char* why) {
    record_.Set(kind, why);
    return false;
  };
  try {
    if (!ReadWhole(path, &text)) {
      // Gone since the read before: a failure like any other.
      if (!record_.failed()) record_.Set(FailureKind::kOther, std::strerror(ENOENT));
      return false;
    }
    ProfileEdit edit;
    switch (quillpost::PlanHoldOut(text.view(), section, key, &held->line, &edit)) {
      case PlanResult::kRefused:
        return refuse(FailureKind::kRefusedInput, edit.reason);
      case PlanResult::kNoChange:
        return refuse(FailureKind::kRefusedInput, "the section does not list it");
      case PlanResult::kChange:
        break;
    }
    held->before.assign(text.view());
    held->after = ApplyEdit(text.view(), edit);
    // The put-back must give the very bytes the file holds now.
    const ProfileEdit back{held->line.at, held->line.at, held->line.content + held->line.line_end};
    if (ApplyEdit(held->after, back) != held->before) {
      return refuse(FailureKind::kRefusedInput, "its line cannot be put back exactly");
    }
  } catch (const std::bad_alloc&) {
    return refuse(FailureKind::kTooLarge, "the file is too large to keep a copy of");
  }
  return true;
}

bool ProfileFile::HoldOut(const char* path, const HeldOut& held) {
  const HoldOutArgs args{&held};
  return Update(path, false, AsChange<HoldOutEdit>, &args);
}

bool ProfileFile::PutBack(const char* path, std::string_view section, std::string_view key,
                          std::string_view value, const HeldOut& held) {
  const PutBackArgs args{section, key, value, &held};
  return Update(path, true, AsChange<PutBackEdit>, &args);
}

bool ProfileFile::ReadWhole(const char* path, Content* text) {
  record_.Clear();
  refused_link_.clear();
  disk_.StartLockWait();
  SafePath resolved(disk_);
  std::string target;
  struct stat st;
  int fd = -1;
  bool read = false;
  if (ResolveLinks(path, &resolved, &target) &&
      (fd = OpenRegular(target.c_str(), O_RDONLY, &st)) >= 0) {
    // Shared with other readers; a writer updating the file in place holds
    // it exclusively, so what is read is never half an update.
    try {
      read = disk_.Lock(fd, LOCK_SH) == 0 && ReadAll(fd, st.st_size, text);
    } catch (const std::bad_alloc&) {
      errno = ENOMEM;
    }
    const int saved = errno;
    disk_.Close(fd);
    errno = saved;
  }
  if (read) return true;
  if (!refused_link_.empty()) {
    record_.Set(FailureKind::kLinkRefused, refused_link_);
  } else if (errno == ETIMEDOUT) {
    record_.Set(FailureKind::kLockHeld, LockHeldLine(kLockWaitSeconds));
  } else if (errno == EISDIR || errno == EINVAL) {
    record_.Set(FailureKind::kNotRegularFile, "it is not a regular file");
  } else if (errno != ENOENT && errno != ENOTDIR) {
    record_.Set(FailureKind::kOther, std::strerror(errno));  // a missing file is no failure
  }
  return false;
}

bool ProfileFile::Readable(std::string_view text) {
  const char* why = ProfileTextRefusal(text);
  if (why != nullptr) record_.Set(FailureKind::kRefusedInput, why);
  return why == nullptr;
}

unsigned ProfileFile::Read(const char* path, std::string_view section, std::string_view key,
                           std::string_view default_value, char* buffer, unsigned capacity) {
  if (capacity == 0) return 0;
  Content text;
  std::string found;
  std::string_view value = default_value;
  try {
    if (ReadWhole(path, &text) && Readable(text.view()) &&
        ReadProfileValue(text.view(), section, key, &found)) {
      value = found;
    }
  } catch (const std::bad_alloc&) {
    // A file too large for memory reads as missing, as any unreadable one.
    record_.Set(FailureKind::kTooLarge, "the file is too large for memory");
  }
  const size_t stored = std::min<size_t>(value.size(), capacity - 1);
  std::memcpy(buffer, value.data(), stored);
  buffer[stored] = '\0';
  return static_cast<unsigned>(stored);
}

void ProfileFile::ReadSection(const char* path, std::string_view section, std::string* entries) {
  entries->clear();
  Content text;
  try {
    if (ReadWhole(path, &text) && Readable(text.view())) {
      ListSectionEntries(text.view(), section, entries);
    }
  } catch (const std::bad_alloc&) {
    entries->clear();  // too large for memory: lists nothing, as an unreadable file
    record_.Set(FailureKind::kTooLarge, "the file is too large for memory");
  }
}

bool ProfileFile::Write(const char* path, std::string_view section, std::string_view key,
                        std::string_view value) {
  return Record(path,
                {ProfileStep::kWrite, std::string(section), std::string(key), std::string(value)});
}

bool ProfileFile::Delete(const char* path, std::string_view section, std::string_view key) {
  return Record(path, {ProfileStep::kDelete, std::string(section), std::string(key), {}});
}

bool ProfileFile::DeleteSection(const char* path, std::string_view section) {
  return Record(path, {ProfileStep::kDeleteSection, std::string(section), {}, {}});
}

bool ProfileFile::DeleteEveryKey(const char* path, std::string_view section, std::string_view key) {
  return Record(path, {ProfileStep::kDeleteEveryKey, std::string(section), std::string(key), {}});
}

void ProfileFile::BeginChange() {
  changing_ = true;
  two_files_ = false;
  change_path_.clear();
  steps_.clear();
}

bool ProfileFile::CommitChange() {
  changing_ = false;
  std::vector<ProfileStep> steps;
  steps.swap(steps_);
  if (two_files_) {
    two_files_ = false;
    record_.Set(FailureKind::kRefusedInput, WriteRefusedLine(kTwoFiles));
    return false;
  }
  if (steps.empty()) return true;
  bool create_missing = false;
  for (const ProfileStep& step : steps) {
    create_missing = create_missing || step.kind == ProfileStep::kWrite;
  }
  return Update(change_path_.c_str(), create_missing, StepsChange, &steps);
}

void ProfileFile::AbandonChange() {
  changing_ = false;
  two_files_ = false;
  steps_.clear();
}

bool ProfileFile::Record(const char* path, ProfileStep step) {
  if (!changing_) {
    BeginChange();
    Record(path, std::move(step));
    return CommitChange();
  }
  // One change is one file: a step on another file is refused, and so is
  // the change.
  if (two_files_ || (!steps_.empty() && change_path_ != path)) {
    two_files_ = true;
    record_.Set(FailureKind::kRefusedInput, WriteRefusedLine(kTwoFiles));
    return false;
  }
  record_.Clear();
  change_path_ = path;
  steps_.push_back(std::move(step));
  return true;
}

bool ProfileFile::Update(const char* path, bool create_missing, Planner plan, const void* args) {
  record_.Clear();
  refusal_ = nullptr;
  refused_link_.clear();
  read_only_ = false;
  disk_.StartLockWait();     // one wait for the whole update, however often it starts over
  SafePath resolved(disk_);  // holds the file's directory while it is changed
  std::string target;
  if (ResolveLinks(path, &resolved, &target)) {
    // A file too large for memory fails the change like any failure the
    // disk reports, the file as it was, rather than ending the program.
    try {
      for (int attempt = 0; attempt < kMaxRetries; ++attempt) {
        const Outcome outcome = UpdateOnce(target, create_missing, plan, args);
        if (outcome == Outcome::kDone) return true;
        if (outcome == Outcome::kFailed) break;
        // The name may be a link now.
        if (!ResolveLinks(path, &resolved, &target)) break;
      }
    } catch (const std::bad_alloc&) {
      errno = ENOMEM;
    }
  }
  NoteFailure(errno);
  return false;
}

// The lines are the manual pages' DIAGNOSTICS entries: keep them in step.
void ProfileFile::NoteFailure(int error) {
  if (!refused_link_.empty()) {
    return record_.Set(FailureKind::kLinkRefused, WriteRefusedLine(refused_link_));
  }
  if (refusal_ != nullptr)
    return record_.Set(FailureKind::kRefusedInput, WriteRefusedLine(refusal_));
  if (read_only_) return record_.Set(FailureKind::kReadOnly);
  switch (error) {
    case EACCES:
    case EPERM:
      return record_.Set(
          FailureKind::kPermission,
          "Permission denied: the file or its directory may not be written by this user");
    case ENOENT:
    case ENOTDIR:
      return record_.Set(FailureKind::kMissingDirectory);
    case EROFS:
      return record_.Set(FailureKind::kReadOnly);
    case EISDIR:
    case EINVAL:
      return record_.Set(FailureKind::kNotRegularFile);
    case ENOSPC:
    case EDQUOT:
      return record_.Set(FailureKind::kNoSpace);
    case EFBIG:
    case ENOMEM:
      return record_.Set(FailureKind::kTooLarge);
    case ETIMEDOUT:
      return record_.Set(FailureKind::kLockHeld, LockHeldLine(kLockWaitSeconds));
    default:
      return record_.Set(FailureKind::kOther, CannotChangeLine(std::strerror(error)));
  }
}

ProfileFile::Outcome ProfileFile::UpdateOnce(const std::string& target, bool create_missing,
                                             Planner plan, const void* args) {
  struct stat st;
  int write_error = 0;  // why the file could not be opened for writing
  int fd = OpenRegular(target.c_str(), O_RDWR, &st);
  if (fd < 0 && IsPermissionError(errno)) {
    // Not ours to write; still read, so that a change that changes nothing
    // succeeds, as it does on the platform.
    write_error = errno;
    fd = OpenRegular(target.c_str(), O_RDONLY, &st);
  }
  if (fd < 0) {
    if (errno == ELOOP) return Outcome::kRetry;  // a link came in after the path was resolved
    if (errno != ENOENT) return Outcome::kFailed;
    ProfileChange change;
    const PlanResult planned = plan("", args, &change);
    if (planned == PlanResult::kRefused) {
      refusal_ = change.reason;
      return Outcome::kFailed;
    }
    if (planned == PlanResult::kNoChange || !create_missing) return Outcome::kDone;
    if (observer_) observer_->Held();  // nobody else's lock to wait for
    const Outcome created = Create(target, ApplyChange("", change));
    const int saved = errno;
    if (observer_) observer_->Released();
    errno = saved;
    return created;
  }
  Outcome outcome = Outcome::kFailed;
  try {
    outcome = EditLocked(fd, write_error, target, plan, args);
  } catch (const std::bad_alloc&) {
    // A file too large for memory: the file is as it was, and the lock must
    // go with the descriptor all the same.
    errno = ENOMEM;
  }
  const int saved = errno;
  disk_.Close(fd);  // releases the lock
  if (locked_) {
    locked_ = false;
    if (observer_) observer_->Released();
  }
  errno = saved;
  return outcome;
}

ProfileFile::Outcome ProfileFile::EditLocked(int fd, int write_error, const std::string& target,
                                             Planner plan, const void* args) {
  struct stat held, named;
  if (disk_.Lock(fd, write_error == 0 ? LOCK_EX : LOCK_SH) != 0) return Outcome::kFailed;
  locked_ = true;
  if (observer_) observer_->Held();
  if (disk_.Fstat(fd, &held) != 0) return Outcome::kFailed;
  if (disk_.Lstat(target.c_str(), &named) != 0) {
    // The file went while we waited for the lock: start over.
    return errno == ENOENT ? Outcome::kRetry : Outcome::kFailed;
  }
  // Another writer renamed a new file (or a link) over the one we locked:
  // start over.
  if (!SameFile(named, held)) return Outcome::kRetry;

  Content text;
  if (!ReadAll(fd, held.st_size, &text)) return Outcome::kFailed;
  ProfileChange change;
  const PlanResult planned = plan(text.view(), args, &change);
  if (planned == PlanResult::kNoChange) return Outcome::kDone;
  if (planned == PlanResult::kRefused) {
    refusal_ = change.reason;
    return Outcome::kFailed;
  }
  // A file without any write bit is read-only for everyone, as the platform's
  // read-only attribute is, even for a caller whose privilege could write it.
  if (write_error != 0 || (held.st_mode & 0222) == 0) {
    read_only_ = (held.st_mode & 0222) == 0;
    errno = write_error != 0 ? write_error : EACCES;  // EROFS: a read-only mount
    return Outcome::kFailed;
  }

  SweepStaleTemporaries(target, held.st_uid);
  // The new text as the old one's stretches and the edits between them.
  const std::string_view whole = text.view();
  std::vector<std::string_view> parts;
  size_t from = 0;
  for (const ProfileEdit& edit : change.edits) {
    parts.push_back(whole.substr(from, edit.begin - from));
    parts.push_back(edit.text);
    from = edit.end;
  }
  parts.push_back(whole.substr(from));
  switch (ReplaceByRename(target, held, parts.data(), static_cast<int>(parts.size()))) {
    case Replacement::kDone:
      return Outcome::kDone;
    case Replacement::kFailed:
      return Outcome::kFailed;
    case Replacement::kInPlace:
      break;
  }
  const std::string updated = ApplyChange(whole, change);
  return UpdateInPlace(fd, whole, updated, change.edits.front().begin) ? Outcome::kDone
                                                                       : Outcome::kFailed;
}

ProfileFile::Outcome ProfileFile::Create(const std::string& target, std::string_view text) {
  // A new file is created as any file the user creates, 0666 less the umask;
  // it holds nothing but the new text.
  std::string temp;
  const int fd = CreateTemporary(target, 0666, &temp);
  if (fd < 0) return Outcome::kFailed;
  if (WriteAll(fd, text) && disk_.Fsync(fd) == 0 &&
      disk_.RenameNoReplace(temp.c_str(), target.c_str()) == 0) {
    disk_.Close(fd);
    SyncDirectoryOf(target);
    return Outcome::kDone;
  }
  // Someone else created the file meanwhile: start over and lock theirs.
  const int saved = errno;
  disk_.Unlink(temp.c_str());
  disk_.Close(fd);
  errno = saved;
  return saved == EEXIST ? Outcome::kRetry : Outcome::kFailed;
}

bool ProfileFile::ResolveLinks(const char* path, SafePath* resolved, std::string* target) {
  switch (resolved->Resolve(path)) {
    case SafePath::Result::kResolved:
      *target = resolved->path();
      return true;
    case SafePath::Result::kRefused:
      refused_link_ = LinkRefusal(resolved->refused_link());
      return false;
    case SafePath::Result::kFailed:
      break;
  }
  return false;
}

int ProfileFile::OpenRegular(const char* path, int flags, struct stat* st) {
  // Looked at before it is opened, so that a device is never opened at all;
  // opened without waiting (a FIFO would wait for a writer), and looked at
  // again, as the name may have changed in between. |path| was resolved
  // already: a link found there now came in since, and is not followed.
  if (disk_.Lstat(path, st) != 0) return -1;
  if (S_ISLNK(st->st_mode)) {
    errno = ELOOP;
    return -1;
  }
  if (S_ISREG(st->st_mode)) {
    const int fd = disk_.Open(path, flags | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW, 0);
    if (fd < 0) return -1;
    if (disk_.Fstat(fd, st) == 0) {
      if (S_ISREG(st->st_mode) && disk_.SetBlocking(fd) == 0) return fd;
      if (!S_ISREG(st->st_mode)) errno = S_ISDIR(st->st_mode) ? EISDIR : EINVAL;
    }
    const int saved = errno;
    disk_.Close(fd);
    errno = saved;
    return -1;
  }
  errno = S_ISDIR(st->st_mode) ? EISDIR : EINVAL;
  return -1;
}

bool ProfileFile::ReadAll(int fd, off_t size_hint, Content* content) {
  // The spare byte tells the end of the file from a file that grew since.
  size_t capacity = size_hint > 0 ? static_cast<size_t>(size_hint) + 1 : 1 << 16;
  content->bytes.reset(new char[capacity]);
  content->size = 0;
  for (;;) {
    if (content->size == capacity) {
      std::unique_ptr<char[]> larger(new char[capacity * 2]);
      std::memcpy(larger.get(), content->bytes.get(), content->size);
      content->bytes = std::move(larger);
      capacity *= 2;
    }
    const ssize_t n =
        disk_.Read(fd, content->bytes.get() + content->size, capacity - content->size);
    if (n < 0) return false;
    if (n == 0) return true;
    content->size += static_cast<size_t>(n);
  }
}

bool ProfileFile::WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = disk_.Write(fd, bytes.data(), bytes.size());
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool ProfileFile::WriteAllAt(int fd, std::string_view bytes, size_t offset) {
  while (!bytes.empty()) {
    const ssize_t n = disk_.WriteAt(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
    offset += static_cast<size_t>(n);
  }
  return true;
}

int ProfileFile::CreateTemporary(const std::string& target, mode_t mode, std::string* temp_path) {
  const std::string dir = DirectoryOf(target);
  const std::string base = BaseNameOf(target);
  static std::atomic<unsigned> counter{0};
  for (int i = 0; i < 100; ++i) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    *temp_path = dir + "/." + base + kTemporaryMark + std::to_string(getpid()) + "-" +
                 std::to_string(++counter) + "-" + std::to_string(now.tv_nsec);
    const int fd = disk_.Open(temp_path->c_str(), O_RDWR | O_CREAT | O_EXCL, mode);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return -1;
    }
    // Held locked from here on: a writer sweeping up after dead writers
    // removes only temporaries that nobody holds. One may have removed this
    // one before the lock was taken; then take another name.
    struct stat opened, named;
    if (disk_.Lock(fd, LOCK_EX) == 0 && disk_.Fstat(fd, &opened) == 0) {
      if (disk_.Lstat(temp_path->c_str(), &named) == 0) {
        if (SameFile(opened, named)) return fd;
        disk_.Close(fd);
        continue;
      }
      if (errno == ENOENT) {
        disk_.Close(fd);
        continue;
      }
    }
    const int saved = errno;
    disk_.Unlink(temp_path->c_str());
    disk_.Close(fd);
    errno = saved;
    return -1;
  }
  errno = EEXIST;
  return -1;
}

ProfileFile::Replacement ProfileFile::ReplaceByRename(const std::string& target,
                                                      const struct stat& held,
                                                      const std::string_view* parts, int count) {
  // A rename would cut the file off its other links, and cannot replace a
  // file mounted over the name.
  if (held.st_nlink != 1) return Replacement::kInPlace;
  struct stat dir;
  if (disk_.Stat(DirectoryOf(target).c_str(), &dir) != 0) return Replacement::kFailed;
  if (dir.st_dev != held.st_dev) return Replacement::kInPlace;

  // Born private: nobody else may read the copy before it has the file's mode.
  std::string temp;
  const int fd = CreateTemporary(target, 0600, &temp);
  if (fd < 0) {
    // A directory the caller may not write.
    return IsPermissionError(errno) ? Replacement::kInPlace : Replacement::kFailed;
  }
  // The copy takes the file's owner and group first (where the caller may not
  // give them, the file is not replaced), then its content, then its mode:
  // writing would clear set-id bits, and chown may too.
  Replacement result = Replacement::kFailed;
  struct stat copy;
  if (disk_.Fchown(fd, held.st_uid, held.st_gid) != 0) {
    result = Replacement::kInPlace;
  } else {
    bool written = true;
    for (int i = 0; written && i < count; ++i) written = WriteAll(fd, parts[i]);
    if (written) {
      const mode_t mode = held.st_mode & 07777;
      if (disk_.Fchmod(fd, mode) != 0 || disk_.Fstat(fd, &copy) != 0 ||
          copy.st_uid != held.st_uid || copy.st_gid != held.st_gid ||
          (copy.st_mode & 07777) != mode) {
        result = Replacement::kInPlace;
      } else if (disk_.Fsync(fd) == 0) {
        if (disk_.Rename(temp.c_str(), target.c_str()) == 0) {
          disk_.Close(fd);
          SyncDirectoryOf(target);
          return Replacement::kDone;
        }
        // A file mounted over the name (a bind mount of the file itself).
        if (errno == EBUSY) result = Replacement::kInPlace;
      }
    }
  }
  const int saved = errno;
  disk_.Unlink(temp.c_str());
  disk_.Close(fd);
  errno = saved;
  return result;
}

bool ProfileFile::UpdateInPlace(int fd, std::string_view old_text, std::string_view new_text,
                                size_t first_change) {
  const size_t old_size = old_text.size();
  const size_t new_size = new_text.size();
  // Only the bytes that differ are written: from the first changed one to
  // the last one that differs from what is already there.
  size_t first = std::min({first_change, old_size, new_size});
  while (first < old_size && first < new_size && old_text[first] == new_text[first]) ++first;
  size_t last = new_size;
  while (last > first && last <= old_size && old_text[last - 1] == new_text[last - 1]) --last;

  // The space is reserved before the first byte changes, so that a full disk
  // leaves the old text; the file keeps its size meanwhile. Then the changed
  // bytes go in one write and the cut follows at once: a reader that takes
  // no lock sees what docs/profile-format.md says, never zeros.
  if (new_size > old_size && disk_.Allocate(fd, static_cast<off_t>(old_size),
                                            static_cast<off_t>(new_size - old_size)) != 0) {
    const int saved = errno;
    disk_.Truncate(fd, static_cast<off_t>(old_size));  // whatever it reserved
    errno = saved;
    return false;
  }
  if (WriteAllAt(fd, new_text.substr(first, last - first), first) &&
      (new_size >= old_size || disk_.Truncate(fd, static_cast<off_t>(new_size)) == 0) &&
      disk_.Fsync(fd) == 0) {
    return true;
  }
  // Put the old bytes back: every one from the first changed one on, as a
  // failed write may have changed any of them and a cut may have dropped
  // the tail; then the old length.
  const int saved = errno;
  if (WriteAllAt(fd, old_text.substr(first), first) &&
      disk_.Truncate(fd, static_cast<off_t>(old_size)) == 0) {
    disk_.Fsync(fd);
  }
  errno = saved;
  return false;
}

void ProfileFile::SweepStaleTemporaries(const std::string& target, uid_t file_owner) {
  const std::string dir = DirectoryOf(target);
  const std::string base = BaseNameOf(target);
  std::vector<std::string> names;
  if (disk_.ListDirectory(dir.c_str(), &names) != 0) return;
  for (const std::string& name : names) {
    if (!IsTemporaryOf(name, base)) continue;
    // A live writer holds a lock on its temporary from its creation to its
    // rename or removal; one that nobody holds belongs to a dead writer.
    const std::string path = dir + "/" + name;
    // Only a regular file of the name is ours: a device or FIFO planted
    // under it is never opened.
    // In a directory others can write, another user's file of the name is
    // theirs, not a copy we left: only the caller's or the file owner's go.
    struct stat seen;
    if (disk_.Lstat(path.c_str(), &seen) != 0 || !S_ISREG(seen.st_mode) ||
        (seen.st_uid != geteuid() && seen.st_uid != file_owner)) {
      continue;
    }
    const int fd = disk_.Open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0);
    if (fd < 0) continue;
    struct stat opened, named;
    if (disk_.Fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && opened.st_uid == seen.st_uid &&
        disk_.Lock(fd, LOCK_EX | LOCK_NB) == 0 && disk_.Lstat(path.c_str(), &named) == 0 &&
        SameFile(opened, named)) {
      disk_.Unlink(path.c_str());
    }
    disk_.Close(fd);
  }
}

// Once the rename is made the file holds the new text for every reader, so
// the operation has happened: a failure to sync the directory afterwards
// only weakens its durability across a power loss and cannot be undone, and
// reporting it as a failed write would tell the caller the file is unchanged
// when it is not.
void ProfileFile::SyncDirectoryOf(const std::string& target) {
  const int fd = disk_.Open(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY, 0);
  if (fd < 0) return;
  disk_.Fsync(fd);
  disk_.Close(fd);
}

}  // namespace quillpost
