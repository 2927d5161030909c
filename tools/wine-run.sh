#!/usr/bin/env bash
# Runs a Windows program under Wine in the build tree's own 32-bit prefix
# (created on first use). The system directory is then
# $WINEPREFIX/drive_c/windows/system32.
set -euo pipefail
program="$1"
shift
build_dir="${QUILLPOST_WINE_BUILD_DIR:-$(cd "$(dirname "$program")" && while [ ! -f CMakeCache.txt ] && [ "$PWD" != / ]; do cd ..; done; pwd)}"
export WINEPREFIX="${WINEPREFIX:-$build_dir/wineprefix}"
export WINEARCH=win32
export WINEDEBUG=-all
# No desktop integration, no crash dialogs, no Mono or Gecko installers.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}"
export DISPLAY=
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  wineboot --init >/dev/null 2>&1 || true
  wineserver -w || true
fi
exec wine "$program" "$@"
