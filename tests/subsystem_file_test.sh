#!/usr/bin/env bash
# The Mapisvc.inf of the messaging subsystem's own, against the platform's
# real chain: Wine's own mapi32.dll (FGetComponentPath) and msi.dll. A small
# MSI (tests/msi) installs a stand-in mail client's MAPI library and a
# Mapisvc.inf beside it and publishes the library as MAPI's component; the
# mail client's keys are set with reg add; then provreg, provunreg and
# wiztest run in that prefix, a prefix of this test's own.
#   subsystem_file_test.sh BUILD_DIR BITS WIXL MSIBUILD
set -euo pipefail
build=$(cd "$1" && pwd) bits="$2" wixl="$3" msibuild="$4"
src=$(cd "$(dirname "$0")/.." && pwd)
for tool in "$wixl" "$msibuild"; do
  [ -x "$tool" ] || { echo "error: needs $tool (install the packages wixl and msitools)" >&2; exit 1; }
done
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

export WINEPREFIX="$build/wine-subsystem"
if [ "$bits" = 64 ]; then loader=/usr/lib/wine/wine64 arch=x64; else loader=/usr/lib/wine/wine arch=x86; fi
run() { "$src/tools/wine-run.sh" "$@" | tr -d '\r'; }
"$src/tools/wine-run.sh" --prepare "$build/registration/provreg.exe"
builtin() { WINEDEBUG=-all "$loader" "$@" >/dev/null 2>&1; }

work="$build/subsystem-work"
rm -rf "$work" && mkdir -p "$work/wiz"
cp "$src/tests/msi/fakemail.wxs" "$src/tests/msi/PublishComponent.idt" "$work/"
echo "a stand-in MAPI library" >"$work/olmapi32.dll"
printf '[Services]\r\nMSPST AB=Personal Address Book\r\n' >"$work/Mapisvc.inf"
(cd "$work" && "$wixl" -a "$arch" -D Arch="$arch" -o fakemail.msi fakemail.wxs &&
  "$msibuild" fakemail.msi -i PublishComponent.idt &&
  "$msibuild" fakemail.msi -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('PublishComponents', 6200)" &&
  "$msibuild" fakemail.msi -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('UnpublishComponents', 1700)")
msi='Z:'$(tr / '\\' <<<"$work/fakemail.msi")
builtin msiexec /i "$msi" /qn || { echo "error: msiexec /i $msi failed" >&2; exit 1; }
key='HKLM\Software\Clients\Mail'
builtin reg add "$key" /ve /d FakeMail /f
builtin reg add "$key\\FakeMail" /v MSIComponentID /d '{FF1D0740-D227-11D1-A4B0-006008AF820E}' /f
builtin reg add "$key\\FakeMail" /v MSIApplicationLCID /t REG_MULTI_SZ /d '1033' /f
builtin reg add "$key\\FakeMail" /v MSIOfficeLCID /t REG_MULTI_SZ /d '1033' /f

sys="$WINEPREFIX/drive_c/windows/system32/Mapisvc.inf"
own="$WINEPREFIX/drive_c/Program Files/FakeMail/Mapisvc.inf"
own_win='C:\Program Files\FakeMail\Mapisvc.inf'
[ -f "$own" ] || { echo "error: the MSI installed no $own" >&2; exit 1; }
base=$'[Services]\r\nMSPST AB=Personal Address Book\r\n'
start() { printf '%s' "$base" >"$sys" && printf '%s' "$base" >"$own"; }
registered() { grep -q '^PR_PROVIDER_DISPLAY=Quillpost Courier' "$1" && grep -qi '^VRQPN=' "$1"; }
# Runs a program; sets $status and $out.
go() { status=0 && out=$(run "$@") || status=$?; }

echo "== a published library whose directory holds a Mapisvc.inf"
start
go "$build/registration/provreg.exe" -norm 'C:\QP'
[ "$status" = 1 ] || fail "provreg: status $status: $out"
[ "$out" = "Also registered in \"$own_win\", the Mapisvc.inf the messaging subsystem reads" ] ||
  fail "provreg said: $out"
registered "$sys" || fail "the system directory's file lacks the definition"
registered "$own" || fail "the subsystem's file lacks the definition"
go "$build/registration/provunreg.exe" -norm
[ "$status" = 1 ] || fail "provunreg: status $status: $out"
[ "$out" = "Also removed from \"$own_win\", the Mapisvc.inf the messaging subsystem reads" ] ||
  fail "provunreg said: $out"
! grep -qi 'vrqpn' "$sys" "$own" || fail "provunreg left the edition in a file"

echo "== the subsystem's file held by another program: neither file changes"
start
before_sys=$(od -An -tx1 "$sys") before_own=$(od -An -tx1 "$own")
rm -f "$work/held"
run "$build/tests/hold_file.exe" "$own_win" 60 60000 0 'Z:'"$(tr / '\\' <<<"$work/held")" >/dev/null &
holder=$!
for _ in $(seq 600); do [ -e "$work/held" ] && break; sleep 0.1; done
[ -e "$work/held" ] || fail "hang: hold_file.exe never held the file"
go "$build/registration/provreg.exe" -norm 'C:\QP'
rm -f "$work/held"  # the holder lets go
wait "$holder" 2>/dev/null || true
[ "$status" = 2 ] || fail "provreg on a held file: status $status: $out"
[ "$(head -1 <<<"$out")" = "Cannot write the service definition to \"$own_win\"" ] ||
  fail "provreg on a held file said: $out"
[ "$(od -An -tx1 "$sys")" = "$before_sys" ] || fail "the system directory's file changed"
[ "$(od -An -tx1 "$own")" = "$before_own" ] || fail "the subsystem's file changed"

echo "== a PathDir with a period"
start
go "$build/registration/provreg.exe" -lite 'C:\Program Files\Varnholt\Quillpost 2.1'
[ "$status" = 1 ] || fail "provreg with a period: status $status: $out"
grep -q '^Warning: the messaging subsystem of Outlook 2010 and later inserts "32" at the first period' <<<"$out" ||
  fail "provreg with a period said: $out"

echo "== wiztest: the entry held out of the file the wizard's library names"
start
printf '[Services]\r\nMSPST AB=System book\r\n' >"$sys"
before_sys=$(od -An -tx1 "$sys") before_own=$(od -An -tx1 "$own")
cp "$build/wizard_test/wiztest.exe" "$work/wiz/"
cp "$build/tests/mapi32_standin/mapi32_standin.dll" "$work/wiz/mapi32.dll"
builtin reg add 'HKCU\Software\Wine\AppDefaults\wiztest.exe\DllOverrides' /v mapi32 /d native /f
export STANDIN_RECORD="$work/record.txt" STANDIN_SUBSYSTEM_DLL='C:\Program Files\FakeMail\olmapi32.dll'
go "$work/wiz/wiztest.exe"
[ "$status" = 1 ] || fail "wiztest: status $status: $out"
[ "$out" = "\"MSPST AB\" is held out of \"$own_win\", the Mapisvc.inf the messaging subsystem reads, when it is there" ] ||
  fail "wiztest said: $out"
grep -qx 'mspst=System book' "$work/record.txt" || fail "the system directory's entry left during the wizard"
grep -qx 'own=<absent>' "$work/record.txt" || fail "the subsystem's entry stayed during the wizard"
[ "$(od -An -tx1 "$sys")" = "$before_sys" ] || fail "wiztest changed the system directory's file"
[ "$(od -An -tx1 "$own")" = "$before_own" ] || fail "wiztest did not leave the subsystem's file as it was"
unset STANDIN_RECORD STANDIN_SUBSYSTEM_DLL

echo "== a published library without a Mapisvc.inf: none is created"
start
rm "$own"
go "$build/registration/provreg.exe" -norm 'C:\QP'
[ "$status" = 1 ] || fail "provreg: status $status: $out"
[ "$out" = "The messaging subsystem has no Mapisvc.inf at \"$own_win\": registered in the system directory's file only" ] ||
  fail "provreg said: $out"
[ ! -e "$own" ] || fail "provreg created $own"
registered "$sys" || fail "the system directory's file lacks the definition"

echo "== no published component: as before"
builtin msiexec /x "$msi" /qn || fail "msiexec /x failed"
printf '%s' "$base" >"$sys"
go "$build/registration/provreg.exe" -norm 'C:\QP'
[ "$status" = 1 ] && [ -z "$out" ] || fail "provreg without the component: status $status: $out"
registered "$sys" || fail "the system directory's file lacks the definition"
! grep -qi vrqpn "$own" 2>/dev/null || fail "provreg wrote into the uninstalled client's file"

[ "$failures" = 0 ] || { echo "$failures failures" >&2; exit 1; }
echo "subsystem_file: all rows passed ($bits-bit)"
