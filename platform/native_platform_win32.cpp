#include <windows.h>

#include "platform/entry_guard.h"
#include "platform/platform.h"

namespace quillpost {
namespace {

/// The platform's own 8-bit functions, called as they are.
class Win32Platform : public Platform {
 public:
  unsigned SystemDirectory(char* buffer, unsigned capacity) override {
    return GetSystemDirectoryA(buffer, capacity);
  }

  bool WriteString(const char* section, const char* key, const char* value,
                   const char* file) override {
    const UpdateInProgress update;
    return WritePrivateProfileStringA(section, key, value, file) != 0;
  }

  bool DeleteKey(const char* section, const char* key, const char* file) override {
    const UpdateInProgress update;
    return WritePrivateProfileStringA(section, key, nullptr, file) != 0;
  }

  unsigned ReadString(const char* section, const char* key, const char* default_value, char* buffer,
                      unsigned capacity, const char* file) override {
    return GetPrivateProfileStringA(section, key, default_value, buffer, capacity, file);
  }

  unsigned ReadSection(const char* section, char* buffer, unsigned capacity,
                       const char* file) override {
    return GetPrivateProfileSectionA(section, buffer, capacity, file);
  }

  void* OpenLibrary(const char* name) override {
    // Take the current directory out of the search order: a library planted
    // where the user happens to stand must not run.
    SetDllDirectoryA("");
    return reinterpret_cast<void*>(LoadLibraryA(name));
  }

  void* FindEntry(void* library, const char* entry) override {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), entry));
  }

  void CloseLibrary(void* library) override { FreeLibrary(static_cast<HMODULE>(library)); }

  bool GuardHeldEntry(const char* section, const char* key, const char* value, const char* file,
                      const char* failure_message) override {
    return ArmEntryGuard(*this, section, key, value, file, failure_message);
  }

  void ReleaseEntryGuard() override { DisarmEntryGuard(); }
};

}  // namespace

Platform& NativePlatform() {
  static Win32Platform platform;
  return platform;
}

}  // namespace quillpost
