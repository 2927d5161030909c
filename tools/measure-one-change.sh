#!/usr/bin/env bash
# Measures what a run of provreg or provunreg guarantees on POSIX, with the
# programs of a native build:
#   tools/measure-one-change.sh [BUILD_DIR] [ROUNDS]
# - concurrency: ROUNDS (200) rounds of provreg and provunreg started
#   together on a file of about 1 MB, while a sampler reads the file
#   throughout; every sample and every end state must be the file without
#   the service or with all of it;
# - lock: the time to status 2 while another program holds a shared lock on
#   the file, and how long a SIGINT sent 1 s into the wait takes to end it.
set -euo pipefail
build="${1:-build/default}" rounds="${2:-200}"
provreg="$build/registration/provreg" provunreg="$build/registration/provunreg"
dir=$(mktemp -d)
trap 'kill "${sampler:-0}" 2>/dev/null || true; rm -rf "$dir"' EXIT
export QUILLPOST_SYSTEM_DIR="$dir/sys"
mkdir "$QUILLPOST_SYSTEM_DIR"
file="$QUILLPOST_SYSTEM_DIR/Mapisvc.inf"

# The two whole states, made by one run each from the same start.
{
  printf '[Services]\r\nMSPST AB=Personal Address Book\r\n'
  for i in $(seq 1 20000); do printf '[SVC%d]\r\nPR_DISPLAY_NAME=Service %d\r\n' "$i" "$i"; done
} >"$dir/without"
cp "$dir/without" "$file"
"$provreg" -norm 'C:\QP' || [ $? -eq 1 ]
cp "$file" "$dir/with"
cp "$dir/without" "$file"

# The sampler: reads the file over and over, and notes every state that is
# neither of the two.
sample() {
  local n=0 bad=0
  while [ ! -e "$dir/stop" ]; do
    cat "$file" >"$dir/sample" 2>/dev/null || continue
    n=$((n + 1))
    if ! cmp -s "$dir/sample" "$dir/without" && ! cmp -s "$dir/sample" "$dir/with"; then
      bad=$((bad + 1))
      cp "$dir/sample" "$dir/bad-sample-$bad"
    fi
  done
  echo "$n $bad" >"$dir/sampled"
}
sample &
sampler=$!
ends_bad=0 with=0 without=0
for _ in $(seq 1 "$rounds"); do
  "$provreg" -norm 'C:\QP' >/dev/null &
  a=$!
  "$provunreg" -norm >/dev/null &
  b=$!
  wait "$a" "$b" || true
  if cmp -s "$file" "$dir/with"; then
    with=$((with + 1))
  elif cmp -s "$file" "$dir/without"; then
    without=$((without + 1))
  else
    ends_bad=$((ends_bad + 1))
  fi
done
touch "$dir/stop"
wait "$sampler"
read -r samples samples_bad <"$dir/sampled"
echo "concurrency: $rounds rounds; end states: $with registered, $without unregistered, $ends_bad partial;" \
  "$samples samples, $samples_bad partial"

# Lock: a reader holds a shared lock for 60 s.
cp "$dir/without" "$file"
flock -s "$file" sleep 60 >/dev/null 2>&1 &
holder=$!
sleep 0.5
start=$(date +%s.%N)
status=0
out=$("$provreg" -norm 'C:\QP') || status=$?
end=$(date +%s.%N)
echo "lock: provreg ended with status $status after $(echo "$end - $start" | bc) s: $(tr '\n' ' ' <<<"$out")"
cmp -s "$file" "$dir/without" && echo "lock: the file is untouched"
# Job control on: a background job of a shell without it ignores SIGINT.
set -m
"$provreg" -norm 'C:\QP' >/dev/null &
run=$!
set +m
sleep 1
sent=$(date +%s.%N)
kill -INT "$run"
status=0
wait "$run" || status=$?
ended=$(date +%s.%N)
echo "lock: SIGINT 1 s into the wait ended provreg (wait status $status, 130 = by SIGINT) $(echo "($ended - $sent) * 1000" | bc) ms after it was sent"
cmp -s "$file" "$dir/without" && echo "lock: the file is untouched"
kill "$holder" 2>/dev/null || true
