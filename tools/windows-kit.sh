#!/usr/bin/env bash
# Packs the Windows test kit: OUTPUT-FOLDER/ravelin-<version>-windows-tests.zip, holding the unit
# tests and what they start or load, ravelin.exe, the kit's helper and its runner run-tests.cmd
# (with the line ends of Windows), and the kit's guide; beside it the archive's SHA-256 checksum
# (<archive>.sha256, in sha256sum's form).
#   windows-kit.sh BUILD-FOLDER OUTPUT-FOLDER      (make windows-kit)
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 BUILD-FOLDER OUTPUT-FOLDER" >&2; exit 2; }
build=$(realpath "$1")
out=$2
root=$(dirname "$(realpath "$0")")/..
fail() { echo "windows-kit: $*" >&2; exit 1; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in $build/CMakeCache.txt"
name=ravelin-$version-windows-tests
bin=$build/bin

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/$name/signed"
# The library the verified loader's tests load, signed with a throwaway chain made for this kit and
# valid for two years from today (its root is trusted by the test for its own run only, and the
# kit's helper removes it should a killed run leave it); the chain's keys are thrown away.
"$root/tests/helpers/sign-test-library.sh" "$bin/signedprobe.dll" "$stage/chain" 730 >/dev/null
for file in unit_tests.exe ravelin.exe ravelin-kit.exe remediationtool.exe logwriter.exe lockholder.exe \
            wscsim.dll signedprobe.dll; do
  [ -f "$bin/$file" ] || fail "$bin/$file is missing: build first"
  cp "$bin/$file" "$stage/$name/"
done
# Without their symbols, as a release is (the signed library keeps its bytes: its signature covers them).
x86_64-w64-mingw32-strip "$stage/$name"/*.exe "$stage/$name"/*.dll
cp "$stage/chain/signed.dll" "$stage/chain/tampered.dll" "$stage/chain/root.cer" "$stage/$name/signed/"
sed 's/$/\r/' "$root/tools/kit/run-tests.cmd" > "$stage/$name/run-tests.cmd"
sed 's/$/\r/' "$root/docs/windows-test-kit.md" > "$stage/$name/README.txt"
mkdir -p "$out"
archive=$(realpath "$out")/$name.zip
rm -f "$archive"
(cd "$stage" && zip -q -r -X "$archive" "$name")
(cd "$(dirname "$archive")" && sha256sum "$(basename "$archive")" > "$(basename "$archive").sha256")
echo "$archive"
