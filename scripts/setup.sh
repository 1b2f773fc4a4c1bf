#!/bin/sh
# Installs, as root on Debian, the packages the build and the tests need,
# unless they are there already.
#
# osslsigncode signs and checks the driver packages and their catalogs. It
# comes from Debian 12's own archive (2.5); the build and the tests also pass
# with the 2.9 of bookworm-backports, should a machine have that one instead.
# Anything older than 2.5 is refused (by the build too).
set -eu
packages="cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev libfmt-dev
  g++-mingw-w64-x86-64 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 wine64
  libssl-dev openssl osslsigncode
  libspng-dev zlib1g-dev libz-mingw-w64-dev
  clang lld"
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
version=$(dpkg-query -W -f='${Version}' osslsigncode)
if dpkg --compare-versions "$version" lt 2.5; then
  echo "setup: osslsigncode $version is too old (2.5 or later signs and checks catalogs)" >&2
  exit 1
fi
