#!/usr/bin/env bash
# Signs a Windows executable in place with a SHA-256 Authenticode signature, as a shipped reporting
# executable is signed. A signature it already carries is replaced.
#   sign.sh FILE CERTIFICATE-CHAIN KEY [SIGNING-TIME]
# CERTIFICATE-CHAIN is PEM (the signer first, then its issuers); SIGNING-TIME (seconds since 1970)
# makes the signature reproducible. From the environment:
#   SIGN_PKCS11_MODULE  the PKCS#11 module of a token or HSM: KEY is then a PKCS#11 URI
#                       ("pkcs11:token=...;object=...;pin-source=file:/path/of/the/pin"), and the
#                       key never leaves the token. A URI with pin-value= is refused: the URI is on
#                       osslsigncode's command line, which every user of the machine can read.
#   SIGN_TIMESTAMP_URL  an RFC 3161 time-stamp authority: the signature gets its counter-signature,
#                       so it keeps verifying after the signing certificate has expired. The stamp
#                       then says when the file was signed, and SIGNING-TIME is not used.
# Without a time stamp, SIGNING-TIME must lie within the signer certificate's validity: a signature
# that claims to predate its certificate (a commit older than the certificate) is refused.
set -euo pipefail
[ $# -ge 3 ] && [ $# -le 4 ] || { echo "usage: $0 FILE CERTIFICATE-CHAIN KEY [SIGNING-TIME]" >&2; exit 2; }
file=$1
chain=$2
key=$3
fail() { echo "sign: $*" >&2; exit 1; }
case "$key" in
  *pin-value=*) fail "the key's URI holds its PIN (pin-value=), which would show on a command line: put the PIN in a file only you may read and name it with pin-source=file:<path>" ;;
esac
options=()
if [ $# -eq 4 ] && [ -z "${SIGN_TIMESTAMP_URL:-}" ]; then
  # The chain's first certificate is the signer's.
  valid_from=$(date -u -d "$(openssl x509 -in "$chain" -noout -startdate | cut -d= -f2)" +%s)
  valid_to=$(date -u -d "$(openssl x509 -in "$chain" -noout -enddate | cut -d= -f2)" +%s)
  if [ "$4" -lt "$valid_from" ] || [ "$4" -gt "$valid_to" ]; then
    fail "the signing time $(date -u -d "@$4" '+%F %T') UTC lies outside the signer certificate's validity ($(date -u -d "@$valid_from" '+%F %T') to $(date -u -d "@$valid_to" '+%F %T') UTC): sign a commit made within it, or ask for a time stamp (SIGN_TIMESTAMP_URL)"
  fi
  options+=(-time "$4")
fi
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
