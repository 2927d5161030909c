// On Windows every way out of the process runs some code of ours first:
// - a console event (Ctrl+C, Ctrl+Break, a closed console, logoff,
//   shutdown) calls the console handler on a thread of its own;
// - an unhandled exception calls the exception filter on the faulting
//   thread, whichever thread that is;
// - ExitProcess (where exit() ends too) ends every other thread and then
//   tells the fiber-local storage of the calling thread and the TLS callback
//   of the program that the process is ending.
// Each of them writes the entry back through one critical section, which
// the program's own updates of the file hold too (UpdateInProgress): a
// console event or an exception that arrives during an update waits until
// the update is complete, the write-back is made once, and never at the
// same time as another one. TerminateProcess runs nothing: it loses the
// entry.

#include "platform/guard/entry_guard_win32.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/guard/entry_guard.h"
#include "platform/guard/update_in_progress.h"
#include "platform/platform.h"

namespace quillpost {
namespace {

// The entry and its message are copied: the guard outlives nothing of the
// caller's, and a write-back at the process's end may run after the
// caller's stack is gone.
struct HeldEntry {
  Platform* platform;
  char section[256];
  char key[256];
  char value[256];
  char file[1024];
  char failure_message[2048];
  // For a write-back not made because the process ends with an update of
  // the file cut off half-way, whose outcome is not known.
  char uncertain_message[2048];
};

/// Copies |text| into |buffer|. Returns false when it does not fit.
template <size_t N>
bool CopyInto(char (&buffer)[N], const char* text) {
  const size_t length = std::strlen(text);
  if (length >= N) return false;
  std::memcpy(buffer, text, length + 1);
  return true;
}

/// The lock of the write-back and of the program's own updates; it lives
/// for the whole process, from before main.
class GuardLock {
 public:
  GuardLock() { InitializeCriticalSection(&section_); }
  CRITICAL_SECTION* get() { return &section_; }

 private:
  CRITICAL_SECTION section_;
};
GuardLock g_lock;

// Guarded by g_lock.
HeldEntry g_entry;
bool g_armed = false;
DWORD g_updating_thread = 0;  // the thread inside an update, or 0
int g_update_depth = 0;

LPTOP_LEVEL_EXCEPTION_FILTER g_previous_filter = nullptr;
DWORD g_fiber_slot = FLS_OUT_OF_INDEXES;
using ShutdownQuery = BOOLEAN(WINAPI*)();
ShutdownQuery g_shutdown_in_progress = nullptr;

/// Writes |text| to standard output as console text (each line feed as CR
/// LF), without the C runtime, which may be gone at the process's end.
void WriteOut(const char* text) {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD written;
  for (const char* line = text; *line != '\0';) {
    const char* end = std::strchr(line, '\n');
    const size_t length = end ? static_cast<size_t>(end - line) : std::strlen(line);
    WriteFile(out, line, static_cast<DWORD>(length), &written, nullptr);
    if (end == nullptr) break;
    WriteFile(out, "\r\n", 2, &written, nullptr);
    line = end + 1;
  }
}

/// Writes the entry back if it is still held out; with |may_write| false
/// only tells the user what to put back. Called with g_lock held, or at the
/// process's end.
void WriteBack(bool may_write) {
  if (!g_armed) return;
  g_armed = false;
  // A fault inside the program's own update, on this very thread, leaves
  // the platform's profile functions half-way: do not enter them again.
  if (g_updating_thread == GetCurrentThreadId()) may_write = false;
  const HeldEntry& e = g_entry;
  if (!may_write) {
    WriteOut(e.uncertain_message);
  } else if (!e.platform->WriteString(e.section, e.key, e.value, e.file)) {
    WriteOut(e.failure_message);
  }
}

void RestoreOnce() {
  EnterCriticalSection(g_lock.get());
  WriteBack(true);
  LeaveCriticalSection(g_lock.get());
}

/// At the process's end every other thread is gone. One that died holding
/// the lock died in the middle of an update, with the platform's profile
/// functions maybe half-way: the entry is then not written again (that
/// could wait for ever), and the user is told what to put back.
void RestoreAtProcessEnd() {
  const bool locked = TryEnterCriticalSection(g_lock.get()) != 0;
  WriteBack(locked);
  if (locked) LeaveCriticalSection(g_lock.get());
}

BOOL WINAPI ConsoleHandler(DWORD event) { return OnConsoleEvent(event) ? TRUE : FALSE; }

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS*) {
  RestoreOnce();
  // End the process with the exception's code, without a debugger.
  return EXCEPTION_EXECUTE_HANDLER;
}

/// Called when a thread that holds a value in g_fiber_slot ends, and for
/// the thread that calls ExitProcess.
void WINAPI OnFiberDataEnd(void*) {
  if (g_shutdown_in_progress != nullptr && g_shutdown_in_progress()) RestoreAtProcessEnd();
}

/// The program's TLS callback: every new thread gets a value in
/// g_fiber_slot, so that ExitProcess called from any thread reaches
/// OnFiberDataEnd; the process's end reaches it here too.
void NTAPI OnThreadEvent(void*, DWORD reason, void*) {
  if (reason == DLL_THREAD_ATTACH && g_fiber_slot != FLS_OUT_OF_INDEXES) {
    FlsSetValue(g_fiber_slot, reinterpret_cast<void*>(1));
  }
  if (reason == DLL_PROCESS_DETACH) RestoreAtProcessEnd();
}

}  // namespace
}  // namespace quillpost

extern "C" {
// The loader calls every callback placed between .CRT$XLA and .CRT$XLZ.
__attribute__((section(".CRT$XLB"), used)) PIMAGE_TLS_CALLBACK quillpost_guard_tls_callback =
    quillpost::OnThreadEvent;
}

namespace quillpost {

bool OnConsoleEvent(unsigned long) {
  RestoreOnce();
  return false;  // the next handler, in the end the platform's, ends the process
}

bool ProcessEntryGuard::Hold(const char* section, const char* key, const char* value,
                             const char* file, const char* failure_message) {
  HeldEntry entry;
  entry.platform = &platform_;
  if (!CopyInto(entry.section, section) || !CopyInto(entry.key, key) ||
      !CopyInto(entry.value, value) || !CopyInto(entry.file, file) ||
      !CopyInto(entry.failure_message, failure_message)) {
    return false;
  }
  // The line is the manual page's DIAGNOSTICS entry: keep them in step.
  const int length =
      std::snprintf(entry.uncertain_message, sizeof entry.uncertain_message,
                    "\"%s\" may be missing from section \"%s\" of \"%s\", whose update the "
                    "process's end cut off; if it is, put it back by hand: %s=%s\n",
                    key, section, file, key, value);
  if (length < 0 || static_cast<size_t>(length) >= sizeof entry.uncertain_message) return false;
  if (g_shutdown_in_progress == nullptr) {
    g_shutdown_in_progress = reinterpret_cast<ShutdownQuery>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "RtlDllShutdownInProgress")));
  }
  if (g_fiber_slot == FLS_OUT_OF_INDEXES) g_fiber_slot = FlsAlloc(OnFiberDataEnd);
  if (g_shutdown_in_progress == nullptr || g_fiber_slot == FLS_OUT_OF_INDEXES ||
      !FlsSetValue(g_fiber_slot, reinterpret_cast<void*>(1)) ||
      !SetConsoleCtrlHandler(ConsoleHandler, TRUE)) {
    return false;
  }
  EnterCriticalSection(g_lock.get());
  const bool held_already = g_armed;
  if (!held_already) {
    g_entry = entry;
    g_armed = true;
  }
  LeaveCriticalSection(g_lock.get());
  if (held_already) return false;
  g_previous_filter = SetUnhandledExceptionFilter(OnUnhandledException);
  return true;
}

void ProcessEntryGuard::Release() {
  EnterCriticalSection(g_lock.get());
  g_armed = false;
  LeaveCriticalSection(g_lock.get());
  SetConsoleCtrlHandler(ConsoleHandler, FALSE);
  SetUnhandledExceptionFilter(g_previous_filter);
}

UpdateInProgress::UpdateInProgress() {
  EnterCriticalSection(g_lock.get());
  if (g_update_depth++ == 0) g_updating_thread = GetCurrentThreadId();
}

UpdateInProgress::~UpdateInProgress() {
  if (--g_update_depth == 0) g_updating_thread = 0;
  LeaveCriticalSection(g_lock.get());
}

const char* ProcessEntryGuard::WhyNotHeld() const { return nullptr; }

// There is no guardian process: the caller prints the line to put the
// entry back by hand.
EntryGuard::HandedOver ProcessEntryGuard::HandOver() { return HandedOver::kNo; }

ProcessEntryGuard::ProcessEntryGuard(Platform& platform)
    : platform_(platform), owner_(static_cast<long>(GetCurrentProcessId())) {}

// Windows has no fork: the process that returns from the wizard is always
// the one that made the guard.
void ProcessEntryGuard::EndIfForked() {}

}  // namespace quillpost
