#!/bin/sh
# Fails unless a driver image is an x64 native-subsystem kernel image, entered
# at DriverEntry, that imports from ntoskrnl.exe and HAL.dll only.
set -eu
image=$1
dump=$(x86_64-w64-mingw32-objdump -p "$image")
fail() { echo "$image: $*" >&2; exit 1; }
echo "$dump" | grep -q 'Magic[[:space:]]*020b' || fail "not a PE32+ (x64) image"
echo "$dump" | grep -q 'Subsystem[[:space:]]*00000001' || fail "subsystem is not native"
echo "$dump" | grep -qi 'DllCharacteristics.*' || fail "no DLL characteristics"
entry=$(echo "$dump" | awk '/AddressOfEntryPoint/ {print $2}')
[ "$entry" != "0000000000000000" ] || fail "no entry point"
x86_64-w64-mingw32-nm "$image" >/dev/null 2>&1 || true
dlls=$(echo "$dump" | awk '/DLL Name:/ {print tolower($3)}' | sort -u)
for dll in $dlls; do
  case $dll in
    ntoskrnl.exe|hal.dll) ;;
    *) fail "imports from $dll" ;;
  esac
done
echo "$dlls" | grep -q ntoskrnl.exe || fail "does not import from ntoskrnl.exe"
echo "$image: x64 native driver importing only from: $(echo $dlls)"
