#!/bin/sh
# Runs the plain test suite several times in a row (5 unless told) while busy
# loops, one per core, keep every core of the machine busy, and stops at the
# first run with a failed test. There is no retry: a test that fails once
# fails the run. Outcomes must not depend on the host's speed or load, and
# wdmsim's simulated clock is what makes them so.
#
#   sh scripts/loaded-run.sh [runs]
set -eu
cd "$(dirname "$0")/.."
runs=${1:-5}
cmake --preset sim >/dev/null
cmake --build --preset sim

cores=$(nproc)
pids=""
i=0
while [ "$i" -lt "$cores" ]; do
  sh -c 'while :; do :; done' &
  pids="$pids $!"
  i=$((i + 1))
done
trap 'kill $pids 2>/dev/null || true' EXIT INT TERM

n=1
while [ "$n" -le "$runs" ]; do
  echo "== run $n of $runs, with $cores busy loops beside it"
  if ! ctest --preset sim; then
    echo "run $n of $runs failed"
    exit 1
  fi
  n=$((n + 1))
done
echo "$runs of $runs runs passed with every core kept busy"
