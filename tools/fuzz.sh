#!/usr/bin/env bash
# Builds the libFuzzer target of the profile engine and runs it for the
# given number of seconds (default 60) from the seed corpus in the repo.
# New inputs go to a scratch corpus in the build tree, not into the repo.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)" --target profile_engine_fuzzer
mkdir -p build/fuzz/corpus
build/fuzz/tests/fuzz/profile_engine_fuzzer -max_total_time="$seconds" -print_final_stats=1 \
  build/fuzz/corpus tests/fuzz/corpus
