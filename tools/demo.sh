#!/usr/bin/env bash
# Builds provreg, registers the normal edition into a demo system directory
# inside the build tree, and shows the resulting Mapisvc.inf. Needs only
# CMake and a C++ compiler: the demo preset builds no tests or benchmarks.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset demo >/dev/null
cmake --build --preset demo --target provreg >/dev/null

demo_dir="$PWD/build/demo/demo-system"
mkdir -p "$demo_dir"
rm -f "$demo_dir/Mapisvc.inf"

echo "\$ QUILLPOST_SYSTEM_DIR=$demo_dir provreg -norm 'C:\\Program Files\\Varnholt\\Quillpost'"
status=0
QUILLPOST_SYSTEM_DIR="$demo_dir" build/demo/registration/provreg -norm \
  'C:\Program Files\Varnholt\Quillpost' || status=$?
echo "exit status: $status (1 = registered)"
echo
echo "== $demo_dir/Mapisvc.inf"
tr -d '\r' <"$demo_dir/Mapisvc.inf"
