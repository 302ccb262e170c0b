#!/usr/bin/env bash
# What the edit loop costs on this machine, measured the way a developer and CI meet it:
#   1. make test in a fresh clone, with an empty compiler cache (a new machine);
#   2. make test again in that clone, nothing changed;
#   3. make check after touching one source file of common/, then one of state/ (the touched
#      file is compiled for real: the compiler cache may not answer for it);
#   4. make test in a second fresh clone in another folder, with the cache the first one filled
#      (CI on a machine that built the same sources before).
# Each step's output goes to a log in the work folder, which is kept when a step fails.
# Usage: bench/build-time.sh [REVISION]   (default: HEAD of this checkout)
set -euo pipefail
repository=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)
revision=$(git -C "$repository" rev-parse "${1:-HEAD}")
work=$(mktemp -d "${TMPDIR:-/tmp}/ravelin-build-time.XXXXXX")
export CCACHE_DIR=$work/ccache

clone() {
  git clone -q --no-checkout "$repository" "$work/$1"
  git -C "$work/$1" checkout -q "$revision"
}

# step LABEL FOLDER COMMAND...: runs COMMAND in FOLDER and prints its wall time.
step() {
  local label=$1 folder=$2 log
  shift 2
  log=$work/$(echo "$label" | tr -c 'a-zA-Z0-9\n' '-').log
  local start end
  start=$(date +%s.%N)
  if ! (cd "$folder" && "$@") >"$log" 2>&1; then
    echo "FAILED: $label (log: $log)" >&2
    exit 1
  fi
  end=$(date +%s.%N)
  printf '%-58s %7.1f s\n' "$label" "$(awk "BEGIN { print $end - $start }")"
}

# Revisions from before the edit loop had make check ran its steps by hand.
check() {
  if make -n check >/dev/null 2>&1; then
    make check
  else
    make build && ctest --test-dir build --output-on-failure --repeat until-pass:2 -j "$(nproc)"
  fi
}

echo "revision $revision on $(nproc) cores, work folder $work"
clone first
step "make test, fresh clone, empty compiler cache" "$work/first" make test
step "make test again, nothing changed" "$work/first" make test
touch "$work/first/src/common/foundation/StringConversion.cpp"
step "make check, common/foundation/StringConversion.cpp touched" "$work/first" env CCACHE_RECACHE=1 bash -c "$(declare -f check); check"
touch "$work/first/src/state/Expiration.cpp"
step "make check, state/Expiration.cpp touched" "$work/first" env CCACHE_RECACHE=1 bash -c "$(declare -f check); check"
clone second
step "make test, fresh clone in another folder, cache filled" "$work/second" make test
rm -rf "$work"
