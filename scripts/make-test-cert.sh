#!/bin/sh
# Makes a self-signed code-signing test certificate for test-signing the
# driver packages, as README ("Product packages") describes, and prints the
# command that builds signed packages with it.
#
#   sh scripts/make-test-cert.sh [DIR]        (default: build/test-cert)
#
# Writes DIR/cert.pem (the certificate), DIR/key.pem (its key, unencrypted),
# DIR/cert.pfx (both, for signtool or osslsigncode -pkcs12) and
# DIR/pfx-password.txt (the PFX's random password). An existing certificate
# in DIR is kept unless --force is given. TEST_CERT_SUBJECT and
# TEST_CERT_DAYS change the subject (/CN=Capture driver test signing) and the
# validity (365 days).
set -eu
force=false
if [ "${1:-}" = "--force" ]; then
  force=true
  shift
fi
dir=${1:-build/test-cert}
subject=${TEST_CERT_SUBJECT:-/CN=Capture driver test signing}
days=${TEST_CERT_DAYS:-365}
command -v openssl >/dev/null || { echo "make-test-cert: openssl is missing (apt-get install openssl)" >&2; exit 2; }

mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
if [ -e "$dir/cert.pem" ] && [ "$force" = false ]; then
  echo "Keeping the test certificate in $dir (--force makes a new one)."
else
  # The key never leaves this folder: only its owner may read it.
  umask 077
  openssl req -x509 -newkey rsa:2048 -nodes -sha256 -keyout "$dir/key.pem" -out "$dir/cert.pem" -days "$days" \
    -subj "$subject" -addext extendedKeyUsage=codeSigning 2>/dev/null
  openssl rand -hex 16 >"$dir/pfx-password.txt"
  openssl pkcs12 -export -inkey "$dir/key.pem" -in "$dir/cert.pem" -name "Capture driver test signing" \
    -passout "file:$dir/pfx-password.txt" -out "$dir/cert.pfx"
  echo "Test certificate: $dir/cert.pem, key $dir/key.pem, PFX $dir/cert.pfx (password in pfx-password.txt)"
fi
openssl x509 -in "$dir/cert.pem" -noout -subject -enddate -fingerprint -sha1 | sed 's/^/  /'
echo
echo "Signed packages, one command:"
echo "  cmake --preset sim -DSIGN_CERT=$dir/cert.pem -DSIGN_KEY=$dir/key.pem && cmake --build --preset sim"
echo "or with the PFX:"
echo "  cmake --preset sim -DSIGN_CERT=$dir/cert.pfx -DSIGN_PASSWORD_FILE=$dir/pfx-password.txt && cmake --build --preset sim"
echo "Back to unsigned packages: cmake --preset sim -DSIGN_CERT= && cmake --build --preset sim"
