#!/bin/sh
# Installs what is missing, builds wdmsim, the driver images for every
# product (Linux and Windows), and runs the demo against simulated cards.
set -eu
cd "$(dirname "$0")"
sh scripts/setup.sh
cmake --preset sim >/dev/null
cmake --build --preset sim
./build/sim/tools/capture-demo
echo
echo "Windows driver images:"
ls -l build/sim/windows/images/*.sys
