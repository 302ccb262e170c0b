#!/usr/bin/env bash
# Lines per second through the real file logger under Wine: one process alone, then four
# processes writing the same log at once. Usage: bench/log-throughput.sh [BUILD] [LINES]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
lines=${2:-20000}
bin=$(realpath "$build/bin")
prefix=$(realpath -m "$build/bench-prefix")
[ -x "$bin/logwriter.exe" ] || { echo "build first: make build" >&2; exit 1; }

tools/wine-prefix.sh start "$prefix"
trap 'tools/wine-prefix.sh stop "$prefix"; rm -rf "$work"' EXIT
work=$(mktemp -d)
log="Z:${work//\//\\}\\bench.log"

run_writer() { tools/wine-prefix.sh run "$prefix" "$bin/logwriter.exe" "$log" "$1" "$lines"; }

rm -f "$work"/*
single=$(run_writer 0)
seconds=$(awk '{print $4}' <<<"$single")
echo "one process : $lines lines in $seconds s = $(awk -v n="$lines" -v s="$seconds" 'BEGIN{printf "%.0f", n/s}') lines/s"

rm -f "$work"/*
start=$(date +%s.%N)
for writer in 1 2 3 4; do run_writer "$writer" >"$work/writer$writer.out" & done
wait
end=$(date +%s.%N)
written=$(cat "$work"/bench*.log | grep -c padding)
echo "four at once: $written lines in $(awk -v a="$start" -v b="$end" 'BEGIN{printf "%.3f", b-a}') s wall" \
     "= $(awk -v n="$written" -v a="$start" -v b="$end" 'BEGIN{printf "%.0f", n/(b-a)}') lines/s in all" \
     "(per process: $(awk '{printf "%s s  ", $4}' "$work"/writer*.out))"
