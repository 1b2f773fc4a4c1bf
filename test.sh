#!/bin/sh
# Builds and runs every test: the plain build (with the Windows images and
# their packaging checks), then the whole suite again under AddressSanitizer
# and UndefinedBehaviorSanitizer.
set -eu
cd "$(dirname "$0")"
sh scripts/setup.sh
cmake --preset sim >/dev/null
cmake --build --preset sim
ctest --preset sim
cmake --preset asan >/dev/null
cmake --build --preset asan
ctest --preset asan
