#!/usr/bin/env bash
# Shows the agent at work in a Wine prefix of its own: each run's command line and whole exit code.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
bin=$(realpath "$build/bin")
prefix=$(realpath -m "$build/demo-prefix")

echo "== Preparing the demo's Windows 10 prefix ($prefix)"
tools/wine-prefix.sh start "$prefix"
trap 'tools/wine-prefix.sh stop "$prefix"' EXIT

run() {
  printf '\n$ ravelin.exe %s\n' "$*"
  tools/wine-prefix.sh run "$prefix" "$bin/exitcode.exe" ravelin.exe "$@"
}

run
run /REGISTER
