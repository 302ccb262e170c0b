#!/usr/bin/env bash
# Packs a release: OUTPUT-FOLDER/ravelin-<version>-win-x64.zip holding the stripped ravelin.exe,
# the integration guide and SHA256SUMS of both. The package is reproducible: the executable's
# time stamp (set by the build, see the Makefile), the signing time and every time in the zip are
# the commit's time, and the entries are stored in a fixed order with fixed attributes.
#   dist.sh BUILD-FOLDER OUTPUT-FOLDER EPOCH [CERTIFICATE-CHAIN KEY [CA]]
# With a certificate chain and its key, ravelin.exe is signed (SHA-256, no time stamp) before it
# is packed, and the signature must verify against CA (default: the chain file itself).
set -euo pipefail
[ $# -eq 3 ] || [ $# -eq 5 ] || [ $# -eq 6 ] ||
  { echo "usage: $0 BUILD-FOLDER OUTPUT-FOLDER EPOCH [CERTIFICATE-CHAIN KEY [CA]]" >&2; exit 2; }
build=$(realpath "$1")
out=$2
epoch=$3
root=$(dirname "$(realpath "$0")")/..
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || { echo "dist: no project version in $build/CMakeCache.txt" >&2; exit 1; }
name=ravelin-$version-win-x64

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir "$stage/$name"
cp "$build/bin/ravelin.exe" "$stage/$name/ravelin.exe"
cp "$root/docs/integration.md" "$stage/$name/integration.md"
if [ $# -ge 5 ]; then
  "$root/tools/sign.sh" "$stage/$name/ravelin.exe" "$4" "$5" "$epoch"
  osslsigncode verify -in "$stage/$name/ravelin.exe" -CAfile "${6:-$4}" >/dev/null ||
    { echo "dist: the signature of ravelin.exe does not verify" >&2; exit 1; }
  echo "dist: ravelin.exe signed and verified"
fi
(cd "$stage/$name" && sha256sum ravelin.exe integration.md > SHA256SUMS)

# Fixed times, modes and order, and no owner or extra time fields (-X); zip writes local times,
# so the zone is fixed too.
touch --date="@$epoch" "$stage/$name" "$stage/$name"/*
chmod 0755 "$stage/$name"; chmod 0644 "$stage/$name"/*
mkdir -p "$out"
package=$(realpath "$out")/$name.zip
rm -f "$package"
(cd "$stage" && TZ=UTC zip -X -D -9 -q "$package" "$name/integration.md" "$name/ravelin.exe" "$name/SHA256SUMS")
echo "dist: $package"
sha256sum "$package"
