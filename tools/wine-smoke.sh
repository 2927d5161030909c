#!/usr/bin/env bash
# Smoke runs of the 32-bit Windows programs, for machines where 32-bit Wine
# runs only under user-mode emulation and every process costs most of a
# minute: a few processes that exercise what only the 32-bit build can get
# wrong (the __stdcall wizard entry, the system directory that WOW64
# redirects, the 32-bit profile functions), each compared byte for byte with
# the same run of the 64-bit programs, which their full suites have checked.
#
#   wine-smoke.sh BUILD32 BUILD64
#
# BUILD32 and BUILD64 are the mingw and mingw64 build trees. Prints one line
# per step and ends non-zero at the first difference.
set -euo pipefail
build32="$1" build64="$2"
here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

fail() {
  echo "wine-smoke.sh: $*" >&2
  exit 1
}

# The Windows path of a POSIX path, through Wine's drive Z:.
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# A file with an entry for wiztest to hold out, and lines of its own.
start=$'; smoke\r\n[Services]\r\nMSPST AB=Personal Address Book\r\n\r\n[Default Services]\r\nMSPST AB=Personal Address Book\r\n'

# run BITS STEP PROGRAM ARGS...: runs one program of the build of BITS with
# Return on its input, and keeps its status, its output and the file after it.
run() {
  local bits="$1" step="$2" program="$3"
  shift 3
  local out="$work/$bits/$step"
  local status=0
  "$here/wine-run.sh" "$program" "$@" <<<"" >"$out.output" 2>"$out.stderr" || status=$?
  echo "$status" >"$out.status"
  cp "$sysdir/Mapisvc.inf" "$out.file" 2>/dev/null || echo "<missing>" >"$out.file"
}

for bits in 64 32; do
  build=$build64
  [ "$bits" = 32 ] && build=$build32
  mkdir -p "$work/$bits/program"
  sysdir=$("$here/wine-run.sh" --system-dir "$build/registration/provreg.exe")
  printf '%s' "$start" >"$sysdir/Mapisvc.inf"
  run "$bits" 1-norm "$build/registration/provreg.exe" -norm 'C:\QP'
  run "$bits" 2-lite "$build/registration/provreg.exe" -LITE 'D:\lite\'
  run "$bits" 3-refused "$build/registration/provreg.exe" -norm $'C:\\QP\r\n[Evil]\r\nx=y'
  # wiztest with the stand-in wizard beside it: the stand-in records its
  # arguments and whether MSPST AB was in the file while it ran.
  cp "$build/wizard_test/wiztest.exe" "$build/tests/mapi32_standin/mapi32_standin.dll" \
    "$work/$bits/program/"
  mv "$work/$bits/program/mapi32_standin.dll" "$work/$bits/program/mapi32.dll"
  STANDIN_RECORD=$(winpath "$work/$bits/record") \
    run "$bits" 4-wiztest "$work/$bits/program/wiztest.exe"
  # Under another name, and with no mapi32.dll beside it, Wine gives wiztest
  # its own library, whose LAUNCHWIZARD is a stub that raises an exception:
  # a wizard that crashes (Wine reports it on standard error, and its
  # debugger on the output).
  mkdir -p "$work/$bits/stub"
  cp "$build/wizard_test/wiztest.exe" "$work/$bits/stub/wiztest-stub.exe"
  run "$bits" 5-crash "$work/$bits/stub/wiztest-stub.exe"
  run "$bits" 6-unreg-norm "$build/registration/provunreg.exe" -norm
  run "$bits" 7-unreg-lite "$build/registration/provunreg.exe" -lite
  rm -f "$sysdir/Mapisvc.inf"
done

for step in 1-norm 2-lite 3-refused 4-wiztest 5-crash 6-unreg-norm 7-unreg-lite; do
  parts="status output file"
  # A crash's output is Wine's report of it, registers and all, and its
  # status the way its debugger ended (under qemu-user, by SIGSEGV).
  [ "$step" = 5-crash ] && parts="file"
  for part in $parts; do
    cmp -s "$work/64/$step.$part" "$work/32/$step.$part" ||
      fail "$step: the 32-bit program's $part differs from the 64-bit one's"$'\n'"$(diff <(od -c "$work/64/$step.$part") <(od -c "$work/32/$step.$part") | head -n 20)"
  done
  echo "wine-smoke.sh: $step: status $(cat "$work/32/$step.status"), same ${parts// /, } as the 64-bit program"
done
grep -q 'unimplemented function mapi32.dll.LAUNCHWIZARD' "$work/32/5-crash.output" \
  "$work/32/5-crash.stderr" &&
  ! grep -q 'Press <Return>' "$work/32/5-crash.output" ||
  fail "5-crash: the wizard did not crash, or the crash was reported as a failure of ours"
cmp -s "$work/64/record" "$work/32/record" ||
  fail "the 32-bit stand-in wizard was called otherwise than the 64-bit one"$'\n'"$(diff "$work/64/record" "$work/32/record")"
grep -qx 'mspst=<absent>' "$work/32/record" ||
  fail "MSPST AB was not held out while the stand-in wizard ran"$'\n'"$(cat "$work/32/record")"
echo "wine-smoke.sh: the stand-in wizard was called alike by both (flags, services, profile name), MSPST AB held out while it ran"
