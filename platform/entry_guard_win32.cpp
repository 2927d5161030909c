// On Windows a console control handler runs on a thread of its own and an
// unhandled-exception filter on the faulting thread, so both can write the
// entry back directly before the process ends.

#include <windows.h>

#include <cstdio>

#include "platform/entry_guard.h"
#include "platform/platform.h"

namespace quillpost {
namespace {

struct HeldEntry {
  Platform* platform;
  const char* section;
  const char* key;
  const char* value;
  const char* file;
  const char* failure_message;
};

HeldEntry g_entry;
volatile LONG g_armed = 0;
LPTOP_LEVEL_EXCEPTION_FILTER g_previous_filter = nullptr;

/// Writes the entry back once, whoever asks first.
void RestoreOnce() {
  if (InterlockedExchange(&g_armed, 0) == 0) return;
  if (!g_entry.platform->WriteString(g_entry.section, g_entry.key, g_entry.value, g_entry.file)) {
    std::fputs(g_entry.failure_message, stdout);
  }
  std::fflush(stdout);
}

BOOL WINAPI OnConsoleEvent(DWORD) {
  RestoreOnce();
  return FALSE;  // the default handler then ends the process as usual
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS*) {
  RestoreOnce();
  // End the process with the exception's code, without a debugger.
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

bool ArmEntryGuard(Platform& platform, const char* section, const char* key, const char* value,
                   const char* file, const char* failure_message) {
  g_entry = HeldEntry{&platform, section, key, value, file, failure_message};
  InterlockedExchange(&g_armed, 1);
  g_previous_filter = SetUnhandledExceptionFilter(OnUnhandledException);
  return SetConsoleCtrlHandler(OnConsoleEvent, TRUE) != 0;
}

void DisarmEntryGuard() {
  InterlockedExchange(&g_armed, 0);
  SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  SetUnhandledExceptionFilter(g_previous_filter);
}

}  // namespace quillpost
