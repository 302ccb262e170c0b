# Sourced by the checks: whatever step fails says so on standard error, which CTest shows with
# --output-on-failure. Under `set -e` a failing step would otherwise end the check silently.
set -Eeuo pipefail
trap 'failed_status=$?; echo "$(basename "$0"):$LINENO: failed with status $failed_status: $BASH_COMMAND" >&2' ERR

# fail REASON...: ends the check with its reason.
fail() {
  echo "$(basename "$0"): $*" >&2
  exit 1
}

# expect_same WHAT EXPECTED FOUND: ends the check unless the two are equal, naming both.
expect_same() {
  [ "$2" = "$3" ] || fail "$1: expected \"$2\", found \"$3\""
}

# expect_file_line FILE LINE: ends the check unless FILE holds LINE as a whole line, showing FILE.
expect_file_line() {
  grep -qxF -- "$2" "$1" || { sed 's/^/    /' "$1" >&2; fail "expected the line \"$2\" in $1 (shown above)"; }
}

# expect_status WHAT COMMAND...: runs COMMAND with its output kept; ends the check with that output
# when COMMAND fails.
expect_status() {
  local what=$1 output
  shift
  if ! output=$("$@" 2>&1); then
    printf '%s\n' "$output" | sed 's/^/    /' >&2
    fail "$what: '$*' failed (its output is above)"
  fi
}
