#!/usr/bin/env bash
# Builds everything and runs every test:
#   1. the native suites (preset default), valgrind memcheck of both programs included;
#   2. the same suites built with AddressSanitizer and UBSan (preset asan);
#   3. the profile engine's libFuzzer target for QUILLPOST_FUZZ_SECONDS (default 60);
#   4. the 64-bit Windows programs and their suites under 64-bit Wine (preset mingw64);
#   5. the 32-bit Windows programs (preset mingw): all their suites under
#      32-bit Wine where this kernel runs i386 code natively; under user-mode
#      emulation (qemu-user) where it does not, the unit suite and smoke rows
#      of each program; where neither can be had, built and their PE headers
#      checked. The closing NOTE says which.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="$(nproc)"

missing=()
command -v clang++ >/dev/null || missing+=(clang)
command -v valgrind >/dev/null || missing+=(valgrind)
command -v i686-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-i686-posix)
command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-x86-64-posix)
command -v wineserver >/dev/null || missing+=(wine)
[ -x /usr/lib/wine/wine64 ] || missing+=(wine64)
[ -x /usr/lib/wine/wine ] || missing+=(wine32:i386)
command -v groff >/dev/null || missing+=(groff-base)
command -v dpkg-shlibdeps >/dev/null || missing+=(dpkg-dev)
command -v file >/dev/null || missing+=(file)
command -v lintian >/dev/null || missing+=(lintian)
command -v msibuild >/dev/null || missing+=(msitools)
command -v wixl >/dev/null || missing+=(wixl)
if [ "${#missing[@]}" -gt 0 ]; then
  echo "error: the tests need the packages ${missing[*]}; install them as root, or run .ci/run" >&2
  exit 1
fi

echo "== native"
cmake --preset default
cmake --build --preset default -j"$jobs"
ctest --preset default -j"$jobs"

echo "== AddressSanitizer + UBSan"
cmake --preset asan
cmake --build --preset asan -j"$jobs"
ctest --preset asan -j"$jobs"

echo "== fuzzing the profile engine"
tools/fuzz.sh "${QUILLPOST_FUZZ_SECONDS:-60}"

echo "== 64-bit Windows under 64-bit Wine"
cmake --preset mingw64
cmake --build --preset mingw64 -j"$jobs"
tools/wine-run.sh --prepare build/mingw64/registration/provreg.exe
ctest --preset mingw64 -j"$jobs"

# How this machine runs i386 programs, the 32-bit Wine loader's included:
# natively; under user-mode emulation (qemu-user through a binfmt_misc
# handler for i386 ELF files, which the kernel consults before its own ELF
# loader, so a registered handler means emulation even on a kernel that
# could run them natively); or not at all ("Exec format error").
binfmt=/proc/sys/fs/binfmt_misc
i386_handler() {
  local entry magic
  [ "$(cat "$binfmt/status" 2>/dev/null)" = enabled ] || return 1
  for entry in "$binfmt"/*; do
    case "${entry##*/}" in register | status) continue ;; esac
    grep -qx enabled "$entry" 2>/dev/null || continue
    grep -qx 'offset 0' "$entry" || continue
    magic=$(sed -n 's/^magic //p' "$entry")
    # ELF, 32-bit, little-endian; e_type executable or shared; e_machine 3 (i386).
    if [ "${magic:0:10}" = 7f454c4601 ] && [ "${magic:36:4}" = 0300 ]; then
      printf '%s (%s)\n' "${entry##*/}" "$(sed -n 's/^interpreter //p' "$entry")"
      return 0
    fi
  done
  return 1
}
# Registers qemu-user's i386 emulator for i386 ELF files (the only change
# this script makes to the system beyond packages). Prints why it cannot.
register_i386_handler() {
  local qemu=/usr/bin/qemu-i386
  [ -x "$qemu" ] || { echo "no $qemu (install the package qemu-user)"; return 1; }
  [ "$(id -u)" = 0 ] || { echo "registering a binfmt_misc handler needs root"; return 1; }
  if [ ! -e "$binfmt/register" ]; then
    mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null ||
      { echo "binfmt_misc is not available here (mount -t binfmt_misc failed)"; return 1; }
  fi
  printf '%s' ':quillpost-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':F' \
    >"$binfmt/register" 2>/dev/null ||
    { echo "the kernel refused the binfmt_misc handler for $qemu"; return 1; }
}
loader32=/usr/lib/wine/wine
if handler=$(i386_handler); then
  mode=emulated
elif "$loader32" --version >/dev/null 2>&1; then
  mode=native
elif why=$(register_i386_handler) && handler=$(i386_handler) &&
  "$loader32" --version >/dev/null 2>&1; then
  mode=emulated
  echo "registered the binfmt_misc handler $handler: this kernel cannot run 32-bit x86 programs natively"
else
  mode=none
  [ -n "${why:-}" ] || why="$loader32 --version: $( ("$loader32" --version 2>&1 || true) | sed -n '1s/.*: //p')"
fi

# The smoke runs (tools/wine-smoke.sh) run the 32-bit programs as on 64-bit
# Windows, in a 64-bit prefix where WOW64 redirects their system directory,
# and compare each run with the 64-bit programs' own.
smoke32() {
  QUILLPOST_WINE_WOW64=1 tools/wine-run.sh --prepare build/mingw/registration/provreg.exe
  QUILLPOST_WINE_WOW64=1 tools/wine-smoke.sh build/mingw build/mingw64
}
# Under emulation every Wine process costs most of a minute, so the stage
# has a limit of its own: a stuck emulator fails it here, clearly.
emulated_limit=${QUILLPOST_EMULATED_STAGE_SECONDS:-2700}
case "$mode" in
  native)
    echo "== 32-bit Windows under 32-bit Wine, natively"
    cmake --preset mingw -DQUILLPOST_RUN_UNDER_WINE=ON
    cmake --build --preset mingw -j"$jobs"
    tools/wine-run.sh --prepare build/mingw/registration/provreg.exe
    ctest --preset mingw -j"$jobs"
    smoke32
    stage32="the 32-bit Windows programs ran natively under 32-bit Wine ($("$loader32" --version)): all their suites, and the smoke runs under WOW64"
    ;;
  emulated)
    echo "== 32-bit Windows under 32-bit Wine, emulated by $handler"
    cmake --preset mingw -DQUILLPOST_RUN_UNDER_WINE=OFF
    cmake --build --preset mingw -j"$jobs"
    ctest --preset mingw -j"$jobs" -L pe_headers
    started=$SECONDS
    export -f smoke32
    if ! timeout --kill-after=30 "$emulated_limit" bash -euo pipefail -c '
      smoke32
      echo "== the 32-bit unit suite, in one process"
      QUILLPOST_WINE_WOW64=1 LC_ALL=C tools/wine-run.sh build/mingw/tests/unit_tests.exe --gtest_brief=1'; then
      echo "error: the 32-bit stage under emulation failed or ran past its limit of ${emulated_limit} s" >&2
      exit 1
    fi
    stage32="the 32-bit Windows programs ran under 32-bit Wine emulated by $handler, in $((SECONDS - started)) s: the unit suite, the smoke runs of provreg, provunreg and wiztest under WOW64, and the PE header checks; the other black-box suites run only where the kernel runs i386 code natively"
    ;;
  none)
    stage32="the 32-bit Windows programs were built and their PE headers checked, but not run: this machine runs no 32-bit x86 program, natively or under emulation ($why)"
    echo "== 32-bit Windows: build and header checks only"
    echo "NOTE: $stage32"
    cmake --preset mingw -DQUILLPOST_RUN_UNDER_WINE=OFF
    cmake --build --preset mingw -j"$jobs"
    ctest --preset mingw -j"$jobs" -L pe_headers
    ;;
esac

echo "== the Windows zip (both bitnesses)"
(cd build/mingw64 && cpack -G ZIP >/dev/null)
zip_file=build/mingw64/quillpost-1.0.0-windows.zip
listing=$(cmake -E tar tf "$zip_file")
for f in win{32,64}/{provreg,provunreg,wiztest}.exe README.md; do
  grep -q "/$f\$" <<<"$listing" || { echo "error: $zip_file lacks $f" >&2; exit 1; }
done
echo "$zip_file: $(grep -c . <<<"$listing") entries, win32/ and win64/ programs and the README"

echo "== all stages passed"
echo "NOTE: $stage32"
