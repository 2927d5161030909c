#!/usr/bin/env bash
# Makes the Debian package as a packager does (preset package, no -Werror)
# in two clean build directories and checks that both give the same bytes;
# runs lintian on it; checks its control fields and its files, the hardening
# of its binaries as readelf reads it back; unpacks it into a scratch root and
# runs the unpacked provreg, and the example of wiztest(1) with the unpacked
# programs and demo wizard. Needs no network and runs as root or not.
# Usage: deb_package_test.sh CMAKE SOURCE_DIR SCRATCH_DIR VERSION PROGRAM...
set -euo pipefail
cmake=$1 source=$2 scratch=$3 version=$4
shift 4
programs=("$@")

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

for tool in dpkg:dpkg dpkg-deb:dpkg dpkg-shlibdeps:dpkg-dev file:file lintian:lintian \
  readelf:binutils groff:groff-base; do
  command -v "${tool%%:*}" >/dev/null || fail "${tool%%:*} is missing: install ${tool##*:}"
done

rm -rf "$scratch"
mkdir -p "$scratch"
export SOURCE_DATE_EPOCH=1700000000
for dir in a build/elsewhere; do
  (cd "$source" && "$cmake" --preset package -B "$scratch/$dir" && "$cmake" --build "$scratch/$dir" &&
    cd "$scratch/$dir" && "${cmake%/*}/cpack") >"$scratch/build.log" 2>&1 ||
    { cat "$scratch/build.log" >&2; fail "the package build in $scratch/$dir"; }
done
debs=("$scratch"/a/*.deb)
[ "${#debs[@]}" -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one .deb in $scratch/a"
deb=${debs[0]}
cmp "$deb" "$scratch/build/elsewhere/${deb##*/}" || fail "two builds of one source gave different packages"

lintian -EvIL +pedantic --fail-on error,warning "$deb" >"$scratch/lintian.log" 2>&1 ||
  { cat "$scratch/lintian.log" >&2; fail "lintian: errors or warnings"; }
! grep -E 'hardening|unneeded-section' "$scratch/lintian.log" || fail "lintian: hardening tags"

dpkg-deb --info "$deb" || fail "dpkg-deb --info"
field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = quillpost ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version), expected $version"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture: $(field Architecture)"
[[ "$(field Maintainer)" =~ ^[^@]+\ \<[^@\>]+@[^@\>]+\.invalid\>$ ]] || fail "Maintainer: $(field Maintainer)"
# Computed from the programs' libraries by dpkg-shlibdeps.
[[ "$(field Depends)" =~ (^|, )libc6\ \(\>=\  ]] || fail "Depends: $(field Depends)"
[ "$(field Description | wc -l)" -gt 1 ] || fail "Description has no long text"

root=$scratch/root
dpkg -x "$deb" "$root" || fail "dpkg -x"
expected=(usr/share/doc/quillpost/{README.md,copyright,changelog.gz} usr/lib/quillpost/demo/mapi32.dll)
for doc in benchmarks packaging profile-format testing windows; do
  expected+=("usr/share/doc/quillpost/docs/$doc.md")
done
for program in "${programs[@]}"; do
  expected+=("usr/bin/$program" "usr/share/man/man1/$program.1.gz")
  [ -x "$root/usr/bin/$program" ] || fail "usr/bin/$program is not an executable"
done
diff <(printf '%s\n' "${expected[@]}" | sort) <(cd "$root" && find . -type f | sed 's|^\./||' | sort) ||
  fail "the package holds other files than the programs, the demo wizard, their manual pages and the docs"
for elf in "${programs[@]/#/usr/bin/}" usr/lib/quillpost/demo/mapi32.dll; do
  headers=$(readelf -hlSdW --dyn-syms "$root/$elf")
  for mark in 'Type: +DYN' GNU_RELRO 'FLAGS.*BIND_NOW' __stack_chk_fail '__[a-z]+_chk'; do
    grep -Eq "$mark" <<<"$headers" || fail "$elf: no $mark"
  done
  ! grep -Eq '\] \.(comment|symtab|debug_info) ' <<<"$headers" || fail "$elf: not stripped"
done

system_dir=$scratch/system
mkdir -p "$system_dir"
status=0
QUILLPOST_SYSTEM_DIR=$system_dir "$root/usr/bin/provreg" -norm 'C:\QP' || status=$?
[ "$status" -eq 1 ] || fail "the unpacked provreg ended with status $status, expected 1"
tr -d '\r' <"$system_dir/Mapisvc.inf" | grep -qxF '[VRQPN]' || fail "Mapisvc.inf has no [VRQPN] section"
tr -d '\r' <"$system_dir/Mapisvc.inf" | grep -qxF 'PR_SERVICE_DLL_NAME=C:\QP\vrqpn.dll' ||
  fail "Mapisvc.inf does not name C:\\QP\\vrqpn.dll"
# The manual page's example as a reader sees it, with the unpacked package
# in place of the installed one.
example=$(groff -man -Tutf8 -P-cbou -rLL=200n "$source/man/wiztest.1" |
  sed -n '/^EXAMPLES/,/^SEE ALSO/p' | sed -n 's/^              //p')
example=${example//\/var\/tmp\/quillpost-system/$scratch/example}
output=$(PATH=$root/usr/bin:$PATH bash -c "${example//\/usr\/lib\/quillpost/$root/usr/lib/quillpost}" 2>&1) ||
  fail "the example of wiztest(1) failed: $output"
grep -qx '  | MSPST AB=Personal Address Book\\r\\n' <<<"$output" && fail "MSPST AB was not held out: $output"
grep -qx '  | VRQPN=Varnholt Quillpost\\r\\n' <<<"$output" || fail "the demo wizard did not run: $output"
grep -qx '1' <<<"$output" || fail "wiztest did not end with status 1: $output"
grep -qx 'MSPST AB=Personal Address Book^M\$' <<<"$output" || fail "MSPST AB is not back: $output"
echo "ok: $deb"
