#!/usr/bin/env bash
# Runs a Windows program under Wine, with the loader and prefix of its own
# bitness, read from its PE header:
#   32-bit (i386)   /usr/lib/wine/wine    in <build>/wine-win32 (WINEARCH=win32)
#   64-bit (x86-64) /usr/lib/wine/wine64  in <build>/wine-win64 (WINEARCH=win64)
# <build> is the CMake build tree that holds the program. The prefix is made
# on first use and marked ready only once wineboot has made it; a prefix
# that was left half-made is made anew. Its system directory is
# drive_c/windows/system32.
#
#   wine-run.sh PROGRAM [ARGS...]   run PROGRAM
#   wine-run.sh --prepare PROGRAM   only make PROGRAM's prefix ready
#
#   wine-run.sh --system-dir PROGRAM   print the POSIX path of the system
#                                      directory PROGRAM sees
#
# With QUILLPOST_WINE_WOW64=1, 32-bit programs run as on 64-bit Windows, in a
# 64-bit prefix <build>/wine-wow64 whose system directory for them is
# drive_c/windows/syswow64. Such a prefix is made by the 64-bit loader, which
# saves minutes where 32-bit programs run only under emulation.
#
# Exits non-zero, with one line on standard error saying why, when the
# prefix cannot be made (for instance when this kernel cannot run 32-bit
# programs).
set -euo pipefail

action=run
case "${1:-}" in
  --prepare) action=prepare && shift ;;
  --system-dir) action=system-dir && shift ;;
esac
program="$1"
shift

fail() {
  echo "wine-run.sh: $*" >&2
  exit 1
}

# The machine field of the PE header: 0x14c i386, 0x8664 x86-64.
pe_offset=$(od -An -t u4 -j 60 -N 4 "$program" | tr -d ' ')
machine=$(od -An -t x2 -j "$((pe_offset + 4))" -N 2 "$program" | tr -d ' ')
case "$machine" in
  014c) bits=32 loader=/usr/lib/wine/wine arch=win32 boot_loader=$loader system=system32 ;;
  8664) bits=64 loader=/usr/lib/wine/wine64 arch=win64 boot_loader=$loader system=system32 ;;
  *) fail "$program is not a 32-bit or 64-bit x86 Windows program (machine 0x$machine)" ;;
esac
if [ "$bits" = 32 ] && [ "${QUILLPOST_WINE_WOW64:-0}" = 1 ]; then
  arch=win64 boot_loader=/usr/lib/wine/wine64 system=syswow64
fi
[ -x "$loader" ] || fail "no $bits-bit Wine loader at $loader (install the package wine$bits)"

build_dir="${QUILLPOST_WINE_BUILD_DIR:-$(cd "$(dirname "$program")" && while [ ! -f CMakeCache.txt ] && [ "$PWD" != / ]; do cd ..; done; pwd)}"
prefix_name=wine-$arch
[ "$system" = syswow64 ] && prefix_name=wine-wow64
export WINEPREFIX="${WINEPREFIX:-$build_dir/$prefix_name}"
export WINEARCH="$arch"
export WINELOADER="$loader"
export WINEDEBUG=-all
# No desktop integration, no Mono or Gecko installers.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}"
export DISPLAY=
ready="$WINEPREFIX/.quillpost-ready"

make_prefix() {
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  local log="$WINEPREFIX.log"
  local booted=1
  WINELOADER=$boot_loader "$boot_loader" wineboot --init >"$log" 2>&1 || booted=0
  # The registry reaches the disk when the prefix's wineserver ends.
  wineserver -w >>"$log" 2>&1 || true
  if [ "$booted" = 0 ] || [ ! -f "$WINEPREFIX/system.reg" ]; then
    local why
    why=$(grep -m1 -io 'exec format error' "$log" || true)
    if [ -n "$why" ] || ! "$loader" --version >/dev/null 2>&1; then
      fail "cannot make the $bits-bit Wine prefix: this kernel cannot run $bits-bit x86 programs ($loader: Exec format error)"
    fi
    fail "cannot make the $bits-bit Wine prefix $WINEPREFIX: wineboot failed (see $log)"
  fi
  # A program named wiztest.exe gets the mapi32.dll beside it (the tests'
  # stand-in) and never Wine's own; under any other name, Wine's own.
  WINELOADER=$boot_loader "$boot_loader" reg add 'HKCU\Software\Wine\AppDefaults\wiztest.exe\DllOverrides' \
    /v mapi32 /d native /f >>"$log" 2>&1 ||
    fail "cannot set the DllOverrides entry in $WINEPREFIX (see $log)"
  wineserver -w || true
  touch "$ready"
}

if [ ! -f "$ready" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    [ -f "$ready" ] || make_prefix
  ) 9>"$WINEPREFIX.lock"
fi
case "$action" in
  prepare) exit 0 ;;
  system-dir) echo "$WINEPREFIX/drive_c/windows/$system" ;;
  run)
    # A wineserver ends a few seconds after its last client; one that starts
    # just then meets "recvmsg: Connection reset by peer". The prefix's
    # server stays up for a minute after the last program instead (a second
    # wineserver started while one runs ends at once).
    wineserver -p60 2>/dev/null || true
    case "$(basename "$program")" in
      *_tests.exe) ;;
      *) exec "$loader" "$program" "$@" ;;
    esac
    # Wine's loader now and then fails in glibc's exit path after the
    # program has ended ("Inconsistency detected by ld.so: dl-fini.c"), and
    # the program's status is lost. A test program sets up all it uses, so
    # it is run once more when that is what failed it.
    err=$(mktemp)
    trap 'rm -f "$err"' EXIT
    for try in 1 2; do
      status=0
      "$loader" "$program" "$@" 2>"$err" || status=$?
      cat "$err" >&2
      if [ "$status" -ne 0 ] && [ "$try" = 1 ] && grep -q 'Inconsistency detected by ld.so' "$err"; then
        echo "wine-run.sh: Wine's loader failed after $(basename "$program") ended; running it once more" >&2
        continue
      fi
      exit "$status"
    done
    ;;
esac
