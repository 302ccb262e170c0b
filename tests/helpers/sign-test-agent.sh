#!/usr/bin/env bash
# Signs the agent the whole-process tests run, as a release is signed but with a throwaway chain,
# and fails unless the signature verifies.
#   sign-test-agent.sh AGENT CHAIN-FOLDER
source "$(dirname "$(realpath "$0")")/../checks/failure-reasons.sh"
unset SIGN_PKCS11_MODULE SIGN_TIMESTAMP_URL
[ $# -eq 2 ] || { echo "usage: $0 AGENT CHAIN-FOLDER" >&2; exit 2; }
here=$(dirname "$(realpath "$0")")
rm -rf "$2"
"$here/make-test-signing-chain.sh" "$2"
"$here/../../tools/sign.sh" "$1" "$2/chain.pem" "$2/signer.key"
osslsigncode verify -in "$1" -CAfile "$2/root.pem"
