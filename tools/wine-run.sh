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
# No desktop integration, no Mono or Gecko installers.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}"
export DISPLAY=
if [ ! -f "$WINEPREFIX/.quillpost-ready" ]; then
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.quillpost-ready" ]; then
      wineboot --init >/dev/null 2>&1 || true
      # A program named wiztest.exe gets the mapi32.dll beside it (the tests'
      # stand-in) and never Wine's own; under any other name, Wine's own.
      wine reg add 'HKCU\Software\Wine\AppDefaults\wiztest.exe\DllOverrides' \
        /v mapi32 /d native /f >/dev/null 2>&1 || true
      wineserver -w || true
      touch "$WINEPREFIX/.quillpost-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
fi
exec wine "$program" "$@"
