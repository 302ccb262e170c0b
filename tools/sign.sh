#!/usr/bin/env bash
# Signs a Windows executable in place with a SHA-256 Authenticode signature, as a shipped reporting
# executable is signed. A signature it already carries is replaced.
#   sign.sh FILE CERTIFICATE-CHAIN KEY [SIGNING-TIME]
# CERTIFICATE-CHAIN is PEM (the signer first, then its issuers); SIGNING-TIME (seconds since 1970)
# makes the signature reproducible. From the environment:
#   SIGN_PKCS11_MODULE  the PKCS#11 module of a token or HSM: KEY is then a PKCS#11 URI
#                       ("pkcs11:token=...;object=...", with pin-value= or pin-source= for the PIN),
#                       and the key never leaves the token;
#   SIGN_TIMESTAMP_URL  an RFC 3161 time-stamp authority: the signature gets its counter-signature,
#                       so it keeps verifying after the signing certificate has expired.
set -euo pipefail
[ $# -ge 3 ] && [ $# -le 4 ] || { echo "usage: $0 FILE CERTIFICATE-CHAIN KEY [SIGNING-TIME]" >&2; exit 2; }
file=$1
chain=$2
key=$3
options=()
[ $# -eq 4 ] && options+=(-time "$4")
[ -z "${SIGN_PKCS11_MODULE:-}" ] || options+=(-pkcs11module "$SIGN_PKCS11_MODULE")
[ -z "${SIGN_TIMESTAMP_URL:-}" ] || options+=(-ts "$SIGN_TIMESTAMP_URL")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

unsigned=$file
if osslsigncode extract-signature -in "$file" -out "$work/old.signature" >/dev/null 2>&1; then
  osslsigncode remove-signature -in "$file" -out "$work/unsigned" >/dev/null
  unsigned=$work/unsigned
fi
# Written beside the file and renamed over it, so that a reader never sees half a file.
osslsigncode sign -certs "$chain" -key "$key" -h sha256 -n "Ravelin" "${options[@]}" \
  -in "$unsigned" -out "$file.signing" >"$work/log" 2>&1 || { cat "$work/log" >&2; exit 1; }
chmod --reference="$file" "$file.signing"
mv -f "$file.signing" "$file"
