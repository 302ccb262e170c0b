#!/usr/bin/env bash
# Signs a copy of a library with a throwaway chain, as a vendor's release signing would, without a
# time stamp.
#   sign-test-library.sh LIBRARY OUTPUT-FOLDER [DAYS]
# OUTPUT-FOLDER then holds signed.dll, tampered.dll (signed, then one byte of code changed) and
# the chain of make-test-signing-chain.sh, valid for DAYS days (root.cer for the trusted root store).
set -euo pipefail
[ $# -eq 2 ] || [ $# -eq 3 ] || { echo "usage: $0 LIBRARY OUTPUT-FOLDER [DAYS]" >&2; exit 2; }
here=$(dirname "$(realpath "$0")")
library=$(realpath "$1")
out=$2
rm -rf "$out"
# Its root's name is one character, the shortest a report must still give in full.
ROOT_NAME=R "$here/make-test-signing-chain.sh" "$out" "${3:-30}"
cd "$out"
cp "$library" signed.dll
"$here/../../tools/sign.sh" signed.dll chain.pem signer.key

# The same signed file with one byte of its code changed: its signature no longer matches.
cp signed.dll tampered.dll
offset=$(( $(x86_64-w64-mingw32-objdump -h signed.dll | awk '$2 == ".text" { print "0x" $6 }') + 16 ))
printf '\xCC' | dd of=tampered.dll bs=1 seek="$offset" conv=notrunc status=none
