#!/usr/bin/env bash
# Packs a release: OUTPUT-FOLDER/ravelin-<version>-win-x64-<signing>.zip holding ravelin.exe, the
# integration guide, the third-party notices and the bill of materials of what is linked into the
# executable (both made from the linker's map), and SHA256SUMS of all of them. <signing> says what
# the package may be used for: "unsigned", "test-signed" (chained to a throwaway root whose name
# begins "Ravelin Test": never ship it) or "signed". The package is reproducible: the executable's
# time stamp (set by the build, see the Makefile), the signing time, the bill's creation time and
# every time in the zip are the commit's time, and the entries are stored in a fixed order with
# fixed attributes. A time stamp from a time-stamp authority is the one thing that differs between
# two builds of one commit. Every earlier package in OUTPUT-FOLDER is removed first, so a failed
# build leaves none.
#   dist.sh BUILD-FOLDER OUTPUT-FOLDER EPOCH
# ravelin.exe is signed here when the environment names a certificate chain and its key:
#   SIGN_CERT           the PEM chain, the signer first
#   SIGN_KEY            the signer's key file, or its PKCS#11 URI with SIGN_PKCS11_MODULE
#   SIGN_CA             required: the root the signature must chain to; nothing is packed otherwise
#   SIGN_PKCS11_MODULE  the token's PKCS#11 module (see tools/sign.sh)
#   SIGN_TIMESTAMP_URL  an RFC 3161 time-stamp authority (see tools/sign.sh)
#   SIGN_TSA_CA         the root the time stamp must chain to (default: the system's trusted roots)
# or it was signed elsewhere (signtool, a cloud HSM) and is packed as it is, not signed again:
#   SIGNED_AGENT        that ravelin.exe: packed only when it is this build's image and its
#                       signature chains to SIGN_CA (and its time stamp to SIGN_TSA_CA, when it has one)
set -euo pipefail
[ $# -eq 3 ] || { echo "usage: $0 BUILD-FOLDER OUTPUT-FOLDER EPOCH" >&2; exit 2; }
build=$(realpath "$1")
out=$2
epoch=$3
root=$(dirname "$(realpath "$0")")/..
fail() { echo "dist: $*" >&2; exit 1; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in $build/CMakeCache.txt"
mkdir -p "$out"
rm -f "$out"/ravelin-*-win-x64*.zip

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir "$stage/package"
agent=$stage/package/ravelin.exe
cp "$build/bin/ravelin.exe" "$agent"
cp "$root/docs/integration.md" "$stage/package/integration.md"

signing=unsigned
if [ -n "${SIGNED_AGENT:-}" ]; then
  [ -z "${SIGN_CERT:-}${SIGN_KEY:-}" ] || fail "SIGNED_AGENT is signed already: give no SIGN_CERT or SIGN_KEY"
  [ -n "${SIGN_CA:-}" ] || fail "a signed agent needs SIGN_CA, the root certificate its signature must chain to"
  "$root/tools/same-pe-image.py" "$SIGNED_AGENT" "$agent" ||
    fail "$SIGNED_AGENT is not this build's ravelin.exe: sign $build/bin/ravelin.exe of this commit"
  cp "$SIGNED_AGENT" "$agent"
elif [ -n "${SIGN_CERT:-}${SIGN_KEY:-}" ]; then
  [ -n "${SIGN_CERT:-}" ] && [ -n "${SIGN_KEY:-}" ] || fail "SIGN_CERT and SIGN_KEY go together"
  [ -n "${SIGN_CA:-}" ] || fail "signing needs SIGN_CA, the root certificate the signature must chain to"
  "$root/tools/sign.sh" "$agent" "$SIGN_CERT" "$SIGN_KEY" "$epoch"
fi
if [ -n "${SIGNED_AGENT:-}${SIGN_CERT:-}" ]; then
  tsa=(); [ -z "${SIGN_TSA_CA:-}" ] || tsa=(-TSA-CAfile "$SIGN_TSA_CA")
  # Read through defined formats only (exit statuses, DER, PEM): osslsigncode's report is worded
  # differently from one version to the next.
  osslsigncode verify -in "$agent" -CAfile "$SIGN_CA" "${tsa[@]}" >"$stage/verify" 2>&1 ||
    { sed 's/^/    /' "$stage/verify" >&2; fail "the signature of ravelin.exe does not chain to $SIGN_CA (osslsigncode's report above)"; }
  osslsigncode extract-signature -pem -in "$agent" -out "$stage/signature.pem" >/dev/null
  "$root/tools/authenticode-signature.py" "$stage/signature.pem" "$stage/signature"
  if [ -n "${SIGN_TIMESTAMP_URL:-}" ] && [ ! -f "$stage/signature/timestamp.der" ]; then
    fail "the signature of ravelin.exe carries no time stamp"
  fi
  if [ -f "$stage/signature/timestamp.der" ]; then
    trusted=(-CApath /etc/ssl/certs); [ -z "${SIGN_TSA_CA:-}" ] || trusted=(-CAfile "$SIGN_TSA_CA")
    openssl ts -verify -token_in -in "$stage/signature/timestamp.der" -data "$stage/signature/timestamped.bin" \
      "${trusted[@]}" >"$stage/timestamp" 2>&1 ||
      { sed 's/^/    /' "$stage/timestamp" >&2; fail "the time stamp of ravelin.exe does not verify (openssl's report above)"; }
  fi
  # The signer, and its thumbprints (SHA-1, as Windows shows it).
  signer=$stage/signature/signer.pem
  echo "dist: ravelin.exe signed by $(openssl x509 -in "$signer" -noout -subject -nameopt RFC2253 | cut -d= -f2-)"
  echo "dist:   thumbprint (SHA-1) $(openssl x509 -in "$signer" -noout -fingerprint -sha1 | cut -d= -f2 | tr -d :)"
  echo "dist:   SHA-256            $(openssl x509 -in "$signer" -noout -fingerprint -sha256 | cut -d= -f2 | tr -d :)"
  if [ -f "$stage/signature/timestamp.der" ]; then
    echo "dist: the signature carries a time stamp"
  else
    echo "dist: WARNING: ravelin.exe is signed without a time stamp: Windows refuses its signature from the" \
      "day the signing certificate expires ($(openssl x509 -in "$signer" -noout -enddate | cut -d= -f2)), and" \
      "Security Center then drops the product. Sign what you ship with SIGN_TIMESTAMP_URL." >&2
  fi
  rm -rf "$stage/signature" "$stage/signature.pem" "$stage/verify" "$stage/timestamp"
  echo "dist: the signature chains to $SIGN_CA"
  signing=signed
  # The throwaway chains of the tests and of make dist-test-signed: such a package is for trying
  # the signing path, never for shipping, and its name says so.
  if openssl x509 -in "$SIGN_CA" -noout -subject -nameopt RFC2253 | grep -q '^subject=CN=Ravelin Test '; then
    signing=test-signed
  fi
fi
name=ravelin-$version-win-x64-$signing
mv "$stage/package" "$stage/$name"
agent=$stage/$name/ravelin.exe

"$root/tools/third-party-notices.py" "$build/ravelin.map" "$agent" "$version" "$epoch" "$stage/$name"
files=(integration.md ravelin.exe "ravelin-$version.spdx.json" THIRD_PARTY_NOTICES.txt)
(cd "$stage/$name" && sha256sum "${files[@]}" > SHA256SUMS)

# Fixed times, modes and order, and no owner or extra time fields (-X); zip writes local times,
# so the zone is fixed too.
touch --date="@$epoch" "$stage/$name" "$stage/$name"/*
chmod 0755 "$stage/$name"; chmod 0644 "$stage/$name"/*
package=$(realpath "$out")/$name.zip
# Written under another name and renamed once whole, so that no half package is ever found.
(cd "$stage" && TZ=UTC zip -X -D -9 -q "$stage/package.zip" "${files[@]/#/$name/}" "$name/SHA256SUMS")
mv "$stage/package.zip" "$package"
echo "dist: $package"
sha256sum "$package"
