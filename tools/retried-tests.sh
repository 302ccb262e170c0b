#!/usr/bin/env bash
# Prints one line naming every test of the last ctest run in BUILD that failed and then passed when
# run again, so that a flaky test is seen on a green run too ("none" when there was none).
# Usage: tools/retried-tests.sh BUILD
set -euo pipefail
log=$1/Testing/Temporary/LastTest.log
[ -f "$log" ] || { echo "tests run again in $1: no test log"; exit 0; }
# Each run of a test is a block that starts "N/M Testing: NAME" and ends with "Test Passed." or
# "Test Failed." (a time-out too); a test is named when one of its runs failed and a later passed.
awk -v build="$1" '
  /^[0-9]+\/[0-9]+ Testing: / { name = $3; next }
  /^Test Passed\./            { if (name in failed && !(name in named)) { named[name]; list = list sep name; sep = ", " } next }
  /^Test Failed\./            { failed[name] }
  END { print "tests run again in " build ": " (list == "" ? "none" : list " (failed, then passed)") }
' "$log"
