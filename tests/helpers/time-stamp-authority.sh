#!/usr/bin/env bash
# Starts a throwaway RFC 3161 time-stamp authority on 127.0.0.1 for the signing tests: a root of its
# own and a time-stamping certificate it issued (valid for 30 days), answered by `openssl ts`.
#   time-stamp-authority.sh FOLDER
# FOLDER then holds tsa-root.pem (the root the time stamps chain to), url (the authority's address)
# and pid (the server's process, to end it).
source "$(dirname "$(realpath "$0")")/../checks/failure-reasons.sh"
[ $# -eq 1 ] || { echo "usage: $0 FOLDER" >&2; exit 2; }
here=$(dirname "$(realpath "$0")")
mkdir -p "$1"
cd "$1"
openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 30 -subj "/CN=Ravelin Test Time Stamp Root" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
  -keyout tsa-root.key -out tsa-root.pem 2>/dev/null
openssl req -newkey rsa:2048 -nodes -sha256 -subj "/CN=Ravelin Test Time Stamp Authority" \
  -keyout tsa.key -out tsa.csr 2>/dev/null
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=critical,timeStamping\n' > tsa.ext
openssl x509 -req -sha256 -days 30 -in tsa.csr -CA tsa-root.pem -CAkey tsa-root.key -CAcreateserial \
  -extfile tsa.ext -out tsa.pem 2>/dev/null
cat tsa.pem tsa-root.pem > tsa-chain.pem
echo 01 > serial
cat > tsa.cnf <<'CONFIG'
[ tsa ]
default_tsa = authority
[ authority ]
serial = ./serial
signer_cert = ./tsa.pem
certs = ./tsa-chain.pem
signer_key = ./tsa.key
signer_digest = sha256
default_policy = 1.3.6.1.4.1.4146.2.3
digests = sha256, sha384, sha512
accuracy = secs:1
ordering = yes
tsa_name = yes
ess_cert_id_chain = no
ess_cert_id_alg = sha256
CONFIG
rm -f tsa-root.key tsa.csr tsa.ext tsa-root.srl
python3 "$here/time-stamp-authority.py" "$PWD" > port 2> server.log &
echo $! > pid
for _ in $(seq 50); do [ -s port ] && break; sleep 0.1; done
[ -s port ] || { echo "time-stamp authority: did not start ($(cat server.log))" >&2; exit 1; }
echo "http://127.0.0.1:$(cat port)/" > url
