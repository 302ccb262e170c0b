#!/usr/bin/env bash
# Makes a throwaway code-signing chain, as a vendor's release signing has: a root and a signer it
# issued, valid for DAYS days (30 unless given).
#   make-test-signing-chain.sh OUTPUT-FOLDER [DAYS]
# OUTPUT-FOLDER then holds chain.pem (signer, then root), signer.key, root.pem and root.cer (the
# root in DER form, for a trusted root store).
source "$(dirname "$(realpath "$0")")/../checks/failure-reasons.sh"
[ $# -eq 1 ] || [ $# -eq 2 ] || { echo "usage: $0 OUTPUT-FOLDER [DAYS]" >&2; exit 2; }
days=${2:-30}
mkdir -p "$1"
cd "$1"
openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days "$days" -subj "/CN=Ravelin Test Root" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
  -keyout root.key -out root.pem 2>/dev/null
openssl req -newkey rsa:2048 -nodes -sha256 -subj "/CN=Ravelin Test Signer" \
  -keyout signer.key -out signer.csr 2>/dev/null
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' > signer.ext
openssl x509 -req -sha256 -days "$days" -in signer.csr -CA root.pem -CAkey root.key -CAcreateserial \
  -extfile signer.ext -out signer.pem 2>/dev/null
cat signer.pem root.pem > chain.pem
openssl x509 -in root.pem -outform DER -out root.cer
rm -f root.key signer.csr signer.ext root.srl
