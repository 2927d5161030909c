#include <windows.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/ascii_case.h"
#include "platform/failure.h"
#include "platform/guard/update_in_progress.h"
#include "platform/listing.h"
#include "platform/platform.h"

namespace quillpost {
namespace {

constexpr char kLostToCodePage[] =
    "its value does not survive the system's code page, which the write uses";

// A listing larger than this is taken for a broken file.
constexpr DWORD kMaxListing = 64u << 20;

/// Stores in |*listing| what |list| gives in a buffer of its own size,
/// grown until all of it fits. Returns false when it does not fit in 64 MB,
/// which is taken for a broken file.
template <typename List>
bool ListWhole(std::vector<char>* listing, List list) {
  listing->assign(4096, '\0');
  for (;;) {
    const DWORD size = static_cast<DWORD>(listing->size());
    // A listing that did not fit comes back cut, with the length size - 2.
    if (list(listing->data(), size) + 2 < size) return true;
    if (size >= kMaxListing) return false;
    listing->assign(listing->size() * 2, '\0');
  }
}

/// Counts the sections of |file| named |section| (A to Z case ignored).
/// Returns the count, 0 for a missing file, or -1 when the list of section
/// names cannot be had whole.
int CountSections(const char* section, const char* file) {
  std::vector<char> names;
  if (!ListWhole(&names, [file](char* buffer, DWORD size) {
        return GetPrivateProfileSectionNamesA(buffer, size, file);
      })) {
    return -1;
  }
  int count = 0;
  ForEachListed(names.data(),
                [&](std::string_view name) { count += AsciiCaseEqual(name, section); });
  return count;
}

/// Counts the lines of |key| in the listing of |section| of |file|, with or
/// without '='. Returns -1 when the listing cannot be had whole.
int CountKeyLines(const char* section, const char* key, const char* file) {
  std::vector<char> entries;
  if (!ListWhole(&entries, [section, file](char* buffer, DWORD size) {
        return GetPrivateProfileSectionA(section, buffer, size, file);
      })) {
    return -1;
  }
  int count = 0;
  ForEachListed(entries.data(), [&](std::string_view entry) {
    count += AsciiCaseEqual(SplitListedEntry(entry).name, key);
  });
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

/// Returns true when the wide |name| (blanks around it ignored) is |key|,
/// A to Z case ignored.
bool NameIs(std::wstring_view name, const wchar_t* key) {
  name = TrimProfileBlanks(name);
  const auto lower = [](wchar_t c) { return c >= L'A' && c <= L'Z' ? c - L'A' + L'a' : c; };
  for (const wchar_t c : name) {
    if (*key == L'\0' || lower(c) != lower(*key)) return false;
    ++key;
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

  bool WriteString(const char* section, const char* key, const char* value,
                   const char* file) override {
    const UpdateInProgress update;
    return Noted(WritePrivateProfileStringA(section, key, value, file), file);
  }

  bool DeleteKey(const char* section, const char* key, const char* file) override {
    const UpdateInProgress update;
    return Noted(WritePrivateProfileStringA(section, key, nullptr, file), file);
  }

  // The platform removes the first section of the name per call; a file
  // edited by hand may hold it twice, so it is called once for each copy
  // listed. Nothing is called when none is listed: a missing file stays
  // missing and an unchanged file is not rewritten.
  bool DeleteSection(const char* section, const char* file) override {
    return DeleteEach(CountSections(section, file),
                      [&] {
                        const UpdateInProgress update;
                        return Noted(WritePrivateProfileStringA(section, nullptr, nullptr, file),
                                     file);
                      }) &&
           CountSections(section, file) == 0;
  }

  // Each delete takes one line of the key; a line that a delete cannot take
  // would otherwise keep the loop going, so it runs once per line listed.
  bool DeleteEveryKey(const char* section, const char* key, const char* file) override {
    return DeleteEach(CountKeyLines(section, key, file),
                      [&] { return DeleteKey(section, key, file); }) &&
           CountKeyLines(section, key, file) == 0;
  }

  // Each call is made at once; the change fails at its commit when one of
  // its calls failed, with the first failure's record.
  void BeginChange() override {
    changing_ = true;
    change_failure_.Clear();
  }

  bool CommitChange() override {
    changing_ = false;
    if (!change_failure_.failed()) return true;
    record_ = change_failure_;
    return false;
  }

  void AbandonChange() override { changing_ = false; }

  unsigned ReadString(const char* section, const char* key, const char* default_value, char* buffer,
                      unsigned capacity, const char* file) override {
    SetLastError(ERROR_SUCCESS);
    const DWORD length =
        GetPrivateProfileStringA(section, key, default_value, buffer, capacity, file);
    NotedRead();
    return length;
  }

  unsigned ReadSection(const char* section, char* buffer, unsigned capacity,
                       const char* file) override {
    SetLastError(ERROR_SUCCESS);
    const DWORD length = GetPrivateProfileSectionA(section, buffer, capacity, file);
    NotedRead();
    return length;
  }

  // The 8-bit functions read a UTF-16 or UTF-8 file through the system's
  // code page: a value with characters outside it reads as '?' every time,
  // so two 8-bit readings agree and would write the '?' back. The wide
  // functions read it as it is; the entry is held out only when that
  // reading, and the section's spelling of it, survive the code page.
  // Read only: the write-back stays the 8-bit write.
  bool PlanHoldOut(const char* section, const char* key, const char* file) override {
    record_.Clear();
    const std::vector<wchar_t> wide_section = Wide(section), wide_key = Wide(key),
                               wide_file = Wide(file);
    wchar_t value[256];
    const DWORD length = GetPrivateProfileStringW(wide_section.data(), wide_key.data(), L"", value,
                                                  255, wide_file.data());
    if (!SurvivesCodePage(value, value + length)) return NotHeld(kLostToCodePage);
    std::vector<wchar_t> listing(32768);
    const DWORD size = static_cast<DWORD>(listing.size());
    if (GetPrivateProfileSectionW(wide_section.data(), listing.data(), size, wide_file.data()) >=
        size - 2) {
      return NotHeld("the section is too large to check");
    }
    bool survives = true;
    ForEachListed(listing.data(), [&](std::wstring_view entry) {
      const ListedEntry<wchar_t> split = SplitListedEntry(entry);
      if (split.has_value && NameIs(split.name, wide_key.data()) &&
          !SurvivesCodePage(split.value.data(), split.value.data() + split.value.size())) {
        survives = false;
      }
    });
    return survives || NotHeld(kLostToCodePage);
  }

  bool HoldOut(const char* section, const char* key, const char* file) override {
    return DeleteKey(section, key, file);
  }

  bool PutBack(const char* section, const char* key, const char* value, const char* file) override {
    return WriteString(section, key, value, file);
  }

  void* OpenLibrary(const char* name) override {
    // Take the current directory out of the search order: a library planted
    // where the user happens to stand must not run.
    SetDllDirectoryA("");
    HMODULE library = LoadLibraryA(name);
    NotedCall(library != nullptr, "LoadLibrary");
    return reinterpret_cast<void*>(library);
  }

  void* FindEntry(void* library, const char* entry) override {
    FARPROC address = GetProcAddress(static_cast<HMODULE>(library), entry);
    NotedCall(address != nullptr, "GetProcAddress");
    return reinterpret_cast<void*>(address);
  }

  void CloseLibrary(void* library) override { FreeLibrary(static_cast<HMODULE>(library)); }

  Failure LastFailure() const override { return record_.Get(); }

 private:
  /// Calls |remove| |copies| times, stopping at the first failure. Returns
  /// false when the copies could not be counted or a call failed.
  template <typename Remove>
  bool DeleteEach(int copies, Remove remove) {
    record_.Clear();
    if (copies < 0) {
      record_.Set(FailureKind::kOther, CannotChangeLine("its listing is too large to read"));
      return false;
    }
    for (int i = 0; i < copies; ++i) {
      if (!remove()) return false;
    }
    return true;
  }

  /// Records a read that gave the default because the file could not be
  /// opened: the platform's reader says so only through the last error.
  void NotedRead() {
    switch (GetLastError()) {
      case ERROR_SHARING_VIOLATION:
      case ERROR_LOCK_VIOLATION:
        return record_.Set(FailureKind::kLockHeld,
                           "another program holds the file open without sharing it");
      case ERROR_ACCESS_DENIED:
        return record_.Set(FailureKind::kPermission, "Access denied");
      default:
        return record_.Clear();
    }
  }

  bool NotHeld(const char* why) {
    record_.Set(FailureKind::kRefusedInput, why);
    return false;
  }

  /// Records a library call that failed, by its error code.
  void NotedCall(bool done, const char* call) {
    if (done) return record_.Clear();
    record_.Set(FailureKind::kOther,
                std::string(call) + " failed: error " +
                    std::to_string(static_cast<unsigned long>(GetLastError())));
  }

  /// Records the result of a profile write on |file|; inside a change the
  /// first failure is kept for the commit.
  // The lines are the manual pages' DIAGNOSTICS entries: keep them in step.
  bool Noted(BOOL result, const char* file) {
    if (result) {
      record_.Clear();
      return true;
    }
    const DWORD error = GetLastError();
    switch (error) {
      case ERROR_ACCESS_DENIED: {
        const DWORD attributes = GetFileAttributesA(file);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
          record_.Set(FailureKind::kReadOnly);
        } else {
          record_.Set(FailureKind::kPermission, "Access denied: run it as administrator");
        }
        break;
      }
      case ERROR_WRITE_PROTECT:
        record_.Set(FailureKind::kReadOnly);
        break;
      case ERROR_PATH_NOT_FOUND:
        record_.Set(FailureKind::kMissingDirectory);
        break;
      case ERROR_DISK_FULL:
      case ERROR_HANDLE_DISK_FULL:
        record_.Set(FailureKind::kNoSpace);
        break;
      case ERROR_SHARING_VIOLATION:
      case ERROR_LOCK_VIOLATION:
        record_.Set(FailureKind::kLockHeld, LockHeldLine(0));
        break;
      default:
        record_.Set(FailureKind::kOther,
                    CannotChangeLine("error " + std::to_string(static_cast<unsigned long>(error))));
    }
    if (changing_ && !change_failure_.failed()) change_failure_ = record_;
    return false;
  }

  FailureRecord record_;
  FailureRecord change_failure_;  // the first failure of the open change
  bool changing_ = false;
};

}  // namespace

Platform& NativePlatform() {
  static Win32Platform platform;
  return platform;
}

}  // namespace quillpost
