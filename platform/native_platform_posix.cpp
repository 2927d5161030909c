#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/entry_guard.h"
#include "platform/posix_platform.h"

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

}  // namespace

unsigned PosixPlatform::SystemDirectory(char* buffer, unsigned capacity) {
  const char* dir = std::getenv(kSystemDirVariable);
  if (dir == nullptr || dir[0] == '\0') return 0;
  const size_t length = std::strlen(dir);
  // Like the platform's query: a directory that does not fit reports the
  // size it would need, terminating null included, and stores nothing.
  if (length >= capacity) return static_cast<unsigned>(length + 1);
  std::memcpy(buffer, dir, length + 1);
  return static_cast<unsigned>(length);
}

bool PosixPlatform::WriteString(const char* section, const char* key, const char* value,
                                const char* file) {
  return profile_.Write(file, section, key, value);
}

bool PosixPlatform::DeleteKey(const char* section, const char* key, const char* file) {
  return profile_.Delete(file, section, key);
}

const char* PosixPlatform::RefusalReason() {
  const char* reason = profile_.RefusalReason();
  return reason ? reason : "";
}

unsigned PosixPlatform::ReadString(const char* section, const char* key, const char* default_value,
                                   char* buffer, unsigned capacity, const char* file) {
  return profile_.Read(file, section, key, default_value, buffer, capacity);
}

// A library is looked for beside the program, then in the system
// directory, and loaded by its absolute path only: a file planted in the
// current directory, or reached through a relative path, never runs.
void* PosixPlatform::OpenLibrary(const char* name) {
  const char* system_dir = std::getenv(kSystemDirVariable);
  const std::string places[] = {ProgramDirectory(), system_dir ? system_dir : ""};
  for (const std::string& dir : places) {
    if (dir.empty() || dir[0] != '/') continue;
    const std::string path = dir + "/" + name;
    if (access(path.c_str(), F_OK) != 0) continue;
    return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  }
  return nullptr;
}

void* PosixPlatform::FindEntry(void* library, const char* entry) { return dlsym(library, entry); }

void PosixPlatform::CloseLibrary(void* library) { dlclose(library); }

void PosixPlatform::GuardHeldEntry(const char* section, const char* key, const char* value,
                                   const char* file, const char* failure_message) {
  ArmEntryGuard(*this, section, key, value, file, failure_message);
}

void PosixPlatform::ReleaseEntryGuard() { DisarmEntryGuard(); }

Platform& NativePlatform() {
  static RealDiskInterface disk;
  static PosixPlatform platform(disk);
  return platform;
}

}  // namespace quillpost
