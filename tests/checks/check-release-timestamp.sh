#!/usr/bin/env bash
# Packs the build's agent signed with a time stamp from a time-stamp authority of the test's own on
# 127.0.0.1, twice, and fails unless the packed agent carries a time stamp from that authority that
# verifies, its signature verifies, and the two packages differ by the time stamps only: the agents
# with their signatures removed are the same bytes, and so is every other file but the sums and
# the bill of materials (which hold the signed agent's hash).
#   check-release-timestamp.sh BUILD-FOLDER WORK-FOLDER
here=$(dirname "$(realpath "$0")")
source "$here/failure-reasons.sh"
[ $# -eq 2 ] || { echo "usage: $0 BUILD-FOLDER WORK-FOLDER" >&2; exit 2; }
build=$(realpath "$1")
work=$2
unset SIGN_CERT SIGN_KEY SIGN_CA SIGN_PKCS11_MODULE SIGN_TIMESTAMP_URL SIGN_TSA_CA
rm -rf "$work"
"$here/../helpers/make-test-signing-chain.sh" "$work/chain"
"$here/../helpers/time-stamp-authority.sh" "$work/tsa"
trap 'kill "$(cat "$work/tsa/pid")" 2>/dev/null || true' EXIT
chain=$work/chain

for attempt in first second; do
  [ "$attempt" = first ] || sleep 1
  SIGN_CERT=$chain/chain.pem SIGN_KEY=$chain/signer.key SIGN_CA=$chain/root.pem \
  SIGN_TIMESTAMP_URL=$(cat "$work/tsa/url") SIGN_TSA_CA=$work/tsa/tsa-root.pem \
    "$here/../../tools/dist.sh" "$build" "$work/$attempt" 1780315200 > "$work/$attempt.log"
  unzip -q "$work/$attempt"/ravelin-*-win-x64-test-signed.zip -d "$work/$attempt/unpacked"
done
first=$(echo "$work"/first/unpacked/ravelin-*-win-x64-test-signed)
second=$(echo "$work"/second/unpacked/ravelin-*-win-x64-test-signed)

# The time stamp, read from the signature itself: it stamps this signature's value and chains to the
# test authority's root, which exists for this run only.
expect_status "the packed agent's signature against the test root" \
  osslsigncode verify -in "$first/ravelin.exe" -CAfile "$chain/root.pem" -TSA-CAfile "$work/tsa/tsa-root.pem"
osslsigncode extract-signature -pem -in "$first/ravelin.exe" -out "$work/signature.pem" >/dev/null
"$here/../../tools/authenticode-signature.py" "$work/signature.pem" "$work/signature"
[ -f "$work/signature/timestamp.der" ] || fail "the packed agent's signature carries no RFC 3161 time stamp"
expect_status "the time stamp against the test authority's root" \
  openssl ts -verify -token_in -in "$work/signature/timestamp.der" -data "$work/signature/timestamped.bin" \
  -CAfile "$work/tsa/tsa-root.pem"

for package in "$first" "$second"; do
  osslsigncode remove-signature -in "$package/ravelin.exe" -out "$package.unsigned.exe" >/dev/null
done
cmp "$first.unsigned.exe" "$second.unsigned.exe" || fail "the two agents differ beyond their signatures"
for file in integration.md THIRD_PARTY_NOTICES.txt; do
  cmp "$first/$file" "$second/$file" || fail "the two packages' $file differ"
done
echo "time stamp: from the test's authority, verified; the packages differ by their time stamps only"
