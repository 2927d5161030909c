#!/usr/bin/env bash
# Builds everything and runs every test: the native suites, then the same
# black-box suites against the 32-bit Windows programs under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset default
cmake --build --preset default -j"$(nproc)"
ctest --preset default -j"$(nproc)"

missing=()
command -v i686-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-i686-posix)
command -v wine >/dev/null || missing+=(wine wine32)
if [ "${#missing[@]}" -gt 0 ]; then
  echo "error: the Windows suites need ${missing[*]} (install them as root, or run .ci/run)" >&2
  exit 1
fi
cmake --preset mingw
cmake --build --preset mingw -j"$(nproc)"
ctest --preset mingw -j"$(nproc)"
