#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/ascii_case.h"
#include "platform/guard/update_in_progress.h"
#include "platform/platform.h"

namespace quillpost {
namespace {

constexpr char kLostToCodePage[] =
    "its value does not survive the system's code page, which the write uses";

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

/// Returns |text| (8-bit, in the system's code page) as UTF-16.
std::vector<wchar_t> Wide(const char* text) {
  const int size = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  std::vector<wchar_t> wide(size > 0 ? static_cast<size_t>(size) : 1, L'\0');
  if (size > 0) MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), size);
  return wide;
}

/// Returns true when the characters [begin, end) come back unchanged from
/// the system's code page: what the 8-bit functions read is what they
/// would write back.
bool SurvivesCodePage(const wchar_t* begin, const wchar_t* end) {
  const int length = static_cast<int>(end - begin);
  if (length == 0) return true;
  BOOL lossy = FALSE;
  const int size =
      WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, begin, length, nullptr, 0, nullptr, &lossy);
  if (size <= 0 || lossy) return false;
  std::vector<char> narrow(static_cast<size_t>(size));
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, begin, length, narrow.data(), size, nullptr,
                      &lossy);
  std::vector<wchar_t> back(static_cast<size_t>(length) + 1);
  const int back_length = MultiByteToWideChar(CP_ACP, 0, narrow.data(), size, back.data(),
                                              static_cast<int>(back.size()));
  return !lossy && back_length == length && std::equal(begin, end, back.data());
}

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

/// Returns true when the wide |name| (not ended by a null, blanks around it
/// ignored) is |key|, A to Z case ignored.
bool NameIs(const wchar_t* begin, const wchar_t* end, const wchar_t* key) {
  while (begin < end && IsBlank(*begin)) ++begin;
  while (end > begin && IsBlank(end[-1])) --end;
  for (; begin < end; ++begin, ++key) {
    const auto lower = [](wchar_t c) { return c >= L'A' && c <= L'Z' ? c - L'A' + L'a' : c; };
    if (*key == L'\0' || lower(*begin) != lower(*key)) return false;
  }
  return *key == L'\0';
}

// The C runtime's splitting of the wide command line, the rule that split
// the 8-bit one into argv (msvcrt.dll exports it; no header declares it).
struct StartupInfo {
  int new_mode;
};
extern "C" int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env, int expand,
                              StartupInfo* info);

/// Returns true when |narrow| is exactly |wide| in the ANSI code page,
/// converted without best-fit look-alikes or a default character.
bool SameInCodePage(const wchar_t* wide, const char* narrow) {
  BOOL lossy = FALSE;
  const int size =
      WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, nullptr, 0, nullptr, &lossy);
  if (size <= 0 || lossy) return false;
  std::vector<char> converted(static_cast<size_t>(size));
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, converted.data(), size, nullptr,
                      &lossy);
  return !lossy && std::strcmp(converted.data(), narrow) == 0;
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
    return Noted(WritePrivateProfileStringA(section, key, value, file), file);
  }

  bool DeleteKey(const char* section, const char* key, const char* file) override {
    const UpdateInProgress update;
    return Noted(WritePrivateProfileStringA(section, key, nullptr, file), file);
  }

  bool ArgumentsAsGiven(int argc, const char* const* argv) override {
    int wide_argc = 0;
    wchar_t** wide_argv = nullptr;
    wchar_t** wide_env = nullptr;
    StartupInfo info = {0};
    if (__wgetmainargs(&wide_argc, &wide_argv, &wide_env, 0, &info) < 0 || wide_argv == nullptr) {
      return false;
    }
    if (wide_argc != argc) return false;
    for (int i = 1; i < argc; ++i) {
      if (!SameInCodePage(wide_argv[i], argv[i])) return false;
    }
    return true;
  }

  // The lines are the manual pages' DIAGNOSTICS entries: keep them in step.
  const char* FailureCause() override {
    switch (error_) {
      case ERROR_SUCCESS:
        return "";
      case ERROR_ACCESS_DENIED: {
        const DWORD attributes = GetFileAttributesA(file_.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
          return "The file is read-only";
        }
        return "Access denied: run it as administrator";
      }
      case ERROR_WRITE_PROTECT:
        return "The file is read-only";
      case ERROR_PATH_NOT_FOUND:
        return "The file's directory does not exist";
      case ERROR_DISK_FULL:
      case ERROR_HANDLE_DISK_FULL:
        return "No space left on the device";
      case ERROR_SHARING_VIOLATION:
      case ERROR_LOCK_VIOLATION:
        return "Another program holds a lock on the file; gave up after 0 s";
      default:
        std::snprintf(cause_, sizeof cause_, "The file cannot be changed: error %lu",
                      static_cast<unsigned long>(error_));
        return cause_;
    }
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
      deleted = Noted(WritePrivateProfileStringA(section, nullptr, nullptr, file), file);
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

  // The 8-bit functions read a UTF-16 or UTF-8 file through the system's
  // code page: a value with characters outside it reads as '?' every time,
  // so two 8-bit readings agree and would write the '?' back. The wide
  // functions read it as it is; the entry is held out only when that
  // reading, and the section's spelling of it, survive the code page.
  // Read only: the write-back stays the 8-bit write.
  const char* PlanHoldOut(const char* section, const char* key, const char* file) override {
    const std::vector<wchar_t> wide_section = Wide(section), wide_key = Wide(key),
                               wide_file = Wide(file);
    wchar_t value[256];
    const DWORD length = GetPrivateProfileStringW(wide_section.data(), wide_key.data(), L"", value,
                                                  255, wide_file.data());
    if (!SurvivesCodePage(value, value + length)) return kLostToCodePage;
    std::vector<wchar_t> listing(32768);
    const DWORD size = static_cast<DWORD>(listing.size());
    if (GetPrivateProfileSectionW(wide_section.data(), listing.data(), size, wide_file.data()) >=
        size - 2) {
      return "the section is too large to check";
    }
    for (const wchar_t* entry = listing.data(); *entry != L'\0'; entry += wcslen(entry) + 1) {
      const wchar_t* end = entry + wcslen(entry);
      const wchar_t* equals = std::find(entry, end, L'=');
      if (equals != end && NameIs(entry, equals, wide_key.data()) &&
          !SurvivesCodePage(equals + 1, end)) {
        return kLostToCodePage;
      }
    }
    return nullptr;
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

 private:
  /// Keeps the reason of a failed call for FailureCause.
  bool Noted(BOOL result, const char* file) {
    error_ = result ? ERROR_SUCCESS : GetLastError();
    if (!result) file_ = file;
    return result != 0;
  }

  DWORD error_ = ERROR_SUCCESS;
  std::string file_;
  char cause_[64];
};

}  // namespace

Platform& NativePlatform() {
  static Win32Platform platform;
  return platform;
}

}  // namespace quillpost
