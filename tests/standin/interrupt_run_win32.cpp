// interrupt_run: runs PROGRAM ROUNDS times with FILE held without sharing
// from before it starts (2.5 s, so that it waits in its change) and sends
// Ctrl+C to the console a moment after letting the file go: 0, 3, 6, ...
// ms, round by round, up to 237. Counts the end states of FILE against a
// run left alone: as before (missing, or left empty), as after, or
// neither; and the runs that did not end within a minute (ended then).
// Needs a console; under Wine run it on a terminal (docs/windows.md).
//   interrupt_run.exe PROGRAM FILE ROUNDS [ARGS]

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr DWORD kHung = 0xDEAD;

std::string Read(const char* file) {
  std::string bytes;
  if (std::FILE* f = std::fopen(file, "rb")) {
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) bytes.append(buffer, n);
    std::fclose(f);
  }
  return bytes;
}

DWORD Run(std::string command, const char* file, int delay_ms) {
  DeleteFileA(file);
  const HANDLE held = CreateFileA(file, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    std::printf("cannot start %s: error %lu\n", command.c_str(), GetLastError());
    std::exit(2);
  }
  Sleep(2500);
  CloseHandle(held);
  DeleteFileA(file);  // what the program finds is its own doing
  if (delay_ms >= 0) {
    Sleep(static_cast<DWORD>(delay_ms));
    if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
      std::printf("no console to send Ctrl+C to: error %lu\n", GetLastError());
      std::exit(2);
    }
  }
  // A run that has not ended in a minute is taken for hung, and ended.
  DWORD status = kHung;
  if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0) {
    GetExitCodeProcess(process.hProcess, &status);
  } else {
    TerminateProcess(process.hProcess, kHung);
  }
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return status;
}

BOOL WINAPI IgnoreEvent(DWORD) { return TRUE; }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fputs("usage: interrupt_run PROGRAM FILE ROUNDS [ARGS]\n", stderr);
    return 2;
  }
  // Not inherited, unlike an ignored Ctrl+C: the program sees the event.
  SetConsoleCtrlHandler(IgnoreEvent, TRUE);
  std::string command = std::string("\"") + argv[1] + "\"";
  for (int i = 4; i < argc; ++i) command += std::string(" ") + argv[i];
  Run(command, argv[2], -1);
  const std::string after = Read(argv[2]);
  int before_count = 0, after_count = 0, neither = 0, hung = 0;
  for (int i = 0; i < std::atoi(argv[3]); ++i) {
    const int delay = (i * 3) % 240;
    const DWORD status = Run(command, argv[2], delay);
    const std::string now = Read(argv[2]);
    const char* state = now.empty() ? "before" : now == after ? "after" : "neither";
    before_count += now.empty();
    after_count += now == after;
    neither += !now.empty() && now != after;
    hung += status == kHung;
    std::printf("Ctrl+C %3d ms after: status %#lx, file %s\n", delay, status, state);
  }
  std::printf("%d before, %d after, %d neither; %d hung\n", before_count, after_count, neither,
              hung);
  return neither == 0 && hung == 0 ? 0 : 1;
}
