#!/usr/bin/env bash
# Signs a Windows executable in place with a SHA-256 Authenticode signature and no time stamp, as
# a shipped reporting executable is signed. A signature it already carries is replaced.
#   sign.sh FILE CERTIFICATE-CHAIN KEY [SIGNING-TIME]
# CERTIFICATE-CHAIN is PEM (the signer first, then its issuers); SIGNING-TIME (seconds since 1970)
# makes the signature reproducible.
set -euo pipefail
[ $# -ge 3 ] && [ $# -le 4 ] || { echo "usage: $0 FILE CERTIFICATE-CHAIN KEY [SIGNING-TIME]" >&2; exit 2; }
file=$1
chain=$2
key=$3
time=(); [ $# -eq 4 ] && time=(-time "$4")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

unsigned=$file
if osslsigncode extract-signature -in "$file" -out "$work/old.signature" >/dev/null 2>&1; then
  osslsigncode remove-signature -in "$file" -out "$work/unsigned" >/dev/null
  unsigned=$work/unsigned
fi
# Written beside the file and renamed over it, so that a reader never sees half a file.
osslsigncode sign -certs "$chain" -key "$key" -h sha256 -n "Ravelin" "${time[@]}" \
  -in "$unsigned" -out "$file.signing" >/dev/null
chmod --reference="$file" "$file.signing"
mv -f "$file.signing" "$file"
