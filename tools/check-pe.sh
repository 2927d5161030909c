#!/usr/bin/env bash
# Checks a built Windows program or DLL without running it: its PE format
# and machine (PE32 i386 or PE32+ x86-64), the console subsystem for
# programs, that it imports only DLLs that every Windows has, and that a
# program carries its version resource and its application manifest
# (asInvoker, supportedOS from Vista to Windows 10 and 11).
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
  *.exe)
    grep -Eq '^Subsystem[[:space:]]+00000003' <<<"$headers" || problems+=("not a console program")
    # The entries of the top resource table, one indent in: 0x10 version,
    # 0x18 manifest.
    grep -Eq '^[0-9a-f]+   Entry: ID: 0x000010,' <<<"$headers" || problems+=("no version resource")
    grep -Eq '^[0-9a-f]+   Entry: ID: 0x000018,' <<<"$headers" || problems+=("no application manifest")
    for needle in 'level="asInvoker"' e2011457-1546-43c5-a5fe-008deee3d3f0 \
      8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
      grep -aqF "$needle" "$file" || problems+=("manifest lacks $needle")
    done
    ;;
esac
while read -r dll; do
  case "${dll,,}" in
    kernel32.dll | msvcrt.dll | advapi32.dll) ;;
    *) problems+=("imports $dll") ;;
  esac
done < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")
if [ "${#problems[@]}" -gt 0 ]; then
  for problem in "${problems[@]}"; do echo "$file: $problem" >&2; done
  exit 1
fi
echo "$file: $format, $( [ "${file##*.}" = exe ] && echo 'console, manifest and version, ')imports only system DLLs"
