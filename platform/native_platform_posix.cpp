#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/disk_interface_posix.h"
#include "platform/entry_guard.h"
#include "platform/platform.h"
#include "platform/profile_file_posix.h"

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

class PosixPlatform : public Platform {
 public:
  unsigned SystemDirectory(char* buffer, unsigned capacity) override {
    const char* dir = std::getenv(kSystemDirVariable);
    if (dir == nullptr || dir[0] == '\0') return 0;
    const size_t length = std::strlen(dir);
    // Like the platform's query: a directory that does not fit reports the
    // size it would need, terminating null included, and stores nothing.
    if (length >= capacity) return static_cast<unsigned>(length + 1);
    std::memcpy(buffer, dir, length + 1);
    return static_cast<unsigned>(length);
  }

  bool WriteString(const char* section, const char* key, const char* value,
                   const char* file) override {
    return profile_.Write(file, section, key, value);
  }

  bool DeleteKey(const char* section, const char* key, const char* file) override {
    return profile_.Delete(file, section, key);
  }

  unsigned ReadString(const char* section, const char* key, const char* default_value, char* buffer,
                      unsigned capacity, const char* file) override {
    return profile_.Read(file, section, key, default_value, buffer, capacity);
  }

  // A library is looked for beside the program, then in the system
  // directory, and loaded by its absolute path only: a file planted in the
  // current directory, or reached through a relative path, never runs.
  void* OpenLibrary(const char* name) override {
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

  void* FindEntry(void* library, const char* entry) override { return dlsym(library, entry); }

  void CloseLibrary(void* library) override { dlclose(library); }

  void GuardHeldEntry(const char* section, const char* key, const char* value, const char* file,
                      const char* failure_message) override {
    ArmEntryGuard(*this, section, key, value, file, failure_message);
  }

  void ReleaseEntryGuard() override { DisarmEntryGuard(); }

 private:
  RealDiskInterface disk_;
  ProfileFile profile_{disk_};
};

}  // namespace

Platform& NativePlatform() {
  static PosixPlatform platform;
  return platform;
}

}  // namespace quillpost
