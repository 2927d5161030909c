#!/usr/bin/env bash
# Shows the three programs at work on a demo system directory inside the
# build tree: provreg registers the normal edition, wiztest runs the demo
# wizard (wizard_test/demo_wizard/, copied in as mapi32.dll) with MSPST AB
# held out of [Services] and then back, provunreg takes the edition out.
# Needs only CMake and a C++ compiler: the demo preset builds no tests or
# benchmarks. Files are shown with `cat -A`, so each CR LF line end shows
# as ^M$.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset demo >/dev/null
cmake --build --preset demo --target provreg wiztest provunreg demo_wizard >/dev/null

bin=build/demo
demo_dir="$PWD/$bin/demo-system"
export QUILLPOST_SYSTEM_DIR="$demo_dir"
rm -rf "$demo_dir"
mkdir -p "$demo_dir"
install -m 0644 "$bin/wizard_test/demo_wizard/mapi32.dll" "$demo_dir/mapi32.dll"
# [Services] as a Windows system with a Personal Address Book has it.
printf '[Services]\r\nMSPST AB=Personal Address Book\r\nMSPST MS=Personal Folders\r\n' \
  >"$demo_dir/Mapisvc.inf"

services() {
  awk '/^\[/ { inside = ($0 ~ /^\[Services\]\r?$/) } inside' "$demo_dir/Mapisvc.inf" | cat -A
}
run() {
  local shown=("${1##*/}") arg
  for arg in "${@:2}"; do
    [[ "$arg" =~ [[:space:]\\] ]] && arg="'$arg'"
    shown+=("$arg")
  done
  echo "\$ ${shown[*]}"
  local status=0
  "$bin/$1" "${@:2}" </dev/null || status=$?
  echo "exit status $status"
}

echo "QUILLPOST_SYSTEM_DIR=$demo_dir (holds Mapisvc.inf and the demo mapi32.dll)"
echo "== [Services] before (cat -A: ^M\$ is a CR LF line end)"
services
echo
echo "== provreg registers the normal edition (1 = registered)"
run registration/provreg -norm 'C:\Program Files\Varnholt\Quillpost'
echo "-- Mapisvc.inf now:"
cat -A "$demo_dir/Mapisvc.inf"
echo
echo "== wiztest runs the wizard with MSPST AB held out (1 = the wizard ran)"
run wizard_test/wiztest
echo "-- [Services] after: MSPST AB is back"
services
echo
echo "== provunreg takes the normal edition out (1 = no longer registered)"
run registration/provunreg -norm
echo "-- Mapisvc.inf now:"
cat -A "$demo_dir/Mapisvc.inf"
