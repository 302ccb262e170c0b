#!/usr/bin/env bash
# Packs the build's agent as a signed release with a throwaway chain, twice, and fails unless the
# two packages are the same bytes, the sums inside match and the packed agent's signature verifies.
#   check-release-package.sh BUILD-FOLDER WORK-FOLDER
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 BUILD-FOLDER WORK-FOLDER" >&2; exit 2; }
here=$(dirname "$(realpath "$0")")
work=$2
rm -rf "$work"
"$here/../helpers/make-test-signing-chain.sh" "$work/chain"
epoch=1780315200
# A second apart, so that any time taken from the clock instead of the commit shows.
for attempt in first second; do
  [ "$attempt" = first ] || sleep 1
  "$here/../../tools/dist.sh" "$1" "$work/$attempt" "$epoch" \
    "$work/chain/chain.pem" "$work/chain/signer.key" "$work/chain/root.pem" >/dev/null
done
first=$(echo "$work"/first/ravelin-*-win-x64.zip)
cmp "$first" "$work"/second/ravelin-*-win-x64.zip
unzip -q "$first" -d "$work/unpacked"
cd "$work"/unpacked/ravelin-*-win-x64
sha256sum -c SHA256SUMS
osslsigncode verify -in ravelin.exe -CAfile "$work/chain/root.pem" | grep -x "Signature verification: ok"
echo "release package: reproducible, sums match, signature verifies"
