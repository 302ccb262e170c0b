#!/usr/bin/env bash
# Prints the version of clang, lld and clang-tidy that this Debian release packages, the one the
# bootstrap installs and make lint uses: 14 on Debian 12, 19 on Debian 13. Fails on any other
# system, naming it.
#   llvm-version.sh [OS-RELEASE-FILE]      (default /etc/os-release)
set -euo pipefail
release_file=${1:-/etc/os-release}
# shellcheck disable=SC1090
id=$(. "$release_file" && echo "${ID:-}")
version=$(. "$release_file" && echo "${VERSION_ID:-}")
name=$(. "$release_file" && echo "${PRETTY_NAME:-unknown}")
if [ "$id" = debian ]; then
  case "${version%%.*}" in
    12) echo 14; exit 0 ;;
    13) echo 19; exit 0 ;;
  esac
fi
echo "llvm-version: Debian 12 or 13 expected, this is $name" >&2
exit 1
