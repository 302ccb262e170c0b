#!/usr/bin/env bash
# Makes a throwaway code-signing chain, as a vendor's release signing has: a root and a signer it
# issued, valid for DAYS days (30 unless given) from VALID-FROM (seconds since 1970; now unless
# given). A chain valid from a commit's time signs that commit's package without a time stamp.
#   make-test-signing-chain.sh OUTPUT-FOLDER [DAYS [VALID-FROM]]
# OUTPUT-FOLDER then holds chain.pem (signer, then root), signer.key, root.pem and root.cer (the
# root in DER form, for a trusted root store). The root is named ROOT_NAME ("Ravelin Test Root"
# unless set).
source "$(dirname "$(realpath "$0")")/../checks/failure-reasons.sh"
[ $# -ge 1 ] && [ $# -le 3 ] || { echo "usage: $0 OUTPUT-FOLDER [DAYS [VALID-FROM]]" >&2; exit 2; }
days=${2:-30}
from=${3:-$(date +%s)}
start=$(date -u -d "@$from" +%Y%m%d%H%M%SZ)
end=$(date -u -d "@$((from + days * 86400))" +%Y%m%d%H%M%SZ)
mkdir -p "$1"
cd "$1"
# openssl ca, since it alone sets both ends of the validity; its database lives only while it works.
rm -rf ca && mkdir ca && touch ca/index.txt && echo 01 > ca/serial
cat > ca/ca.cnf <<CONFIG
[ca]
default_ca = test
[test]
database = ca/index.txt
serial = ca/serial
new_certs_dir = ca
default_md = sha256
policy = any_name
unique_subject = no
[any_name]
commonName = supplied
[root]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[signer]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CONFIG
sign() {
  openssl ca -batch -notext -config ca/ca.cnf -startdate "$start" -enddate "$end" "$@" 2>ca/log ||
    { cat ca/log >&2; exit 1; }
}
openssl req -new -newkey rsa:2048 -nodes -sha256 -subj "/CN=${ROOT_NAME:-Ravelin Test Root}" \
  -keyout root.key -out root.csr 2>/dev/null
sign -selfsign -keyfile root.key -in root.csr -extensions root -out root.pem
openssl req -new -newkey rsa:2048 -nodes -sha256 -subj "/CN=Ravelin Test Signer" \
  -keyout signer.key -out signer.csr 2>/dev/null
sign -cert root.pem -keyfile root.key -in signer.csr -extensions signer -out signer.pem
cat signer.pem root.pem > chain.pem
openssl x509 -in root.pem -outform DER -out root.cer
rm -rf ca root.key root.csr signer.csr
