#!/usr/bin/env bash
# Builds everything and runs every test:
#   1. the native suites (preset default), valgrind memcheck of both programs included;
#   2. the same suites built with AddressSanitizer and UBSan (preset asan);
#   3. the profile engine's libFuzzer target for QUILLPOST_FUZZ_SECONDS (default 60);
#   4. the 64-bit Windows programs and their suites under 64-bit Wine (preset mingw64);
#   5. the 32-bit Windows programs (preset mingw): their suites under 32-bit
#      Wine where this kernel can run 32-bit x86 code; elsewhere they are
#      built and their PE headers and imports checked, and the run says so.
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

# Some machines of our kind cannot run 32-bit x86 code at all: every i386
# program, the 32-bit Wine loader included, fails with "Exec format error".
# Asking the loader for its version tells, at no cost.
not_run=""
if probe=$(/usr/lib/wine/wine --version 2>&1); then
  echo "== 32-bit Windows under 32-bit Wine ($probe)"
  cmake --preset mingw -DQUILLPOST_RUN_UNDER_WINE=ON
  cmake --build --preset mingw -j"$jobs"
  tools/wine-run.sh --prepare build/mingw/registration/provreg.exe
  ctest --preset mingw -j"$jobs"
else
  why=$(printf '%s' "$probe" | grep -m1 -io 'exec format error' || printf '%s' "${probe:-no output}" | head -n1)
  not_run="the 32-bit Windows programs were built and their PE headers checked, but not run: this kernel cannot run 32-bit x86 programs (/usr/lib/wine/wine --version: $why)"
  echo "== 32-bit Windows: build and header checks only"
  echo "NOTE: $not_run"
  cmake --preset mingw -DQUILLPOST_RUN_UNDER_WINE=OFF
  cmake --build --preset mingw -j"$jobs"
  ctest --preset mingw -j"$jobs" -L pe_headers
fi

echo "== the Windows zip (both bitnesses)"
(cd build/mingw64 && cpack -G ZIP >/dev/null)
zip_file=build/mingw64/quillpost-1.0.0-windows.zip
listing=$(cmake -E tar tf "$zip_file")
for f in win{32,64}/{provreg,provunreg,wiztest}.exe README.md; do
  grep -q "/$f\$" <<<"$listing" || { echo "error: $zip_file lacks $f" >&2; exit 1; }
done
echo "$zip_file: $(grep -c . <<<"$listing") entries, win32/ and win64/ programs and the README"

echo "== all stages passed"
if [ -n "$not_run" ]; then echo "NOTE: $not_run"; fi
