#!/usr/bin/env bash
# Soak runs at lab scale, by hand, not in CI. Each is one command, runs with
# wdmsim's verifier on, and replays from its seed.
#
#   bash scripts/soak.sh fuzz   # 1,000,000+ fuzzed control requests from one thread (tests/fuzz), with PnP and
#                               #   power events, then 10,000 more from three threads at once
#   bash scripts/soak.sh pnp    # 4,200 PnP and power cycles with transfers in flight (tests/stress):
#                               #   500+ sleep/resume cycles and 500+ other sequences
#   bash scripts/soak.sh long   # capture-soak: 4 cards, 30 simulated minutes of verified transfers
#   bash scripts/soak.sh all    # the three, one after the other
#
# Wall time on 2 shared cores, extrapolated from short runs: fuzz about 35 minutes (one thread runs
# about 700 requests/s; three threads at once 55 to 100, held up by concurrent register reads that
# the card never answers, each polling the simulated clock in 1 us steps), pnp about 20 minutes
# (3 to 4 cycles/s), long 30 to 60 minutes (about 1 simulated second per wall second when idle).
#
# Environment:
#   SOAK_SEED      the seed of every run (default 0x50A4; the PnP run takes its low 32 bits)
#   SOAK_REQUESTS  fuzz steps from one thread (default 1260000: about 5/6 of the steps are control
#                  requests, the rest a standard user's refused opens)
#   SOAK_THREADED  fuzz steps from three threads at once (default 12000)
#   SOAK_CYCLES    PnP cycles (default 4200: each cycle is one of 7 sequences picked by the seed)
#   SOAK_DURATION  simulated time of the long run (default 30m)
#   SOAK_BUILD     an already configured build directory to use instead of the "sim" preset
# With SOAK_REQUESTS or SOAK_CYCLES set the minimum counts above are not required (short runs).
#
# Logs go to <build>/soak/<run>-<seed>.log. The exit status is non-zero when any run failed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

what=${1:-}
case "$what" in
  fuzz | pnp | long | all) ;;
  *)
    echo "usage: bash scripts/soak.sh fuzz|pnp|long|all" >&2
    exit 2
    ;;
esac

seed=${SOAK_SEED:-0x50A4}
requests=${SOAK_REQUESTS:-1260000}
threaded=${SOAK_THREADED:-12000}
cycles=${SOAK_CYCLES:-4200}
duration=${SOAK_DURATION:-30m}

if [ -n "${SOAK_BUILD:-}" ]; then
  build=$(cd "$SOAK_BUILD" && pwd)
  build_targets() { cmake --build "$build" --target "$@"; }
else
  build=$root/build/sim
  cmake --preset sim >/dev/null
  build_targets() { cmake --build --preset sim --target "$@"; }
fi
logs=$build/soak
mkdir -p "$logs"

summary=()
failed=0

# report NAME STATUS SECONDS FOUND: one line of the final summary.
report() {
  local line
  line=$(printf '%-5s %-6s seed %s, %d s (%s): %s' "$1" "$2" "$seed" "$3" "$(date -u -d "@$3" +%H:%M:%S)" "$4")
  summary+=("$line")
  echo "== $line"
  [ "$2" = passed ] || failed=1
}

run_fuzz() {
  build_targets fuzz_test || { report fuzz FAILED 0 "the build of fuzz_test failed"; return; }
  local log=$logs/fuzz-$seed.log start status=passed found
  echo "== fuzz: FUZZ_SEED=$seed FUZZ_STALL_SECONDS=${FUZZ_STALL_SECONDS:-300}, $requests steps from one thread" \
    "and $threaded from three: $build/tests/fuzz/fuzz_test (log $log)"
  start=$(date +%s)
  # The watchdog's 60 s is for CI; over hours on a loaded machine two cards'
  # unanswered register reads, each polling the simulated clock in 1 us
  # steps, can hold every thread for longer without anything being wrong.
  # Each test takes half of FUZZ_REQUESTS.
  {
    FUZZ_REQUESTS=$((requests * 2)) FUZZ_SEED=$seed FUZZ_STALL_SECONDS=${FUZZ_STALL_SECONDS:-300} \
      "$build/tests/fuzz/fuzz_test" --gtest_filter='*OneThread*' &&
      FUZZ_REQUESTS=$((threaded * 2)) FUZZ_SEED=$seed FUZZ_STALL_SECONDS=${FUZZ_STALL_SECONDS:-300} \
        "$build/tests/fuzz/fuzz_test" --gtest_filter='*ThreeThreads*'
  } 2>&1 | tee "$log" || status=FAILED
  local seconds=$(($(date +%s) - start))
  # "[fuzz] one thread: N requests (...)" and "[fuzz] three threads: N requests, ..."
  local sent
  sent=$(sed -n 's/^\[fuzz\] [a-z ]*: \([0-9]*\) requests.*/\1/p' "$log" | awk '{n += $1} END {print n + 0}')
  local events
  events=$(sed -n 's/.* \([0-9]*\) PnP\/power events.*/\1/p' "$log" | awk '{n += $1} END {print n + 0}')
  found="$sent control requests, $events PnP/power events"
  if [ "$status" = passed ] && [ -z "${SOAK_REQUESTS:-}" ] && [ "$sent" -lt 1000000 ]; then
    status=FAILED
    found="$found: fewer than 1,000,000 requests"
  fi
  [ "$status" = passed ] && found="$found, verifier clean after every request" ||
    found="$found; see $log ($(grep -c 'Failure' "$log" || true) failures)"
  report fuzz "$status" "$seconds" "$found"
}

run_pnp() {
  build_targets stress_test || { report pnp FAILED 0 "the build of stress_test failed"; return; }
  local log=$logs/pnp-$seed.log start status=passed found
  echo "== pnp: STRESS_CYCLES=$cycles STRESS_SEED=$seed $build/tests/stress/stress_test --gtest_filter='PnpStressTest.*' (log $log)"
  start=$(date +%s)
  STRESS_CYCLES=$cycles STRESS_SEED=$seed "$build/tests/stress/stress_test" --gtest_filter='PnpStressTest.*' 2>&1 |
    tee "$log" || status=FAILED
  local seconds=$(($(date +%s) - start))
  local sleeps
  sleeps=$(sed -n 's/.* sleep and resume \([0-9]*\),.*/\1/p' "$log" | tail -1)
  if [ -z "$sleeps" ]; then
    found="no cycle count printed"
    status=FAILED
  else
    local others=$((cycles - sleeps))
    found="$sleeps sleep/resume cycles and $others other PnP sequences with I/O in flight; $(sed -n 's/.*\(I\/O rounds .*\)/\1/p' "$log" | tail -1)"
    if [ "$status" = passed ] && [ -z "${SOAK_CYCLES:-}" ] && { [ "$sleeps" -lt 500 ] || [ "$others" -lt 500 ]; }; then
      status=FAILED
      found="$found: fewer than 500 of one kind (try SOAK_CYCLES above $cycles)"
    fi
  fi
  [ "$status" = passed ] || found="$found; see $log"
  report pnp "$status" "$seconds" "$found"
}

run_long() {
  build_targets capture-soak || { report long FAILED 0 "the build of capture-soak failed"; return; }
  local log=$logs/long-$seed.log start status=passed found
  echo "== long: $build/tools/capture-soak --seed $seed --duration $duration (log $log)"
  start=$(date +%s)
  "$build/tools/capture-soak" --seed "$seed" --duration "$duration" 2>&1 | tee "$log" || status=FAILED
  local seconds=$(($(date +%s) - start))
  # The summary's "all" row: transfers, bytes, failures; then the verifier's line.
  local totals
  totals=$(awk '/^all / {print $2 " transfers, " $3 " " $4 ", " $5 " failures"}' "$log")
  if [ -n "$totals" ]; then
    found="$totals; verifier: $(sed -n 's/^verifier: //p' "$log")"
  else
    found="no summary printed, last line: $(tail -1 "$log")"
  fi
  [ "$status" = passed ] || found="$found; see $log"
  report long "$status" "$seconds" "$found"
}

case "$what" in
  fuzz) run_fuzz ;;
  pnp) run_pnp ;;
  long) run_long ;;
  all)
    # One failed run does not stop the others (report counts it).
    run_fuzz
    run_pnp
    run_long
    ;;
esac

echo
echo "Soak summary (seed $seed):"
printf '  %s\n' "${summary[@]}"
exit "$failed"
