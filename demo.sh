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
echo "Driver packages, checked by pecheck and makecat: build/sim/packages/<Product>/ (<Product>.sys, .inf, .cat, .sys.so) for"
echo "  $(cd build/sim/packages && ls -d -- */ | tr -d / | tr '\n' ' ')"
echo "Manifest (sizes, SHA-256, imports): build/sim/packages/manifest.json and manifest.tsv"
echo "The hardware IDs in the .inf files are PLACEHOLDERS (PCI\\VEN_FEED&DEV_00nn)."
