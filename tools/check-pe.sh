#!/usr/bin/env bash
# Checks a built Windows program or DLL without running it: its PE format
# and machine (PE32 i386 or PE32+ x86-64), the console subsystem for
# programs, and that it imports only DLLs that every Windows has.
#   check-pe.sh OBJDUMP BITS FILE
set -euo pipefail
objdump="$1" bits="$2" file="$3"
case "$bits" in
  32) format=pei-i386 magic='010b' ;;
  64) format=pei-x86-64 magic='020b' ;;
  *) echo "check-pe.sh: BITS must be 32 or 64" >&2; exit 2 ;;
esac
headers=$("$objdump" -p "$file")
problems=()
grep -q "file format $format\$" <<<"$headers" || problems+=("not $format")
grep -Eq "^Magic[[:space:]]+$magic" <<<"$headers" || problems+=("optional header magic is not $magic")
case "$file" in
  *.exe) grep -Eq '^Subsystem[[:space:]]+00000003' <<<"$headers" || problems+=("not a console program") ;;
esac
while read -r dll; do
  case "${dll,,}" in
    kernel32.dll | msvcrt.dll) ;;
    *) problems+=("imports $dll") ;;
  esac
done < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")
if [ "${#problems[@]}" -gt 0 ]; then
  for problem in "${problems[@]}"; do echo "$file: $problem" >&2; done
  exit 1
fi
echo "$file: $format, $( [ "${file##*.}" = exe ] && echo 'console, ')imports only system DLLs"
