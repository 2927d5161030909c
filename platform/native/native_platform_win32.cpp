#include <windows.h>

#include <cstring>
#include <vector>

#include "platform/ascii_case.h"
#include "platform/guard/update_in_progress.h"
#include "platform/platform.h"

namespace quillpost {
namespace {

// A names list larger than this is taken for a broken file.
constexpr DWORD kMaxSectionNames = 64u << 20;

/// Counts the sections of |file| named |section| (A to Z case ignored).
/// Returns the count, 0 for a missing file, or -1 when the list of section
/// names cannot be had whole.
int CountSections(const char* section, const char* file) {
  std::vector<char> names(4096);
  for (;;) {
    const DWORD size = static_cast<DWORD>(names.size());
    const DWORD length = GetPrivateProfileSectionNamesA(names.data(), size, file);
    // A list that did not fit comes back cut, with the length size - 2.
    if (length + 2 < size) break;
    if (size >= kMaxSectionNames) return -1;
    names.resize(names.size() * 2);
  }
  int count = 0;
  for (const char* name = names.data(); *name != '\0'; name += std::strlen(name) + 1) {
    count += AsciiCaseEqual(name, section);
  }
  return count;
}

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

  // The platform removes the first section of the name per call; a file
  // edited by hand may hold it twice, so it is called once for each copy
  // listed. Nothing is called when none is listed: a missing file stays
  // missing and an unchanged file is not rewritten.
  bool DeleteSection(const char* section, const char* file) override {
    const int copies = CountSections(section, file);
    if (copies < 0) return false;
    if (copies == 0) return true;
    bool deleted = true;
    for (int i = 0; i < copies && deleted; ++i) {
      deleted = WritePrivateProfileStringA(section, nullptr, nullptr, file) != 0;
    }
    return deleted && CountSections(section, file) == 0;
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
};

}  // namespace

Platform& NativePlatform() {
  static Win32Platform platform;
  return platform;
}

}  // namespace quillpost
