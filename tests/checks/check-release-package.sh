#!/usr/bin/env bash
# Packs the build's agent as a signed release with a throwaway chain, twice, and fails unless the
# two packages are the same bytes, named test-signed, the sums inside match, the packed agent's
# signature verifies, the package names its signer and thumbprint and warns of the missing time
# stamp, and its third-party notices and bill of materials cover what the linker's map shows. An
# agent signed elsewhere is packed as it is when it is the build's image, and refused when it is
# not. A signature that chains to another root than SIGN_CA, or signing without SIGN_CA, must give
# no package at all, and leave none from before; an unsigned package says so in its name.
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
  SIGN_CERT=$chain/chain.pem SIGN_KEY=$chain/signer.key SIGN_CA=$chain/root.pem dist "$attempt" > "$work/$attempt.log" 2>&1
done
first=$(echo "$work"/first/ravelin-*-win-x64-test-signed.zip)
cmp "$first" "$work"/second/ravelin-*-win-x64-test-signed.zip || fail "two packages of one commit differ"
thumbprint=$(openssl x509 -in "$chain/signer.pem" -noout -fingerprint -sha1 | cut -d= -f2 | tr -d :)
expect_file_line "$work/first.log" "dist: ravelin.exe signed by CN=Ravelin Test Signer"
expect_file_line "$work/first.log" "dist:   thumbprint (SHA-1) $thumbprint"
grep -q "^dist: WARNING: ravelin.exe is signed without a time stamp" "$work/first.log" ||
  { cat "$work/first.log" >&2; fail "signing without a time stamp gave no warning (above)"; }

unzip -q "$first" -d "$work/unpacked"
package=$(echo "$work"/unpacked/ravelin-*-win-x64-test-signed)
(cd "$package" && sha256sum -c --quiet SHA256SUMS)
expect_status "the packed agent's signature against the test root" \
  osslsigncode verify -in "$package/ravelin.exe" -CAfile "$chain/root.pem"
"$here/check-third-party-notices.sh" "$build/ravelin.map" "$package/THIRD_PARTY_NOTICES.txt" "$package"/ravelin-*.spdx.json

# Signed elsewhere: the build's own image is packed byte for byte; another program is refused.
cp "$build/bin/ravelin.exe" "$work/elsewhere.exe"
"$here/../../tools/sign.sh" "$work/elsewhere.exe" "$chain/chain.pem" "$chain/signer.key"
SIGNED_AGENT=$work/elsewhere.exe SIGN_CA=$chain/root.pem dist elsewhere > "$work/elsewhere.log" 2>&1 ||
  { cat "$work/elsewhere.log" >&2; fail "an agent signed elsewhere was not packed (above)"; }
unzip -q "$work"/elsewhere/ravelin-*-win-x64-test-signed.zip -d "$work/elsewhere/unpacked"
cmp "$work/elsewhere.exe" "$work"/elsewhere/unpacked/*/ravelin.exe || fail "the agent signed elsewhere was changed"
cp "$build/bin/wscsim.exe" "$work/other.exe"
"$here/../../tools/sign.sh" "$work/other.exe" "$chain/chain.pem" "$chain/signer.key"
if SIGNED_AGENT=$work/other.exe SIGN_CA=$chain/root.pem dist another 2> "$work/another.log"; then
  fail "another signed program was packed as the agent"
fi
grep -q "is not this build's ravelin.exe" "$work/another.log" ||
  { cat "$work/another.log" >&2; fail "the refusal of another program does not say why (above)"; }
dist unsigned > /dev/null
[ -f "$(echo "$work"/unsigned/ravelin-*-win-x64-unsigned.zip)" ] || fail "the unsigned package's name does not say so"

# Pinned trust: the root the signature must chain to is required, and no other will do. An earlier
# package in the output folder does not survive a failed build.
mkdir -p "$work/foreign" && touch "$work/foreign/ravelin-0.0.1-win-x64-signed.zip"
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
[ -z "$(find "$work"/foreign "$work"/unpinned "$work"/early "$work"/another -name '*.zip' 2>/dev/null)" ] ||
  fail "a refused signature left a package"
echo "release package: reproducible, named by its signing, sums match, signature verifies against the pinned root only," \
  "an agent signed elsewhere packed unchanged, notices complete"
