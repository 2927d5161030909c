#!/usr/bin/env bash
# Makes the Debian package with cpack, checks its control fields, unpacks it
# into a scratch root and runs the unpacked provreg against a scratch system
# directory. Needs no network and runs as root or not.
# Usage: deb_package_test.sh CPACK BUILD_DIR SCRATCH_DIR VERSION PROGRAM...
set -euo pipefail
cpack=$1 build=$2 scratch=$3 version=$4
shift 4
programs=("$@")

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

for tool in dpkg:dpkg dpkg-deb:dpkg dpkg-shlibdeps:dpkg-dev file:file; do
  command -v "${tool%%:*}" >/dev/null || fail "${tool%%:*} is missing: install ${tool##*:}"
done

rm -rf "$scratch"
mkdir -p "$scratch"
"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log" >&2; fail "cpack -G DEB"; }
debs=("$scratch"/out/*.deb)
[ "${#debs[@]}" -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one .deb in $scratch/out"
deb=${debs[0]}

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
expected=(usr/share/doc/quillpost/README.md usr/share/doc/quillpost/LICENSE)
for doc in benchmarks profile-format testing windows; do
  expected+=("usr/share/doc/quillpost/docs/$doc.md")
done
for program in "${programs[@]}"; do
  expected+=("usr/bin/$program" "usr/share/man/man1/$program.1.gz")
  [ -x "$root/usr/bin/$program" ] || fail "usr/bin/$program is not an executable"
done
diff <(printf '%s\n' "${expected[@]}" | sort) <(cd "$root" && find . -type f | sed 's|^\./||' | sort) ||
  fail "the package holds other files than the programs, their manual pages, the README, the licence and the docs"

system_dir=$scratch/system
mkdir -p "$system_dir"
status=0
QUILLPOST_SYSTEM_DIR=$system_dir "$root/usr/bin/provreg" -norm 'C:\QP' || status=$?
[ "$status" -eq 1 ] || fail "the unpacked provreg ended with status $status, expected 1"
tr -d '\r' <"$system_dir/Mapisvc.inf" | grep -qxF '[VRQPN]' || fail "Mapisvc.inf has no [VRQPN] section"
tr -d '\r' <"$system_dir/Mapisvc.inf" | grep -qxF 'PR_SERVICE_DLL_NAME=C:\QP\vrqpn.dll' ||
  fail "Mapisvc.inf does not name C:\\QP\\vrqpn.dll"
echo "ok: $deb"
