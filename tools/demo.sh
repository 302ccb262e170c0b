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

wscsim() { tools/wine-prefix.sh run "$prefix" "$bin/wscsim.exe" "$@"; }

echo "== Installing the simulated Security Center (wscsim install)"
wscsim install
wscsim service start

run() {
  printf '\n$ ravelin.exe %s\n' "$*"
  tools/wine-prefix.sh run "$prefix" "$bin/exitcode.exe" ravelin.exe "$@"
}

run
run /REGISTER

printf '\n== What Security Center now shows (wscsim show)\n'
wscsim show

log="$prefix/drive_c/windows/SystemTemp/ravelin_9E1C8D64_E25A_431A_9C7D_FA4605A88234.log"
printf '\n== The agent log (C:\\windows\\SystemTemp\\%s), last lines\n' "$(basename "$log")"
tail -n 14 "$log" | tr -d '\r'
