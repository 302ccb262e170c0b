#!/usr/bin/env bash
# Makes a throwaway code-signing chain (a root and a signer it issued) and signs a copy of a
# library with it, as a vendor's release signing would, without a timestamp.
#   sign-test-library.sh LIBRARY OUTPUT-FOLDER
# OUTPUT-FOLDER then holds signed.dll, tampered.dll (signed, then one byte of code changed) and
# root.cer (the root in DER form, for the trusted root store).
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 LIBRARY OUTPUT-FOLDER" >&2; exit 2; }
library=$(realpath "$1")
out=$2
rm -rf "$out"
mkdir -p "$out"
cd "$out"

openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 30 -subj "/CN=Ravelin Test Root" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
  -keyout root.key -out root.pem 2>/dev/null
openssl req -newkey rsa:2048 -nodes -sha256 -subj "/CN=Ravelin Test Signer" \
  -keyout signer.key -out signer.csr 2>/dev/null
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' > signer.ext
openssl x509 -req -sha256 -days 30 -in signer.csr -CA root.pem -CAkey root.key -CAcreateserial \
  -extfile signer.ext -out signer.pem 2>/dev/null
cat signer.pem root.pem > chain.pem
openssl x509 -in root.pem -outform DER -out root.cer

osslsigncode sign -certs chain.pem -key signer.key -h sha256 -n "Ravelin test library" \
  -in "$library" -out signed.dll >/dev/null

# The same signed file with one byte of its code changed: its signature no longer matches.
cp signed.dll tampered.dll
offset=$(( $(x86_64-w64-mingw32-objdump -h signed.dll | awk '$2 == ".text" { print "0x" $6 }') + 16 ))
printf '\xCC' | dd of=tampered.dll bs=1 seek="$offset" conv=notrunc status=none
rm -f root.key signer.key signer.csr signer.ext root.srl
