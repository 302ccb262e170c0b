#!/usr/bin/env bash
# Packs the build's agent as a signed release with a throwaway chain, twice, and fails unless the
# two packages are the same bytes, the sums inside match, the packed agent's signature verifies, the
# package names its signer and thumbprint, and its third-party notices and bill of materials cover
# what the linker's map shows. A signature that chains to another root than SIGN_CA, or signing
# without SIGN_CA, must give no package at all.
#   check-release-package.sh BUILD-FOLDER WORK-FOLDER
here=$(dirname "$(realpath "$0")")
source "$here/failure-reasons.sh"
[ $# -eq 2 ] || { echo "usage: $0 BUILD-FOLDER WORK-FOLDER" >&2; exit 2; }
build=$(realpath "$1")
work=$2
unset SIGN_CERT SIGN_KEY SIGN_CA SIGN_PKCS11_MODULE SIGN_TIMESTAMP_URL SIGN_TSA_CA
rm -rf "$work"
"$here/../helpers/make-test-signing-chain.sh" "$work/chain"
"$here/../helpers/make-test-signing-chain.sh" "$work/other"
chain=$work/chain
# A signing time within the throwaway signer's validity, which begins now.
epoch=$(date +%s)
dist() { "$here/../../tools/dist.sh" "$build" "$work/$1" "$epoch"; }

# A second apart, so that any time taken from the clock instead of the commit shows.
for attempt in first second; do
  [ "$attempt" = first ] || sleep 1
  SIGN_CERT=$chain/chain.pem SIGN_KEY=$chain/signer.key SIGN_CA=$chain/root.pem dist "$attempt" > "$work/$attempt.log"
done
first=$(echo "$work"/first/ravelin-*-win-x64.zip)
cmp "$first" "$work"/second/ravelin-*-win-x64.zip || fail "two packages of one commit differ"
thumbprint=$(openssl x509 -in "$chain/signer.pem" -noout -fingerprint -sha1 | cut -d= -f2 | tr -d :)
expect_file_line "$work/first.log" "dist: ravelin.exe signed by CN=Ravelin Test Signer"
expect_file_line "$work/first.log" "dist:   thumbprint (SHA-1) $thumbprint"

unzip -q "$first" -d "$work/unpacked"
package=$(echo "$work"/unpacked/ravelin-*-win-x64)
(cd "$package" && sha256sum -c --quiet SHA256SUMS)
expect_status "the packed agent's signature against the test root" \
  osslsigncode verify -in "$package/ravelin.exe" -CAfile "$chain/root.pem"
"$here/check-third-party-notices.sh" "$build/ravelin.map" "$package/THIRD_PARTY_NOTICES.txt" "$package"/ravelin-*.spdx.json

# Pinned trust: the root the signature must chain to is required, and no other will do.
if SIGN_CERT=$chain/chain.pem SIGN_KEY=$chain/signer.key SIGN_CA=$work/other/root.pem dist foreign 2> "$work/foreign.log"; then
  fail "a signature that chains to another root was packed"
fi
grep -q "does not chain to" "$work/foreign.log" ||
  { cat "$work/foreign.log" >&2; fail "the refusal of another root does not say \"does not chain to\" (above)"; }
if SIGN_CERT=$chain/chain.pem SIGN_KEY=$chain/signer.key dist unpinned 2> "$work/unpinned.log"; then
  fail "a signature was packed without SIGN_CA"
fi
grep -q "signing needs SIGN_CA" "$work/unpinned.log" ||
  { cat "$work/unpinned.log" >&2; fail "the refusal without SIGN_CA does not say \"signing needs SIGN_CA\" (above)"; }
# A signing time before the signer's certificate was issued: refused, and no package.
epoch=$((epoch - 86400))
if SIGN_CERT=$chain/chain.pem SIGN_KEY=$chain/signer.key SIGN_CA=$chain/root.pem dist early 2> "$work/early.log"; then
  fail "a signature that predates its certificate was packed"
fi
grep -q "lies outside the signer certificate's validity" "$work/early.log" ||
  { cat "$work/early.log" >&2; fail "the refusal of an early signing time does not say why (above)"; }
[ -z "$(ls "$work"/foreign "$work"/unpinned "$work"/early 2>/dev/null)" ] || fail "a refused signature left a package"
echo "release package: reproducible, sums match, signature verifies against the pinned root only, notices complete"
