// hold_file: holds FILE open without sharing it for HOLD_MS, lets it go for
// GAP_MS, and again, for SECONDS: another program at work on the file, for
// the measurement of runs under contention (tools/wine-contention.sh).
//   hold_file.exe FILE SECONDS HOLD_MS GAP_MS

#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fputs("usage: hold_file FILE SECONDS HOLD_MS GAP_MS\n", stderr);
    return 2;
  }
  const DWORD until = GetTickCount() + static_cast<DWORD>(std::atoi(argv[2]) * 1000);
  const DWORD hold = static_cast<DWORD>(std::atoi(argv[3]));
  const DWORD gap = static_cast<DWORD>(std::atoi(argv[4]));
  long held = 0;
  while (static_cast<LONG>(until - GetTickCount()) > 0) {
    const HANDLE file = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      ++held;
      Sleep(hold);
      CloseHandle(file);
    }
    Sleep(gap);
  }
  std::printf("held the file %ld times\n", held);
  return 0;
}
