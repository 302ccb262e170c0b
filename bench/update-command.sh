#!/usr/bin/env bash
# Wall time of "ravelin.exe /UPDATE_WSC=ENABLE" against the simulated Security Center, compared
# with a program that does nothing, both started the same way under the same Wine server.
# Usage: bench/update-command.sh [BUILD] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-20}
bin=$(realpath "$build/bin")
prefix=$(realpath -m "$build/bench-prefix")
[ -x "$bin/trivial.exe" ] || { echo "build first: make build" >&2; exit 1; }

tools/wine-prefix.sh start "$prefix"
trap 'tools/wine-prefix.sh stop "$prefix"' EXIT
wine() { tools/wine-prefix.sh run "$prefix" "$@"; }

wine "$bin/wscsim.exe" install >/dev/null
wine "$bin/wscsim.exe" service start >/dev/null
wine reg add 'HKLM\SYSTEM\CurrentControlSet\Services\torq1\Settings\integration\security_center' \
  /v DisplayName /d "Bench Antivirus" /f >/dev/null 2>&1
wine "$bin/ravelin.exe" /REGISTER || true

# Median of the runs, in milliseconds.
measure() {
  local times=() start end
  for _ in $(seq "$runs"); do
    start=$(date +%s%N)
    wine "$@" >/dev/null 2>&1 || true
    end=$(date +%s%N)
    times+=($(((end - start) / 1000000)))
  done
  printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'
}

trivial=$(measure "$bin/trivial.exe")
update=$(measure "$bin/ravelin.exe" /UPDATE_WSC=ENABLE)
echo "runs: $runs each (median wall time, Wine $(/usr/lib/wine/wine64 --version 2>/dev/null || echo 8))"
echo "trivial program           : ${trivial} ms"
echo "ravelin /UPDATE_WSC=ENABLE: ${update} ms"
awk -v u="$update" -v t="$trivial" 'BEGIN { printf "ratio                     : %.2f\n", u / t }'
