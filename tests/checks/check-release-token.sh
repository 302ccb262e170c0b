#!/usr/bin/env bash
# Packs the build's agent signed with a key that lives on a token and never leaves it: a SoftHSM
# token made at test time, the key pair generated inside it (never extractable), a certificate
# issued for its public key by a throwaway root. Fails unless the signature verifies and its signer
# certificate carries the token's public key.
#   check-release-token.sh BUILD-FOLDER WORK-FOLDER
here=$(dirname "$(realpath "$0")")
source "$here/failure-reasons.sh"
[ $# -eq 2 ] || { echo "usage: $0 BUILD-FOLDER WORK-FOLDER" >&2; exit 2; }
build=$(realpath "$1")
work=$(realpath -m "$2")
module=/usr/lib/softhsm/libsofthsm2.so
unset SIGN_CERT SIGN_KEY SIGN_CA SIGN_PKCS11_MODULE SIGN_TIMESTAMP_URL SIGN_TSA_CA
rm -rf "$work"
mkdir -p "$work/tokens"
export SOFTHSM2_CONF=$work/softhsm2.conf
printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n' "$work" > "$SOFTHSM2_CONF"
softhsm2-util --init-token --free --label ravelin-test --pin 1234 --so-pin 5678 >/dev/null
pkcs11-tool --module "$module" --token-label ravelin-test --login --pin 1234 \
  --keypairgen --key-type rsa:2048 --label signer --id 01 >/dev/null 2>&1
pkcs11-tool --module "$module" --token-label ravelin-test --login --pin 1234 --list-objects --type privkey \
  > "$work/private-key.txt" 2>/dev/null
grep -q "never extractable" "$work/private-key.txt" ||
  { cat "$work/private-key.txt" >&2; fail "the token's key is not marked never extractable (the token's listing above)"; }
grep -q "local" "$work/private-key.txt" ||
  { cat "$work/private-key.txt" >&2; fail "the token's key was not made on the token (the token's listing above)"; }
pkcs11-tool --module "$module" --token-label ravelin-test --read-object --type pubkey --label signer \
  -o "$work/token.der" >/dev/null 2>&1
openssl pkey -pubin -inform DER -in "$work/token.der" -out "$work/token-public.pem"

# A root, and a signer certificate it issues for the token's public key (the request is signed by
# a throwaway key; the certificate takes the token's key instead).
"$here/../helpers/make-test-signing-chain.sh" "$work/chain"
cd "$work/chain"
openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 30 -subj "/CN=Ravelin Test Token Root" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
  -keyout token-root.key -out token-root.pem 2>/dev/null
openssl req -new -newkey rsa:2048 -nodes -subj "/CN=Ravelin Test Token Signer" -keyout request.key \
  -out request.csr 2>/dev/null
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' > signer.ext
openssl x509 -req -sha256 -days 30 -in request.csr -force_pubkey "$work/token-public.pem" -CA token-root.pem \
  -CAkey token-root.key -CAcreateserial -extfile signer.ext -out token-signer.pem 2>/dev/null
cat token-signer.pem token-root.pem > token-chain.pem
rm -f request.key token-root.key
cd - >/dev/null

# The PIN comes from a file only this user may read, never from a command line others can see.
printf '1234' > "$work/pin"
chmod 600 "$work/pin"
SIGN_PKCS11_MODULE=$module SIGN_KEY="pkcs11:token=ravelin-test;object=signer;type=private;pin-source=file:$work/pin" \
SIGN_CERT=$work/chain/token-chain.pem SIGN_CA=$work/chain/token-root.pem \
  "$here/../../tools/dist.sh" "$build" "$work/package" "$(date +%s)" > "$work/dist.log"
# A PIN written into the URI would be on a command line: refused before anything is signed.
if SIGN_PKCS11_MODULE=$module SIGN_KEY="pkcs11:token=ravelin-test;object=signer;type=private;pin-value=1234" \
  SIGN_CERT=$work/chain/token-chain.pem SIGN_CA=$work/chain/token-root.pem \
  "$here/../../tools/dist.sh" "$build" "$work/with-pin" "$(date +%s)" > /dev/null 2> "$work/with-pin.log"; then
  fail "a key URI holding its PIN was used"
fi
grep -q "pin-source=file:" "$work/with-pin.log" || { cat "$work/with-pin.log" >&2; fail "the PIN refusal does not say what to do"; }
unzip -q "$work/package"/ravelin-*-win-x64-test-signed.zip -d "$work/unpacked"
agent=$(echo "$work"/unpacked/ravelin-*-win-x64-test-signed/ravelin.exe)
expect_status "the packed agent's signature against the token's root" \
  osslsigncode verify -in "$agent" -CAfile "$work/chain/token-root.pem"

# The signer certificate inside the signature holds the token's public key, so the signature was
# made by the token's private key.
osslsigncode extract-signature -pem -in "$agent" -out "$work/signature.pem" >/dev/null
"$here/../../tools/authenticode-signature.py" "$work/signature.pem" "$work/signature"
expect_same "the signer's public key" "$(cat "$work/token-public.pem")" \
  "$(openssl x509 -in "$work/signature/signer.pem" -noout -pubkey)"
echo "token: the key was made on the token, never extractable, and the packed agent's signature is its"
