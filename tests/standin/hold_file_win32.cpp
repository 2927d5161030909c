// hold_file: holds FILE open without sharing it for HOLD_MS, lets it go for
// GAP_MS, and again, for SECONDS: another program at work on the file, for
// the measurement of runs under contention (tools/wine-contention.sh) and
// the tests. READY_FILE, when given, is created once FILE is first held, and
// the holding ends when READY_FILE is gone.
//   hold_file.exe FILE SECONDS HOLD_MS GAP_MS [READY_FILE]

#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6) {
    std::fputs("usage: hold_file FILE SECONDS HOLD_MS GAP_MS [READY_FILE]\n", stderr);
    return 2;
  }
  const DWORD until = GetTickCount() + static_cast<DWORD>(std::atoi(argv[2]) * 1000);
  const DWORD hold = static_cast<DWORD>(std::atoi(argv[3]));
  const DWORD gap = static_cast<DWORD>(std::atoi(argv[4]));
  long held = 0;
  while (static_cast<LONG>(until - GetTickCount()) > 0) {
    if (argc == 6 && held > 0 && GetFileAttributesA(argv[5]) == INVALID_FILE_ATTRIBUTES) break;
    const HANDLE file = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      if (held++ == 0 && argc == 6) {
        CloseHandle(CreateFileA(argv[5], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
      }
      for (DWORD slept = 0; slept < hold; slept += 10) {
        if (argc == 6 && GetFileAttributesA(argv[5]) == INVALID_FILE_ATTRIBUTES) break;
        Sleep(hold < 10 ? hold : 10);
      }
      CloseHandle(file);
    }
    Sleep(gap);
  }
  std::printf("held the file %ld times\n", held);
  return 0;
}
