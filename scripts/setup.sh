#!/bin/sh
# Installs, as root on Debian, the packages the build and the tests need,
# unless they are there already.
set -eu
packages="cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev libfmt-dev
  g++-mingw-w64-x86-64 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 wine64"
# Test signing of the driver packages (tools/packaging), only when asked for.
if [ -n "${SIGN_CERT:-}" ]; then packages="$packages osslsigncode"; fi
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi
