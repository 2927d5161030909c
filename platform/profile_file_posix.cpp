#include "platform/profile_file_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace quillpost {
namespace {

// Links followed before the path is given up as a loop, as the kernel does.
constexpr int kMaxLinks = 40;
// Times a writer starts over because another one replaced the file while it
// waited for the lock; each start over means another writer made progress.
constexpr int kMaxRetries = 10000;

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

struct WriteArgs {
  std::string_view section, key, value;
};

struct DeleteArgs {
  std::string_view section, key;
};

PlanResult PlanWriteArgs(std::string_view text, const void* args, ProfileEdit* edit) {
  const auto* a = static_cast<const WriteArgs*>(args);
  return PlanWrite(text, a->section, a->key, a->value, edit);
}

PlanResult PlanDeleteArgs(std::string_view text, const void* args, ProfileEdit* edit) {
  const auto* a = static_cast<const DeleteArgs*>(args);
  return PlanDelete(text, a->section, a->key, edit);
}

}  // namespace

unsigned ProfileFile::Read(const char* path, std::string_view section, std::string_view key,
                           std::string_view default_value, char* buffer, unsigned capacity) {
  if (capacity == 0) return 0;
  Content text;
  std::string found;
  std::string_view value = default_value;
  const int fd = disk_.Open(path, O_RDONLY, 0);
  if (fd >= 0) {
    if (ReadAll(fd, &text) && ReadProfileValue(text.view(), section, key, &found)) value = found;
    disk_.Close(fd);
  }
  const size_t stored = std::min<size_t>(value.size(), capacity - 1);
  std::memcpy(buffer, value.data(), stored);
  buffer[stored] = '\0';
  return static_cast<unsigned>(stored);
}

bool ProfileFile::Write(const char* path, std::string_view section, std::string_view key,
                        std::string_view value) {
  const WriteArgs args{section, key, value};
  return Update(path, true, PlanWriteArgs, &args);
}

bool ProfileFile::Delete(const char* path, std::string_view section, std::string_view key) {
  const DeleteArgs args{section, key};
  return Update(path, false, PlanDeleteArgs, &args);
}

bool ProfileFile::Update(const char* path, bool create_missing, Planner plan, const void* args) {
  refusal_ = nullptr;
  std::string target;
  if (!ResolveLinks(path, &target)) return false;
  for (int attempt = 0; attempt < kMaxRetries; ++attempt) {
    const Outcome outcome = UpdateOnce(target, create_missing, plan, args);
    if (outcome != Outcome::kRetry) return outcome == Outcome::kDone;
  }
  return false;
}

ProfileFile::Outcome ProfileFile::UpdateOnce(const std::string& target, bool create_missing,
                                             Planner plan, const void* args) {
  ProfileEdit edit;
  const int fd = disk_.Open(target.c_str(), O_RDONLY, 0);
  if (fd < 0) {
    if (errno != ENOENT) return Outcome::kFailed;
    // No file yet: nothing to lock. The new file gets its name only if no
    // other writer created one meanwhile; otherwise start over and lock that.
    const PlanResult planned = plan("", args, &edit);
    if (planned == PlanResult::kRefused) {
      refusal_ = edit.reason;
      return Outcome::kFailed;
    }
    if (planned == PlanResult::kNoChange || !create_missing) return Outcome::kDone;
    std::string temp;
    const std::string_view parts[] = {edit.text};
    if (!WriteTemporary(target, parts, 1, nullptr, &temp)) return Outcome::kFailed;
    if (disk_.RenameNoReplace(temp.c_str(), target.c_str()) != 0) {
      const bool exists = errno == EEXIST;
      disk_.Unlink(temp.c_str());
      return exists ? Outcome::kRetry : Outcome::kFailed;
    }
    SyncDirectoryOf(target);
    return Outcome::kDone;
  }

  Outcome outcome = Outcome::kFailed;
  struct stat held, named;
  Content text;
  if (disk_.Lock(fd) != 0 || disk_.Fstat(fd, &held) != 0) {
    outcome = Outcome::kFailed;
  } else if (disk_.Stat(target.c_str(), &named) != 0) {
    // The file went while we waited for the lock: start over.
    outcome = errno == ENOENT ? Outcome::kRetry : Outcome::kFailed;
  } else if (named.st_dev != held.st_dev || named.st_ino != held.st_ino) {
    // Another writer renamed a new file over the one we locked.
    outcome = Outcome::kRetry;
  } else if (ReadAll(fd, &text)) {
    const PlanResult planned = plan(text.view(), args, &edit);
    if (planned == PlanResult::kRefused) refusal_ = edit.reason;
    if (planned == PlanResult::kNoChange) {
      outcome = Outcome::kDone;
    } else if (planned == PlanResult::kChange) {
      const std::string_view whole = text.view();
      const std::string_view parts[] = {whole.substr(0, edit.begin), edit.text,
                                        whole.substr(edit.end)};
      std::string temp;
      if (WriteTemporary(target, parts, 3, &held, &temp)) {
        if (disk_.Rename(temp.c_str(), target.c_str()) == 0) {
          SyncDirectoryOf(target);
          outcome = Outcome::kDone;
        } else {
          disk_.Unlink(temp.c_str());
        }
      }
    }
  }
  disk_.Close(fd);  // releases the lock
  return outcome;
}

bool ProfileFile::ResolveLinks(const char* path, std::string* target) {
  std::string current = path;
  for (int i = 0; i < kMaxLinks; ++i) {
    struct stat st;
    if (disk_.Lstat(current.c_str(), &st) != 0) {
      if (errno != ENOENT) return false;
      *target = current;  // created here
      return true;
    }
    if (!S_ISLNK(st.st_mode)) {
      *target = current;
      return true;
    }
    std::string link;
    if (disk_.ReadLink(current.c_str(), &link) != 0) return false;
    current = (link.empty() || link[0] == '/') ? link : DirectoryOf(current) + "/" + link;
  }
  errno = ELOOP;
  return false;
}

bool ProfileFile::ReadAll(int fd, Content* content) {
  struct stat st;
  size_t capacity = 1 << 16;
  if (disk_.Fstat(fd, &st) == 0 && st.st_size > 0) capacity = static_cast<size_t>(st.st_size) + 1;
  // The spare byte tells the end of the file from a file that grew since fstat.
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

bool ProfileFile::WriteTemporary(const std::string& target, const std::string_view* parts,
                                 int count, const struct stat* like, std::string* temp_path) {
  const std::string dir = DirectoryOf(target);
  const size_t slash = target.rfind('/');
  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  static unsigned counter = 0;
  int fd = -1;
  for (int i = 0; i < 100 && fd < 0; ++i) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    *temp_path = dir + "/." + base + ".tmp" + std::to_string(getpid()) + "-" +
                 std::to_string(++counter) + "-" + std::to_string(now.tv_nsec);
    // A new file gets 0666 less the umask, as any file the user creates.
    fd = disk_.Open(temp_path->c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;

  bool ok = true;
  for (int i = 0; ok && i < count; ++i) ok = WriteAll(fd, parts[i]);
  if (ok && like) {
    // Owner and group can only be kept where the process may set them;
    // chown first, as it may clear set-id bits that chmod then restores.
    disk_.Fchown(fd, like->st_uid, like->st_gid);
    ok = disk_.Fchmod(fd, like->st_mode & 07777) == 0;
  }
  ok = ok && disk_.Fsync(fd) == 0;
  ok = (disk_.Close(fd) == 0) && ok;
  if (!ok) {
    const int saved = errno;
    disk_.Unlink(temp_path->c_str());
    errno = saved;
  }
  return ok;
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
