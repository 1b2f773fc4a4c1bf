#!/bin/sh
# Runs the libFuzzer target of the control interface for a while (default
# 10 minutes) on a copy of the stored corpus; new inputs stay in build/fuzz.
#   scripts/fuzz.sh [seconds] [extra libFuzzer flags]
# Needs clang and its fuzzer runtime (libclang-rt-14-dev); not part of CI.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-600}
[ $# -gt 0 ] && shift
cmake --preset fuzz -S "$root" >/dev/null
cmake --build --preset fuzz
mkdir -p "$root/build/fuzz/corpus"
cp -n "$root"/tests/fuzz/corpus/* "$root/build/fuzz/corpus/" 2>/dev/null || true
exec "$root/build/fuzz/tests/fuzz/control_fuzzer" -max_total_time="$seconds" -max_len=4096 -timeout=60 \
  "$@" "$root/build/fuzz/corpus"
