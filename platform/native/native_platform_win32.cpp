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
#include "platform/native/win32_platform.h"
#include "platform/platform.h"

namespace quillpost {
namespace {

// Why a run is refused (docs/windows.md).
constexpr char kOutsideCodePage[] =
    "holds characters outside the system's code page, which the undo of a failed run could not "
    "write back";

// The machine's mutex of our programs' turns at the file.
constexpr char kTurnName[] = "Global\\Quillpost Mapisvc.inf";

// Why a change failed that a console event cut short, its undo having
// failed too (otherwise the process ends without a word).
constexpr char kInterrupted[] =
    "Interrupted by a console event (Ctrl+C, Ctrl+Break, a closed console, logoff or shutdown)";

constexpr char kLostToCodePage[] =
    "its value does not survive the system's code page, which the write uses";

// A listing larger than this is taken for a broken file.
constexpr DWORD kMaxListing = 64u << 20;

/// Returns true when |error| says that another program holds the file open
/// without sharing it.
bool IsHeld(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

/// Returns true when |error|, after a read that gave nothing, means the
/// file could not be read rather than that it holds nothing.
bool IsReadError(DWORD error) { return IsHeld(error) || error == ERROR_ACCESS_DENIED; }

bool IsDirectory(const char* file) {
  const DWORD attributes = GetFileAttributesA(file);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

/// Stores in |*listing| what |list| gives in a buffer of its own size,
/// grown until all of it fits. Returns ERROR_SUCCESS; the error that kept
/// the file from being read; or ERROR_BUFFER_OVERFLOW when it does not fit
/// in 64 MB, which is taken for a broken file.
template <typename Char, typename List>
DWORD ListWhole(std::vector<Char>* listing, List list) {
  listing->assign(4096, Char{});
  for (;;) {
    const DWORD size = static_cast<DWORD>(listing->size());
    SetLastError(ERROR_SUCCESS);
    const DWORD length = list(listing->data(), size);
    if (length == 0 && IsReadError(GetLastError())) return GetLastError();
    // A listing that did not fit comes back cut, with the length size - 2.
    if (length + 2 < size) return ERROR_SUCCESS;
    if (size >= kMaxListing) return ERROR_BUFFER_OVERFLOW;
    listing->assign(listing->size() * 2, Char{});
  }
}

/// Records in |*record| the failure of a call on |file| that ended with
/// |error|, |waited_s| seconds after its operation began to wait for the
/// file.
// The lines are the manual pages' DIAGNOSTICS entries: keep them in step.
void NoteError(DWORD error, const char* file, int waited_s, FailureRecord* record) {
  if (IsHeld(error)) return record->Set(FailureKind::kLockHeld, LockHeldLine(waited_s));
  switch (error) {
    case ERROR_ACCESS_DENIED: {
      if (IsDirectory(file)) return record->Set(FailureKind::kNotRegularFile);
      const DWORD attributes = GetFileAttributesA(file);
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
        return record->Set(FailureKind::kReadOnly);
      }
      return record->Set(FailureKind::kPermission, "Access denied: run it as administrator");
    }
    case ERROR_WRITE_PROTECT:
      return record->Set(FailureKind::kReadOnly);
    case ERROR_PATH_NOT_FOUND:
      return record->Set(FailureKind::kMissingDirectory);
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return record->Set(FailureKind::kNoSpace);
    case ERROR_BUFFER_OVERFLOW:
      return record->Set(FailureKind::kTooLarge);
    default:
      return record->Set(
          FailureKind::kOther,
          CannotChangeLine("error " + std::to_string(static_cast<unsigned long>(error))));
  }
}

/// Returns true when the platform's write, which returned |written|, made
/// its change: it reports a full disk with the last error alone, and a
/// section delete whose save failed (the file held) too.
bool Saved(BOOL written, bool section_delete) {
  const DWORD error = GetLastError();
  if (!written || error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL) return false;
  return !(section_delete && IsHeld(error));
}

/// The last error after |written| from the platform's write, for a failure
/// that Saved found.
DWORD ErrorOf(BOOL written) {
  const DWORD error = GetLastError();
  return written || error != ERROR_SUCCESS ? error : ERROR_WRITE_FAULT;
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

/// Returns |name| as the 8-bit functions list it: through the system's code
/// page, a character it lacks as '?' or a look-alike.
std::string AsListed(std::wstring_view name) {
  const int length = static_cast<int>(name.size());
  const int size =
      WideCharToMultiByte(CP_ACP, 0, name.data(), length, nullptr, 0, nullptr, nullptr);
  std::string narrow(size > 0 ? static_cast<size_t>(size) : 0, '\0');
  if (size > 0) {
    WideCharToMultiByte(CP_ACP, 0, name.data(), length, narrow.data(), size, nullptr, nullptr);
  }
  return narrow;
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

// A console event during a change of provreg or provunreg interrupts it:
// the change is undone and the process ends as the event would have ended
// it, printing nothing (docs/windows.md). Never destroyed, as a handler
// thread may still wait on it at the process's end.
struct EventWindow {
  EventWindow() { InitializeCriticalSection(&lock); }
  CRITICAL_SECTION lock;
  int open = 0;                                                    // the changes open to events
  HANDLE interrupt = CreateEventA(nullptr, TRUE, FALSE, nullptr);  // set once one is interrupted
  HANDLE closed = CreateEventA(nullptr, TRUE, TRUE, nullptr);      // set while none is open
};

EventWindow& Window() {
  static EventWindow& window = *new EventWindow;
  return window;
}

BOOL WINAPI OnConsoleEventDuringChange(DWORD) {
  if (InterruptChange()) WaitForSingleObject(Window().closed, INFINITE);
  return FALSE;  // the next handler, in the end the platform's, ends the process
}

}  // namespace

bool InterruptChange() {
  EventWindow& window = Window();
  EnterCriticalSection(&window.lock);
  const bool open = window.open > 0;
  if (open) SetEvent(window.interrupt);
  LeaveCriticalSection(&window.lock);
  return open;
}

void Win32Platform::OpenToEvents() {
  static const BOOL handled = SetConsoleCtrlHandler(OnConsoleEventDuringChange, TRUE);
  (void)handled;
  EventWindow& window = Window();
  EnterCriticalSection(&window.lock);
  if (window.open++ == 0) ResetEvent(window.closed);
  LeaveCriticalSection(&window.lock);
  open_to_events_ = true;
}

// The change has been made or undone whole: only now may the process end.
// One whose undo left part of it ends as a failure, its lines printed: the
// console handler then waits for good.
void Win32Platform::CloseToEvents() {
  if (!open_to_events_) return;
  const bool interrupted = Interrupted();
  if (interrupted && change_failure_.Get().remains == nullptr) calls_.End(STATUS_CONTROL_C_EXIT);
  open_to_events_ = false;
  EventWindow& window = Window();
  EnterCriticalSection(&window.lock);
  if (--window.open == 0) {
    ResetEvent(window.interrupt);
    if (!interrupted) SetEvent(window.closed);
  }
  LeaveCriticalSection(&window.lock);
}

bool Win32Platform::Interrupted() const {
  return open_to_events_ && !undoing_ &&
         WaitForSingleObject(Window().interrupt, 0) == WAIT_OBJECT_0;
}

unsigned Win32Platform::SystemDirectory(char* buffer, unsigned capacity) {
  record_.Clear();  // the platform gives no reason of its own
  return GetSystemDirectoryA(buffer, capacity);
}

bool Win32Platform::ArgumentsAsGiven(int argc, const char* const* argv) {
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

template <typename Attempt>
auto Win32Platform::Waited(Attempt call) -> decltype(call()) {
  for (DWORD pause = 1;; pause = std::min<DWORD>(pause * 2, 64)) {
    SetLastError(ERROR_SUCCESS);
    const auto result = call();
    const DWORD error = GetLastError();
    if (!IsHeld(error) || calls_.Now() - wait_started_ >= wait_ms_ || Interrupted()) {
      SetLastError(error);
      return result;
    }
    calls_.Pause(pause);
  }
}

int Win32Platform::WaitedSeconds() const {
  return static_cast<int>((calls_.Now() - wait_started_ + 500) / 1000);
}

DWORD Win32Platform::ListSectionNames(const char* file, std::vector<char>* names) {
  return ListWhole(names, [&](char* buffer, DWORD size) {
    return Waited([&] { return GetPrivateProfileSectionNamesA(buffer, size, file); });
  });
}

DWORD Win32Platform::ListSectionNames(const char* file, std::vector<wchar_t>* names) {
  const std::vector<wchar_t> wide_file = Wide(file);
  return ListWhole(names, [&](wchar_t* buffer, DWORD size) {
    return Waited([&] { return GetPrivateProfileSectionNamesW(buffer, size, wide_file.data()); });
  });
}

DWORD Win32Platform::ListSection(const char* section, const char* file,
                                 std::vector<char>* entries) {
  return ListWhole(entries, [&](char* buffer, DWORD size) {
    return Waited([&] { return GetPrivateProfileSectionA(section, buffer, size, file); });
  });
}

DWORD Win32Platform::ListSection(const char* section, const char* file,
                                 std::vector<wchar_t>* entries) {
  const std::vector<wchar_t> wide_section = Wide(section), wide_file = Wide(file);
  return ListWhole(entries, [&](wchar_t* buffer, DWORD size) {
    return Waited([&] {
      return GetPrivateProfileSectionW(wide_section.data(), buffer, size, wide_file.data());
    });
  });
}

int Win32Platform::CountSections(const char* section, const char* file, DWORD* error) {
  std::vector<char> names;
  if ((*error = ListSectionNames(file, &names)) != ERROR_SUCCESS) return -1;
  int count = 0;
  ForEachListed(names.data(),
                [&](std::string_view name) { count += AsciiCaseEqual(name, section); });
  return count;
}

int Win32Platform::CountKeyLines(const char* section, const char* key, const char* file,
                                 DWORD* error) {
  std::vector<char> entries;
  if ((*error = ListSection(section, file, &entries)) != ERROR_SUCCESS) return -1;
  int count = 0;
  ForEachListed(entries.data(), [&](std::string_view entry) {
    count += AsciiCaseEqual(SplitListedEntry(entry).name, key);
  });
  return count;
}

bool Win32Platform::Call(const char* section, const char* key, const char* value,
                         const char* file) {
  if (changing_) {
    // A failed change makes no further call: it has been undone.
    if (change_failed_) {
      record_ = change_failure_;
      return false;
    }
    if (!Journal(section, key, key == nullptr, file)) return false;
  }
  const BOOL written = Waited([&] {
    const UpdateInProgress update;
    return calls_.Write(section, key, value, file);
  });
  if (!Made(written, key == nullptr)) return Failed(ErrorOf(written), file);
  record_.Clear();
  return true;
}

bool Win32Platform::Made(BOOL written, bool section_delete) {
  const DWORD error = GetLastError();
  const bool saved = Saved(written, section_delete);
  for (const size_t index : call_undos_) {
    (saved ? journal_[index].saved : journal_[index].pending) = true;
  }
  call_undos_.clear();
  SetLastError(error);
  return saved;
}

bool Win32Platform::WriteString(const char* section, const char* key, const char* value,
                                const char* file) {
  return OneOperation([&] { return Call(section, key, value, file); });
}

bool Win32Platform::DeleteKey(const char* section, const char* key, const char* file) {
  return OneOperation([&] { return Call(section, key, nullptr, file); });
}

bool Win32Platform::DeleteSection(const char* section, const char* file) {
  return OneOperation([&] { return RemoveSection(section, file); });
}

bool Win32Platform::DeleteEveryKey(const char* section, const char* key, const char* file) {
  return OneOperation([&] { return RemoveEveryKey(section, key, file); });
}

template <typename Op>
bool Win32Platform::OneOperation(Op op) {
  if (changing_) return op();
  StartWait();
  const Turn turn(this);
  return turn.taken() && op();
}

// Our programs take turns at the file, machine-wide: the platform's write
// reads the file, lets it go and writes it whole again, so two runs at once
// would each write over what the other wrote. The wait for the turn is
// part of the operation's wait.
// A name that another program took, or a mutex it keeps from us, fails
// the operation: runs that did not take turns could lose the whole file.
// (docs/windows.md)
// The lines are the manual pages' DIAGNOSTICS entries: keep them in step.
bool Win32Platform::TakeTurn() {
  if (turns_++ > 0) return true;
  if (turn_ == nullptr) turn_ = CreateMutexA(nullptr, FALSE, kTurnName);
  const DWORD waited = calls_.Now() - wait_started_;
  // A console event ends the wait of a change open to it.
  const HANDLE handles[2] = {turn_, Window().interrupt};
  const DWORD outcome = turn_ == nullptr
                            ? WAIT_FAILED
                            : WaitForMultipleObjects(open_to_events_ ? 2 : 1, handles, FALSE,
                                                     waited < wait_ms_ ? wait_ms_ - waited : 0);
  // An abandoned turn is ours as well: its holder ended without giving it
  // back (docs/windows.md).
  if (outcome == WAIT_OBJECT_0 || outcome == WAIT_ABANDONED) {
    owns_turn_ = true;
    return true;
  }
  const DWORD error = GetLastError();
  --turns_;
  switch (outcome) {
    case WAIT_TIMEOUT:
      record_.Set(FailureKind::kLockHeld, LockHeldLine(WaitedSeconds()));
      return false;
    case WAIT_OBJECT_0 + 1:
      record_.Set(FailureKind::kOther, kInterrupted);
      return false;
    default:
      record_.Set(FailureKind::kOther,
                  std::string("The turn these programs take at the file, the mutex ") + kTurnName +
                      ", cannot be had: error " +
                      std::to_string(static_cast<unsigned long>(error)));
      return false;
  }
}

void Win32Platform::EndTurn() {
  if (--turns_ > 0 || !owns_turn_) return;
  owns_turn_ = false;
  ReleaseMutex(turn_);
}

// The platform removes the first section of the name per call; a file
// edited by hand may hold it twice, so it is called once for each copy
// listed. Nothing is called when none is listed: a missing file stays
// missing and an unchanged file is not rewritten. Inside a change the
// section is emptied at once and its header goes at the commit: a section
// written back into its own header keeps its place and spelling.
bool Win32Platform::RemoveSection(const char* section, const char* file) {
  if (changing_ && change_failed_) {
    record_ = change_failure_;
    return false;
  }
  DWORD error = ERROR_SUCCESS;
  const int copies = CountSections(section, file, &error);
  if (copies < 0) return Failed(error, file);
  if (copies == 0) {
    record_.Clear();
    return true;
  }
  if (!changing_) return RemoveHeaders(section, file, copies);
  if (!Journal(section, nullptr, true, file)) return false;
  const BOOL emptied = Waited([&] {
    const UpdateInProgress update;
    return calls_.WriteSection(section, "\0", file);
  });
  if (!Made(emptied, false)) return Failed(ErrorOf(emptied), file);
  emptied_.emplace_back(file, section);
  record_.Clear();
  return true;
}

bool Win32Platform::RemoveHeaders(const char* section, const char* file, int copies) {
  for (int i = 0; i < copies; ++i) {
    const BOOL removed = Waited([&] {
      const UpdateInProgress update;
      return calls_.Write(section, nullptr, nullptr, file);
    });
    if (!Made(removed, true)) return Failed(ErrorOf(removed), file);
  }
  DWORD error = ERROR_SUCCESS;
  const int left = CountSections(section, file, &error);
  if (left != 0) return Failed(left < 0 ? error : ERROR_WRITE_FAULT, file);
  record_.Clear();
  return true;
}

// Each delete takes one line of the key; a line that a delete cannot take
// would otherwise keep the loop going, so it runs once per line listed.
bool Win32Platform::RemoveEveryKey(const char* section, const char* key, const char* file) {
  if (changing_ && change_failed_) {
    record_ = change_failure_;
    return false;
  }
  DWORD error = ERROR_SUCCESS;
  const int lines = CountKeyLines(section, key, file, &error);
  if (lines < 0) return Failed(error, file);
  for (int i = 0; i < lines; ++i) {
    if (!Call(section, key, nullptr, file)) return false;
  }
  const int left = CountKeyLines(section, key, file, &error);
  if (left != 0) return Failed(left < 0 ? error : ERROR_WRITE_FAULT, file);
  record_.Clear();
  return true;
}

void Win32Platform::Begin(bool interruptible) {
  if (interruptible) OpenToEvents();
  changing_ = true;
  emptied_.clear();
  change_failed_ = false;
  change_failure_.Clear();
  journal_.clear();
  call_undos_.clear();
  sections_before_.clear();
  lossy_sections_.clear();
  StartWait();
  change_has_turn_ = TakeTurn();
  if (!change_has_turn_) {
    change_failed_ = true;
    change_failure_ = record_;
  }
}

bool Win32Platform::CommitChange() {
  // The headers of the sections the change emptied go last; should one
  // stay, the change is undone with the rest.
  for (const auto& [file, section] : emptied_) {
    if (change_failed_) break;
    DWORD error = ERROR_SUCCESS;
    const int copies = CountSections(section.c_str(), file.c_str(), &error);
    if (copies < 0) {
      Failed(error, file.c_str());
    } else {
      RemoveHeaders(section.c_str(), file.c_str(), copies);
    }
  }
  // A change interrupted before its last call returned is undone.
  if (Interrupted() && !change_failed_) Failed(ERROR_SUCCESS, "");
  const bool failed = change_failed_;
  EndChange();
  if (!failed) {
    record_.Clear();
    return true;
  }
  record_ = change_failure_;
  return false;
}

void Win32Platform::AbandonChange() {
  if (changing_ && !change_failed_) UndoChange();
  EndChange();
}

void Win32Platform::EndChange() {
  if (change_has_turn_) EndTurn();
  change_has_turn_ = changing_ = change_failed_ = false;
  emptied_.clear();
  journal_.clear();
  sections_before_.clear();
  lossy_sections_.clear();
  CloseToEvents();
}

bool Win32Platform::Journal(const char* section, const char* key, bool whole_section,
                            const char* file) {
  call_undos_.clear();
  auto before = std::find_if(sections_before_.begin(), sections_before_.end(),
                             [file](const auto& f) { return AsciiCaseEqual(f.first, file); });
  if (before == sections_before_.end()) {
    std::vector<char> names;
    if (const DWORD error = ListSectionNames(file, &names)) return Failed(error, file);
    std::vector<std::string> listed;
    ForEachListed(names.data(), [&](std::string_view name) { listed.emplace_back(name); });
    sections_before_.emplace_back(file, std::move(listed));
    before = sections_before_.end() - 1;
    // A name the code page lacks lists as '?' or a look-alike ([VRQPŃ] as
    // [VRQPN]): such names are kept by how they list.
    std::vector<wchar_t> wide;
    if (const DWORD error = ListSectionNames(file, &wide)) return Failed(error, file);
    ForEachListed(wide.data(), [&](std::wstring_view name) {
      if (!SurvivesCodePage(name.data(), name.data() + name.size())) {
        lossy_sections_.emplace_back(file, AsListed(name));
      }
    });
  }
  if (std::any_of(lossy_sections_.begin(), lossy_sections_.end(), [&](const auto& lossy) {
        return AsciiCaseEqual(lossy.first, file) && AsciiCaseEqual(lossy.second, section);
      })) {
    return Refused(WriteRefusedLine(std::string("[") + section + "] " + kOutsideCodePage), file);
  }
  const auto journaled = [&](Undo::Kind kind) {
    const auto found = std::find_if(journal_.begin(), journal_.end(), [&](const Undo& u) {
      return u.kind == kind && AsciiCaseEqual(u.file, file) && AsciiCaseEqual(u.section, section) &&
             (kind != Undo::kKey || AsciiCaseEqual(u.key, key));
    });
    return static_cast<size_t>(found - journal_.begin());
  };
  const auto spelled =
      std::find_if(before->second.begin(), before->second.end(),
                   [section](const std::string& s) { return AsciiCaseEqual(s, section); });
  const bool existed = spelled != before->second.end();
  if (!existed) {
    const size_t index = journaled(Undo::kNewSection);
    if (index == journal_.size()) {
      journal_.push_back(Undo{Undo::kNewSection, file, section, "", false, "", ""});
    }
    call_undos_.push_back(index);
  }
  const Undo::Kind kind = whole_section ? Undo::kSection : Undo::kKey;
  if (const size_t index = journaled(kind); index != journal_.size()) {
    call_undos_.push_back(index);
    return true;
  }
  // The section's lines as the platform lists them: quotes kept, which a
  // read of the value strips.
  std::vector<char> entries;
  if (const DWORD error = ListSection(section, file, &entries)) return Failed(error, file);
  // Written back as the file spelled it.
  Undo undo{kind, file, existed ? *spelled : section, key ? key : "", false, "", ""};
  undo.copies = static_cast<int>(
      std::count_if(before->second.begin(), before->second.end(),
                    [section](const std::string& s) { return AsciiCaseEqual(s, section); }));
  ForEachListed(entries.data(), [&](std::string_view item) {
    const ListedEntry<char> entry = SplitListedEntry(item);
    if (whole_section) {
      // A line without '=' goes back as "key=", which every read reads alike.
      undo.entries.append(item).append(entry.has_value ? "" : "=").push_back('\0');
    } else if (!undo.existed && AsciiCaseEqual(entry.name, key)) {
      undo.existed = true;
      undo.key.assign(entry.name);
      undo.value.assign(entry.value);
    }
  });
  undo.entries.push_back('\0');
  // The 8-bit listing gives a character outside the system's code page as
  // '?' or a look-alike, which the undo would write back: what it would
  // write, every line the 8-bit listing shows under the key's name, is
  // checked against the wide listing first.
  std::vector<wchar_t> wide;
  if (const DWORD error = ListSection(section, file, &wide)) return Failed(error, file);
  bool exact = true;
  ForEachListed(wide.data(), [&](std::wstring_view item) {
    if ((whole_section || AsciiCaseEqual(AsListed(SplitListedEntry(item).name), key)) &&
        !SurvivesCodePage(item.data(), item.data() + item.size())) {
      exact = false;
    }
  });
  if (!exact) {
    return Refused(WriteRefusedLine("[" + undo.section + "] " + kOutsideCodePage), file);
  }
  // A section that is not there needs no writing back.
  if (!whole_section || undo.entries.size() > 1) {
    call_undos_.push_back(journal_.size());
    journal_.push_back(std::move(undo));
  }
  return true;
}

bool Win32Platform::Failed(DWORD error, const char* file) {
  if (Interrupted()) {
    record_.Set(FailureKind::kOther, kInterrupted);
  } else {
    NoteError(error, file, WaitedSeconds(), &record_);
  }
  record_.SetFile(file);
  FailChange();
  return false;
}

bool Win32Platform::Refused(std::string line, const char* file) {
  record_.Set(FailureKind::kRefusedInput, std::move(line));
  record_.SetFile(file);
  FailChange();
  return false;
}

void Win32Platform::FailChange() {
  call_undos_.clear();
  if (!changing_ || change_failed_) return;
  change_failed_ = true;
  change_failure_ = record_;
  UndoChange();
  record_ = change_failure_;
}

// The failed call is undone too: a write whose save failed can stay in the
// platform's cache of the file, to be saved by the next write, an undo's
// included. So what is left is each undo that failed of a call that was
// saved, or of one that failed once any undo was saved. The undo has a
// wait of its own for a file that another program holds a moment.
void Win32Platform::UndoChange() {
  StartWait();
  undoing_ = true;
  bool any_saved = false;
  for (auto undo = journal_.rbegin(); undo != journal_.rend(); ++undo) {
    if (!undo->saved && !undo->pending) continue;
    const char* section = undo->section.c_str();
    const char* file = undo->file.c_str();
    undo->undone = Waited([&] {
      const UpdateInProgress update;
      switch (undo->kind) {
        case Undo::kKey:
          return Saved(calls_.Write(section, undo->key.c_str(),
                                    undo->existed ? undo->value.c_str() : nullptr, file),
                       false);
        case Undo::kNewSection:
          return Saved(calls_.Write(section, nullptr, nullptr, file), true);
        case Undo::kSection:
          break;
      }
      return Saved(calls_.WriteSection(section, undo->entries.c_str(), file), false);
    });
    any_saved = any_saved || undo->undone;
  }
  // For each file, the sections not restored, in the file's terms.
  std::vector<std::pair<std::string, std::vector<std::string>>> left;
  for (const Undo& undo : journal_) {
    // Of a section the file held twice, the lines of the later copies went
    // with the first's, and no listing gave them.
    const bool lost =
        undo.kind == Undo::kSection && undo.copies > 1 && (undo.saved || undo.pending);
    if (!lost && (undo.undone || (!undo.saved && !any_saved))) continue;
    auto named = std::find_if(left.begin(), left.end(),
                              [&](const auto& f) { return AsciiCaseEqual(f.first, undo.file); });
    if (named == left.end()) named = left.insert(left.end(), {undo.file, {}});
    const std::string name = "[" + undo.section + "]";
    if (std::find(named->second.begin(), named->second.end(), name) == named->second.end()) {
      named->second.push_back(name);
    }
  }
  undoing_ = false;
  journal_.clear();
  std::string remains;
  for (const auto& [file, sections] : left) {
    std::string names;
    for (const std::string& name : sections) names += (names.empty() ? "" : ", ") + name;
    remains += (remains.empty() ? "\"" : "; \"") + file +
               "\" may still hold part of the change: " + names +
               (sections.size() > 1 ? " were" : " was") + " not restored";
  }
  if (!remains.empty()) change_failure_.SetRemains(remains);
}

unsigned Win32Platform::ReadString(const char* section, const char* key, const char* default_value,
                                   char* buffer, unsigned capacity, const char* file) {
  StartWait();
  const Turn turn(this);
  if (!turn.taken()) {
    // Read as missing: the record says why.
    lstrcpynA(buffer, default_value, static_cast<int>(capacity));
    return static_cast<unsigned>(std::strlen(buffer));
  }
  const DWORD length = Waited([&] {
    return GetPrivateProfileStringA(section, key, default_value, buffer, capacity, file);
  });
  NotedRead(file);
  return length;
}

unsigned Win32Platform::ReadSection(const char* section, char* buffer, unsigned capacity,
                                    const char* file) {
  StartWait();
  const Turn turn(this);
  if (!turn.taken()) {
    buffer[0] = buffer[1] = '\0';
    return 0;
  }
  const DWORD length =
      Waited([&] { return GetPrivateProfileSectionA(section, buffer, capacity, file); });
  NotedRead(file);
  return length;
}

void Win32Platform::NotedRead(const char* file) {
  const DWORD error = GetLastError();
  if (IsHeld(error)) return record_.Set(FailureKind::kLockHeld, LockHeldLine(WaitedSeconds()));
  if (error != ERROR_ACCESS_DENIED) return record_.Clear();
  if (IsDirectory(file))
    return record_.Set(FailureKind::kNotRegularFile, "it is not a regular file");
  record_.Set(FailureKind::kPermission, "Access denied");
}

// The 8-bit functions read a UTF-16 or UTF-8 file through the system's
// code page: a value with characters outside it reads as '?' every time,
// so two 8-bit readings agree and would write the '?' back. The wide
// functions read it as it is; the entry is held out only when that
// reading, and the section's spelling of it, survive the code page.
// Read only: the write-back stays the 8-bit write.
bool Win32Platform::PlanHoldOut(const char* section, const char* key, const char* file) {
  StartWait();
  const Turn turn(this);
  if (!turn.taken()) return false;
  record_.Clear();
  const std::vector<wchar_t> wide_section = Wide(section), wide_key = Wide(key),
                             wide_file = Wide(file);
  wchar_t value[256];
  const DWORD length = Waited([&] {
    return GetPrivateProfileStringW(wide_section.data(), wide_key.data(), L"", value, 255,
                                    wide_file.data());
  });
  if (IsReadError(GetLastError())) {
    NotedRead(file);
    return false;
  }
  if (!SurvivesCodePage(value, value + length)) return NotHeld(kLostToCodePage);
  std::vector<wchar_t> listing;
  if (const DWORD error = ListSection(section, file, &listing)) {
    if (error == ERROR_BUFFER_OVERFLOW) return NotHeld("the section is too large to check");
    SetLastError(error);
    NotedRead(file);
    return false;
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

// The delete is a change of its own: should its save fail, the platform
// may keep it in its cache of the file and save it with a later write of
// this process, so it is undone like any failed change.
// The whole of it is one update: a console event that arrives meanwhile
// writes the entry back once the delete, or its undo, is complete.
bool Win32Platform::HoldOut(const char* section, const char* key, const char* file) {
  const UpdateInProgress update;
  Begin(false);
  DeleteKey(section, key, file);
  return CommitChange();
}

bool Win32Platform::PutBack(const char* section, const char* key, const char* value,
                            const char* file) {
  return WriteString(section, key, value, file);
}

void* Win32Platform::OpenLibrary(const char* name) {
  // Take the current directory out of the search order: a library planted
  // where the user happens to stand must not run.
  SetDllDirectoryA("");
  HMODULE library = LoadLibraryA(name);
  NotedCall(library != nullptr, "LoadLibrary");
  return reinterpret_cast<void*>(library);
}

void* Win32Platform::FindEntry(void* library, const char* entry) {
  FARPROC address = GetProcAddress(static_cast<HMODULE>(library), entry);
  NotedCall(address != nullptr, "GetProcAddress");
  return reinterpret_cast<void*>(address);
}

void Win32Platform::CloseLibrary(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }

bool Win32Platform::NotHeld(const char* why) {
  record_.Set(FailureKind::kRefusedInput, why);
  return false;
}

void Win32Platform::NotedCall(bool done, const char* call) {
  if (done) return record_.Clear();
  record_.Set(FailureKind::kOther, std::string(call) + " failed: error " +
                                       std::to_string(static_cast<unsigned long>(GetLastError())));
}

namespace {

// MAPI's own component: where the default mail client names none.
constexpr char kMapiComponent[] = "{FF1D0740-D227-11D1-A4B0-006008AF820E}";

using FGetComponentPathFn = BOOL(WINAPI*)(LPSTR component, LPSTR qualifier, LPSTR path,
                                          DWORD capacity, BOOL install);

/// Stores the data of value |name| of |key| in |*data|, nulls and all.
/// Returns false when there is none.
bool ReadValue(HKEY key, const char* name, std::vector<char>* data) {
  DWORD type = 0, size = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_MULTI_SZ && type != REG_EXPAND_SZ)) {
    return false;
  }
  data->assign(size + 2, '\0');  // ended by two nulls, however it was stored
  return RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data->data()),
                          &size) == ERROR_SUCCESS;
}

/// Returns true when |a| and |b| name one directory, however spelled
/// (case, "..", "\\?\", another drive letter, WOW64's redirection): the
/// volume and the file index are compared.
bool SameDirectory(const char* a, const char* b) {
  BY_HANDLE_FILE_INFORMATION info[2];
  const char* dirs[2] = {a, b};
  for (int i = 0; i < 2; ++i) {
    const HANDLE dir =
        CreateFileA(dirs[i], 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (dir == INVALID_HANDLE_VALUE) return AsciiCaseEqual(a, b);
    const BOOL got = GetFileInformationByHandle(dir, &info[i]);
    CloseHandle(dir);
    if (!got) return AsciiCaseEqual(a, b);
  }
  return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
         info[0].nFileIndexHigh == info[1].nFileIndexHigh &&
         info[0].nFileIndexLow == info[1].nFileIndexLow;
}

}  // namespace

// The messaging subsystem that Outlook installs reads the Mapisvc.inf beside
// its private MAPI library, which the MAPI stub names: FGetComponentPath,
// asked for the default mail client's component (or MAPI's own) with the
// client's qualifiers in turn, then none. The registry is read in this
// program's own view. docs/windows.md.
Platform::Located Win32Platform::LocateSubsystemFile(void* library, char* buffer,
                                                     unsigned capacity) {
  buffer[0] = '\0';
  char system_dir[MAX_PATH];
  const UINT length = GetSystemDirectoryA(system_dir, MAX_PATH);
  if (length == 0 || length >= MAX_PATH - 24) return Located::kNone;
  HMODULE stub = static_cast<HMODULE>(library);
  if (stub == nullptr) {
    // By its full path only: these programs run elevated.
    const std::string path = std::string(system_dir) + "\\mapi32.dll";
    stub = LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (stub == nullptr) return Located::kNone;
  }
  const auto locate = reinterpret_cast<FGetComponentPathFn>(
      reinterpret_cast<void*>(GetProcAddress(stub, "FGetComponentPath")));
  std::vector<char> component(kMapiComponent, kMapiComponent + sizeof kMapiComponent);
  std::vector<char> qualifiers[2];
  HKEY clients = nullptr, client = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Clients\\Mail", 0, KEY_READ, &clients) ==
      ERROR_SUCCESS) {
    std::vector<char> name;
    if (ReadValue(clients, nullptr, &name) && name[0] != '\0' &&
        RegOpenKeyExA(clients, name.data(), 0, KEY_READ, &client) == ERROR_SUCCESS) {
      std::vector<char> id;
      if (ReadValue(client, "MSIComponentID", &id) && id[0] != '\0') component = id;
      ReadValue(client, "MSIApplicationLCID", &qualifiers[0]);
      ReadValue(client, "MSIOfficeLCID", &qualifiers[1]);
      RegCloseKey(client);
    }
    RegCloseKey(clients);
  }
  char dll[MAX_PATH] = "";
  bool found = false;
  for (int i = 0; locate != nullptr && i < 3 && !found; ++i) {
    if (i < 2 && qualifiers[i].empty()) continue;
    found = locate(component.data(), i < 2 ? qualifiers[i].data() : nullptr, dll, MAX_PATH,
                   FALSE) != FALSE;
  }
  if (library == nullptr) FreeLibrary(stub);
  if (!found) return Located::kNone;
  dll[MAX_PATH - 1] = '\0';
  // Either separator ends the directory; the path is printed with '\'.
  std::replace(dll, dll + std::strlen(dll), '/', '\\');
  const char* slash = std::strrchr(dll, '\\');
  if (slash == nullptr) return Located::kNone;
  // Each with its separator: "C:\\" is the root, "C:" the current directory there.
  const std::string dir(dll, static_cast<size_t>(slash + 1 - dll));
  const std::string file = dir + "Mapisvc.inf";
  if (SameDirectory(dir.c_str(), (std::string(system_dir) + "\\").c_str())) return Located::kNone;
  if (file.size() >= capacity) return Located::kTooLong;
  std::memcpy(buffer, file.c_str(), file.size() + 1);
  return GetFileAttributesA(buffer) == INVALID_FILE_ATTRIBUTES ? Located::kMissing
                                                               : Located::kPresent;
}

// Never destroyed: the guard's write-back at the process's end, after
// exit() has run the destructors of statics, still needs it.
Platform& NativePlatform() {
  static ProfileCalls& calls = *new ProfileCalls;
  static Win32Platform& platform = *new Win32Platform(calls);
  return platform;
}

}  // namespace quillpost
