#!/usr/bin/env bash
# Builds everything and runs every test:
#   1. the native suites (preset default), valgrind memcheck of both programs included;
#   2. the same suites built with AddressSanitizer and UBSan (preset asan);
#   3. the profile engine's libFuzzer target for QUILLPOST_FUZZ_SECONDS (default 60);
#   4. the 32-bit Windows programs and their suites under Wine (preset mingw).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="$(nproc)"

missing=()
command -v clang++ >/dev/null || missing+=(clang)
command -v valgrind >/dev/null || missing+=(valgrind)
command -v i686-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-i686-posix)
command -v wine >/dev/null || missing+=(wine wine32:i386)
if [ "${#missing[@]}" -gt 0 ]; then
  echo "error: the tests need ${missing[*]}; install them as root, or run .ci/run" >&2
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

echo "== 32-bit Windows under Wine"
cmake --preset mingw
cmake --build --preset mingw -j"$jobs"
ctest --preset mingw -j"$jobs"
