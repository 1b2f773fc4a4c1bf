#!/bin/sh
# Builds and runs every test: the plain build (with the Windows images and
# their packaging checks), then the whole suite again under AddressSanitizer
# and UndefinedBehaviorSanitizer, then the hardening suites (fault
# injection, the control fuzzer, concurrency and PnP stress; label
# "hardening") under ThreadSanitizer, with nothing suppressed and no retry.
# The ThreadSanitizer step builds only those three test programs and the
# one driver image they load, and runs them in full.
set -eu
cd "$(dirname "$0")"
sh scripts/setup.sh
cmake --preset sim >/dev/null
cmake --build --preset sim
ctest --preset sim
cmake --preset asan >/dev/null
cmake --build --preset asan
ctest --preset asan
cmake --preset tsan >/dev/null
cmake --build --preset tsan
ctest --preset tsan
