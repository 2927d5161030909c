#!/usr/bin/env bash
# Runs the Windows provreg ROUNDS times under Wine while another Windows
# program (the tests' hold_file.exe) keeps opening Mapisvc.inf without
# sharing it, HOLD_MS at a time with GAP_MS between, and counts the end
# states: each run must leave the file exactly as before it (status 2) or
# as a clean run leaves it (status 1).
#   tools/wine-contention.sh BUILD_DIR ROUNDS [HOLD_MS GAP_MS [ARGS...]]
# BUILD_DIR is build/mingw64 or build/mingw, built; ARGS default to
# -norm C:\QP. With DUMP=1 a file in neither state is printed.
set -euo pipefail
cd "$(dirname "$0")/.."
build="$1" rounds="$2" hold="${3:-3}" gap="${4:-3}"
shift $(($# < 4 ? $# : 4))
args=("$@")
[ ${#args[@]} -gt 0 ] || args=(-norm 'C:\QP')
exe="$build/registration/provreg.exe"
tools/wine-run.sh --prepare "$exe"
file="$(tools/wine-run.sh --system-dir "$exe")/Mapisvc.inf"
start=$'[Services]\r\nMSPST AB=Personal Address Book\r\n'

# The file before a run, and as a clean run leaves it.
printf '%s' "$start" >"$file"
before=$(od -An -tx1 "$file")
tools/wine-run.sh "$exe" "${args[@]}" >/dev/null || true
after=$(od -An -tx1 "$file")

declare -A seen=()
tools/wine-run.sh "$build/tests/hold_file.exe" 'C:\windows\system32\Mapisvc.inf' 100000 \
  "$hold" "$gap" >/dev/null &
holding=$!
trap 'kill $holding 2>/dev/null || true' EXIT
for ((i = 0; i < rounds; i++)); do
  printf '%s' "$start" >"$file"
  status=0
  out=$(tools/wine-run.sh "$exe" "${args[@]}" 2>&1) || status=$?
  now=$(od -An -tx1 "$file")
  state=other
  [ "$now" = "$before" ] && state=before
  [ "$now" = "$after" ] && state=after
  [ "$state" = other ] && [ -n "${DUMP:-}" ] && cat -A "$file"
  # Wine's own failure to start a program is status 1 too, with a line.
  [ "$status" = 1 ] && [ -n "$out" ] && state="$state, output: ${out%%$'\n'*}"
  seen["status $status, file $state"]=$((${seen["status $status, file $state"]:-0} + 1))
done
for k in "${!seen[@]}"; do echo "$k: ${seen[$k]}"; done | sort
