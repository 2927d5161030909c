#!/usr/bin/env bash
# Runs a program under valgrind's memcheck: fails on any memory error or
# leak, or when the program's exit status is not the expected one.
# Usage: tools/memcheck.sh EXPECTED_STATUS PROGRAM [ARGS...]
set -uo pipefail
expected="$1"
shift
valgrind --quiet --leak-check=full --errors-for-leak-kinds=definite,indirect \
  --error-exitcode=99 "$@" </dev/null
status=$?
if [ "$status" != "$expected" ]; then
  echo "memcheck: expected exit status $expected, got $status" >&2
  exit 1
fi
