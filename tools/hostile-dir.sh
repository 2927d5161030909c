#!/usr/bin/env bash
# Runs provreg, provunreg and wiztest, as root, in a sticky world-writable
# system directory (mode 1777) where another user (uid 4242, or $OTHER_UID)
# has planted links, temporaries and libraries, and prints each case: what
# was planted, the command, its output and status, and what became of the
# files. Uses the programs and the stand-in mapi32.dll of a built tree
# (default: build/default; cmake --preset default && cmake --build --preset
# default). The rules: docs/profile-format.md, "Directories others can write".
set -u
cd "$(dirname "$0")/.."
build=${1:-build/default}
other=${OTHER_UID:-4242}
if [ "$(id -u)" -ne 0 ]; then
  echo "hostile-dir.sh: needs root, to plant files as uid $other" >&2
  exit 2
fi
provreg=$PWD/$build/registration/provreg
provunreg=$PWD/$build/registration/provunreg
top=$(mktemp -d)
trap 'rm -rf "$top"' EXIT
chmod 755 "$top"
sys=$top/sys victim=$top/victim prog=$top/prog
mkdir "$sys" "$victim" "$prog"
chmod 1777 "$sys"
cp "$build/wizard_test/wiztest" "$prog/"
export QUILLPOST_SYSTEM_DIR=$sys
echo "fs.protected_symlinks = $(cat /proc/sys/fs/protected_symlinks 2>/dev/null || echo '?')" \
  "(the programs apply the rule whatever it says)"

reset() {
  find "$sys" -mindepth 1 -delete
  rm -f "$victim"/*
  printf '[Services]\r\nMSPST AB=Personal Address Book\r\nVRQPN=Varnholt Quillpost\r\n' \
    >"$victim/root-only.inf"
  chmod 600 "$victim/root-only.inf"
  install -m 755 "$build/tests/mapi32_standin/mapi32_standin.dll" "$prog/mapi32.dll"
  chown 0:0 "$prog" && chmod 755 "$prog"
}
plant_link() { ln -s "$1" "$2" && chown -h "$other" "$2"; }
case_() {  # case_ TITLE COMMAND AFTERWARDS
  echo
  echo "== $1"
  echo "\$ $2"
  (eval "$2") </dev/null 2>&1 | sed 's/^/| /'
  echo "status ${PIPESTATUS[0]}"
  [ -n "${3:-}" ] && (eval "$3") 2>&1 | sed 's/^/  after: /'
}

for program in "$provreg -norm" "$provunreg -norm" "$prog/wiztest"; do
  reset
  plant_link "$victim/root-only.inf" "$sys/Mapisvc.inf"
  case_ "uid $other's link Mapisvc.inf -> a root-only file: $(basename "${program% *}")" \
    "$program" "cmp -s $victim/root-only.inf <(printf '[Services]\r\nMSPST AB=Personal Address Book\r\nVRQPN=Varnholt Quillpost\r\n') && echo root-only file unchanged"
done
reset
plant_link "$victim/chosen.inf" "$sys/Mapisvc.inf"
case_ "uid $other's dangling link -> a path they chose: provreg" "$provreg -norm" "ls $victim"
reset
ln -s "$victim/root-only.inf" "$sys/Mapisvc.inf"
case_ "root's own link: provreg" "$provreg -norm" \
  "stat -c '%F' $sys/Mapisvc.inf; grep '^\\[' $victim/root-only.inf | tr -d '\r' | tr '\n' ' '; echo"
reset
ln -s "$victim/own-dangling.inf" "$sys/Mapisvc.inf"
case_ "root's own dangling link: provreg" "$provreg -norm" "ls $victim"
reset
printf '[Services]\r\n' >"$sys/Mapisvc.inf"
printf x >"$sys/.Mapisvc.inf.tmp1-1-1" && chown "$other" "$sys/.Mapisvc.inf.tmp1-1-1"
mkfifo "$sys/.Mapisvc.inf.tmp2-2-2" && chown "$other" "$sys/.Mapisvc.inf.tmp2-2-2"
plant_link "$victim/root-only.inf" "$sys/.Mapisvc.inf.tmp3-3-3"
printf x >"$sys/.Mapisvc.inf.tmp4-4-4"  # root's own, stale
case_ "sweep: uid $other's temporary, FIFO and link planted, root's own stale one" \
  "$provreg -norm" "ls -A $sys | tr '\n' ' '; echo"
reset
case_ "wiztest: root's own 0755 mapi32.dll beside the program" "$prog/wiztest" \
  "stat -c '%A %U' $prog/mapi32.dll"
reset
chmod 775 "$prog/mapi32.dll"
case_ "wiztest: group-writable mapi32.dll" "$prog/wiztest"
reset
chown "$other" "$prog/mapi32.dll"
case_ "wiztest: mapi32.dll owned by uid $other" "$prog/wiztest"
reset
chown "$other" "$prog"
case_ "wiztest: mapi32.dll in a directory owned by uid $other" "$prog/wiztest"
reset
chmod 777 "$prog"
case_ "wiztest: mapi32.dll in a world-writable directory, not sticky" "$prog/wiztest"
reset
chmod 1777 "$prog"
case_ "wiztest: mapi32.dll in a sticky world-writable directory" "$prog/wiztest"
reset
mv "$prog/mapi32.dll" "$victim/real.dll"
plant_link "$victim/real.dll" "$sys/mapi32.dll"
case_ "wiztest: uid $other's link as the system directory's mapi32.dll" "$prog/wiztest"
