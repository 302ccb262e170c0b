#!/usr/bin/env bash
# Fails when ravelin.exe asks the loader for more than every run needs, or for less protection than
# a shipped executable should have, or when its version resource is not the project's version.
#   check-executable-image.sh EXECUTABLE VERSION
# A new load-time import is a decision, not an accident: the libraries that not every run needs
# are loaded from the system directory at first use (src/common/OnDemandApi.h).
set -uo pipefail
[ $# -eq 2 ] || { echo "usage: $0 EXECUTABLE VERSION" >&2; exit 2; }
version=$2
allowed="ADVAPI32.DLL KERNEL32.DLL MSVCRT.DLL NTDLL.DLL"
header=$(x86_64-w64-mingw32-objdump -p "$1") || exit 1

failed=0
imports=$(awk '/^\tDLL Name:/ { print toupper($3) }' <<<"$header")
[ -n "$imports" ] || { echo "$1: no import table read" >&2; exit 1; }
for library in $imports; do
  if ! grep -qw "$library" <<<"$allowed"; then
    echo "$1 imports $library at load time (allowed: $allowed)"
    failed=1
  fi
done
for flag in TERMINAL_SERVICE_AWARE DYNAMIC_BASE HIGH_ENTROPY_VA NX_COMPAT; do
  if ! grep -qw "$flag" <<<"$header"; then
    echo "$1 does not ask for $flag"
    failed=1
  fi
done
resources=$(x86_64-w64-mingw32-windres -i "$1" -O rc) || exit 1
for field in FileVersion ProductVersion; do
  if ! grep -qF "VALUE \"$field\", \"$version.0\"" <<<"$resources"; then
    echo "$1: $field is not $version.0"
    failed=1
  fi
done
[ "$failed" -eq 0 ] && echo "executable image: imports, protections and version $version as expected"
exit "$failed"
