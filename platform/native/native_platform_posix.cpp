#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/guard/update_in_progress.h"
#include "platform/native/posix_platform.h"
#include "platform/profile/safe_path_posix.h"

namespace quillpost {
namespace {

/// Where Windows is absent, the system directory is named by this variable.
constexpr char kSystemDirVariable[] = "QUILLPOST_SYSTEM_DIR";

/// Returns the directory that holds the running program, or "".
std::string ProgramDirectory() {
  std::string path(4096, '\0');
  const ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
  if (n <= 0 || static_cast<size_t>(n) >= path.size()) return "";
  path.resize(static_cast<size_t>(n));
  return path.substr(0, path.rfind('/'));
}

/// Returns why a library file of status |file| in a directory of status
/// |dir| is not to be loaded, or "" when it may be: nobody but root and the
/// caller can have changed it, nor swapped it in its directory.
std::string WhyNotTrusted(const struct stat& file, const struct stat& dir) {
  const uid_t caller = geteuid();
  if (!S_ISREG(file.st_mode)) return "it is not a regular file";
  if (file.st_uid != 0 && file.st_uid != caller) {
    return "it belongs to user " + std::to_string(file.st_uid) + ", neither root nor the caller";
  }
  if (file.st_mode & (S_IWGRP | S_IWOTH)) return "its group or others may write it";
  if (dir.st_uid != 0 && dir.st_uid != caller) {
    return "its directory belongs to user " + std::to_string(dir.st_uid) +
           ", neither root nor the caller";
  }
  if ((dir.st_mode & S_IWOTH) && !(dir.st_mode & S_ISVTX)) {
    return "others may write its directory, which is not sticky";
  }
  return "";
}

}  // namespace

// A relative directory is taken against the current directory now, once:
// the path formed from it then names the same file however the current
// directory changes later in the run (a wizard may well change it). A
// current directory without a path (deleted) gives none, and says why.
unsigned PosixPlatform::SystemDirectory(char* buffer, unsigned capacity) {
  record_.Clear();
  const char* variable = std::getenv(kSystemDirVariable);
  if (variable == nullptr || variable[0] == '\0') return 0;
  std::string dir = variable;
  if (dir[0] != '/') {
    char* current = getcwd(nullptr, 0);
    if (current == nullptr) {
      record_.Set(
          FailureKind::kOther,
          std::string(kSystemDirVariable) +
              " is relative, and the current directory cannot be named: " + std::strerror(errno));
      return 0;
    }
    const std::string base = current;
    std::free(current);
    dir = base + (base.back() == '/' ? "" : "/") + dir;
  }
  // Like the platform's query: a directory that does not fit reports the
  // size it would need, terminating null included, and stores nothing.
  if (dir.size() >= capacity) return static_cast<unsigned>(dir.size() + 1);
  std::memcpy(buffer, dir.c_str(), dir.size() + 1);
  return static_cast<unsigned>(dir.size());
}

bool PosixPlatform::WriteString(const char* section, const char* key, const char* value,
                                const char* file) {
  return profile_.Write(file, section, key, value);
}

bool PosixPlatform::DeleteKey(const char* section, const char* key, const char* file) {
  return profile_.Delete(file, section, key);
}

bool PosixPlatform::DeleteSection(const char* section, const char* file) {
  return profile_.DeleteSection(file, section);
}

bool PosixPlatform::DeleteEveryKey(const char* section, const char* key, const char* file) {
  return profile_.DeleteEveryKey(file, section, key);
}

unsigned PosixPlatform::ReadString(const char* section, const char* key, const char* default_value,
                                   char* buffer, unsigned capacity, const char* file) {
  return profile_.Read(file, section, key, default_value, buffer, capacity);
}

unsigned PosixPlatform::ReadSection(const char* section, char* buffer, unsigned capacity,
                                    const char* file) {
  if (capacity < 2) return 0;
  std::string entries;
  profile_.ReadSection(file, section, &entries);
  // Like the platform's query: entries that do not all fit are cut, still
  // ended by two nulls, and reported as capacity - 2.
  if (entries.size() + 1 > capacity) {
    std::memcpy(buffer, entries.data(), capacity - 2);
    buffer[capacity - 2] = buffer[capacity - 1] = '\0';
    return capacity - 2;
  }
  std::memcpy(buffer, entries.data(), entries.size());
  buffer[entries.size()] = '\0';
  if (entries.empty()) buffer[1] = '\0';
  return static_cast<unsigned>(entries.size());
}

bool PosixPlatform::PlanHoldOut(const char* section, const char* key, const char* file) {
  planned_ = profile_.PlanHoldOut(file, section, key, &held_);
  // The put-back writes the whole file again: under a file-size limit that
  // it would pass (ulimit -f), the delete might be made and the put-back
  // not. The guard's process writes it back under the hard limit of this
  // moment, whatever the wizard lowers.
  struct rlimit limit;
  if (planned_ && getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_max != RLIM_INFINITY &&
      limit.rlim_max < held_.before.size()) {
    planned_ = false;
    record_.Set(FailureKind::kTooLarge,
                "the file-size limit (ulimit -f) leaves no room to put it back");
  }
  return planned_;
}

bool PosixPlatform::HoldOut(const char* section, const char* key, const char* file) {
  if (!planned_) return DeleteKey(section, key, file);
  return profile_.HoldOut(file, held_);
}

bool PosixPlatform::PutBack(const char* section, const char* key, const char* value,
                            const char* file) {
  return planned_ ? profile_.PutBack(file, section, key, value, held_)
                  : profile_.Write(file, section, key, value);
}

void PosixPlatform::NotLoaded(const std::string& path, const std::string& why) {
  record_.Set(FailureKind::kLibraryRefused, "\"" + path + "\" is not loaded: " + why);
}

// A library is looked for beside the program, then in the system
// directory, and loaded by its absolute path only: a file planted in the
// current directory, or reached through a relative path, never runs. The
// first place that has the name decides. The file is resolved as the
// profile file is (SafePath), opened, checked through its descriptor, and
// that same open file is what is loaded: nothing swapped in between runs.
// The rules: docs/profile-format.md, "Directories others can write".
void* PosixPlatform::OpenLibrary(const char* name) {
  record_.Set(FailureKind::kOther,
              std::string("no \"") + name + "\" beside the program or in the system directory");
  const char* system_dir = std::getenv(kSystemDirVariable);
  const std::string places[] = {ProgramDirectory(), system_dir ? system_dir : ""};
  for (const std::string& dir : places) {
    if (dir.empty() || dir[0] != '/') continue;
    const std::string path = dir + "/" + name;
    SafePath resolved(disk_);
    const SafePath::Result result = resolved.Resolve(path.c_str());
    if (result == SafePath::Result::kRefused) {
      NotLoaded(path, LinkRefusal(resolved.refused_link()));
      return nullptr;
    }
    if (result == SafePath::Result::kFailed) {
      if (errno == ENOENT || errno == ENOTDIR) continue;
      NotLoaded(path, std::strerror(errno));
      return nullptr;
    }
    const int fd =
        disk_.Open(resolved.path().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0);
    if (fd < 0) {
      if (errno == ENOENT) continue;
      NotLoaded(path, std::strerror(errno));
      return nullptr;
    }
    struct stat st;
    void* library = nullptr;
    if (disk_.Fstat(fd, &st) == 0) {
      const std::string why = WhyNotTrusted(st, resolved.directory_status());
      if (why.empty()) {
        library = dlopen(("/proc/self/fd/" + std::to_string(fd)).c_str(), RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
          // The loader names the descriptor's path first; the user knows the
          // library by its own.
          const char* said = dlerror();
          std::string error = said ? said : "";
          const size_t colon = error.find(": ");
          if (error.rfind("/proc/self/fd/", 0) == 0 && colon != std::string::npos) {
            error.erase(0, colon + 2);
          }
          NotLoaded(resolved.canonical(), "the loader refused it: " + error);
        }
      } else {
        NotLoaded(resolved.canonical(), why);
      }
    } else {
      NotLoaded(resolved.canonical(), std::strerror(errno));
    }
    disk_.Close(fd);
    if (library != nullptr) record_.Clear();
    return library;
  }
  return nullptr;
}

void* PosixPlatform::FindEntry(void* library, const char* entry) {
  void* address = dlsym(library, entry);
  if (address == nullptr) {
    record_.Set(FailureKind::kOther, std::string("the library has no entry point ") + entry);
  } else {
    record_.Clear();
  }
  return address;
}

void PosixPlatform::CloseLibrary(void* library) { dlclose(library); }

// Never destroyed: wiztest's write-back at exit(), which runs the
// destructors of statics first, still needs it.
Platform& NativePlatform() {
  static RealDiskInterface& disk = *new RealDiskInterface;
  static PosixPlatform& platform = *new PosixPlatform(disk);
  return platform;
}

}  // namespace quillpost
