// The stand-in's Windows actions:
//   exitprocess:N         call ExitProcess(N)
//   thread-exitprocess:N  call ExitProcess(N) on another thread
//   thread-crash          fault on another thread
// The wizard waits for the other thread, which ends the process.

#include <windows.h>

#include <string>

#include "tests/standin/standin_actions.h"

namespace quillpost::standin {
namespace {

DWORD WINAPI ExitOnThread(void* code) {
  ExitProcess(static_cast<UINT>(reinterpret_cast<UINT_PTR>(code)));
}

DWORD WINAPI CrashOnThread(void*) {
  FaultOnNull();
  return 0;
}

void RunOnThread(LPTHREAD_START_ROUTINE routine, UINT code) {
  HANDLE thread =
      CreateThread(nullptr, 0, routine, reinterpret_cast<void*>(UINT_PTR{code}), 0, nullptr);
  if (thread != nullptr) WaitForSingleObject(thread, INFINITE);
}

}  // namespace

std::string ConfigFilePath() {
  char dir[MAX_PATH];
  const UINT length = GetSystemDirectoryA(dir, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return "";
  return std::string(dir) + "\\Mapisvc.inf";
}

void PlatformAction(const std::string& name, int number, const std::string&) {
  if (name == "exitprocess") ExitProcess(static_cast<UINT>(number));
  if (name == "thread-exitprocess") RunOnThread(ExitOnThread, static_cast<UINT>(number));
  if (name == "thread-crash") RunOnThread(CrashOnThread, 0);
}

}  // namespace quillpost::standin
