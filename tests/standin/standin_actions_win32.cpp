// The stand-in's Windows actions:
//   exitprocess:N         call ExitProcess(N)
//   thread-exitprocess:N  call ExitProcess(N) on another thread
//   thread-crash          fault on another thread
//   hold:N                hold the file open, without sharing it, for N ms
//                         after the wizard returns
// The wizard waits for the other thread, which ends the process.

#include <windows.h>

#include <string>

#include "tests/standin/standin_actions.h"

namespace quillpost::standin {
namespace {

DWORD WINAPI ExitOnThread(void* code) {
  ExitProcess(static_cast<UINT>(reinterpret_cast<UINT_PTR>(code)));
}

DWORD g_hold_ms = 0;

DWORD WINAPI CloseAfterHold(void* held) {
  Sleep(g_hold_ms);
  CloseHandle(held);
  return 0;
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

bool PlatformAction(const std::string& name, int number, const std::string&) {
  if (name == "hold") {
    g_hold_ms = static_cast<DWORD>(number);
    const HANDLE held = CreateFileA(ConfigFilePath().c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    CloseHandle(CreateThread(nullptr, 0, CloseAfterHold, held, 0, nullptr));
  }
  if (name == "exitprocess") ExitProcess(static_cast<UINT>(number));
  if (name == "thread-exitprocess") RunOnThread(ExitOnThread, static_cast<UINT>(number));
  if (name == "thread-crash") RunOnThread(CrashOnThread, 0);
  return false;
}

}  // namespace quillpost::standin
