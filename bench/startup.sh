#!/usr/bin/env bash
# Start-up cost of the agent under Wine, against yardsticks started the same way:
#   "/X" (refused at once, before COM)  against trivial.exe, a program that does nothing;
#   "/UPDATE_WSC=ENABLE"                 against floor.exe, which makes only the Security Center
#                                         calls of one update (COM, two WMI listings, the status
#                                         and sub-state writes).
# Each pair runs in alternation (A B A B ...), PAIRS times, in one prefix with the simulated
# Security Center installed and the product registered. Prints the median wall times, the ratios
# and the peak memory (largest resident set) of each program.
# Usage: bench/startup.sh [BUILD] [PAIRS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
pairs=${2:-20}
bin=$(realpath "$build/bin")
prefix=$(realpath -m "$build/bench-prefix")
for program in trivial floor ravelin wscsim; do
  [ -x "$bin/$program.exe" ] || { echo "build first: make build" >&2; exit 1; }
done

tools/wine-prefix.sh start "$prefix"
trap 'tools/wine-prefix.sh stop "$prefix"' EXIT
wine() { tools/wine-prefix.sh run "$prefix" "$@"; }

wine "$bin/wscsim.exe" install >/dev/null
wine "$bin/wscsim.exe" service start >/dev/null
wine reg add 'HKLM\SYSTEM\CurrentControlSet\Services\torq1\Settings\integration\security_center' \
  /v DisplayName /d "Bench Antivirus" /f >/dev/null 2>&1
wine "$bin/ravelin.exe" /REGISTER || true

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
python3 - "$pairs" "$bin" <<'PYTHON'
import os, statistics, subprocess, sys, time

pairs, bin_folder = int(sys.argv[1]), sys.argv[2]
loader = "/usr/lib/wine/wine64"

def run(arguments):
    start = time.perf_counter()
    process = subprocess.Popen([loader] + arguments, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, _, usage = os.wait4(process.pid, 0)
    return (time.perf_counter() - start) * 1000, usage.ru_maxrss / 1024

def compare(title, program, yardstick):
    times = {program[0]: [], yardstick[0]: []}
    memory = {program[0]: 0, yardstick[0]: 0}
    for _ in range(pairs):
        for name, arguments in (yardstick, program):
            milliseconds, mebibytes = run(arguments)
            times[name].append(milliseconds)
            memory[name] = max(memory[name], mebibytes)
    median = {name: statistics.median(values) for name, values in times.items()}
    print(f"{title}:")
    for name in (program[0], yardstick[0]):
        print(f"  {name:<28} median {median[name]:7.1f} ms   peak memory {memory[name]:5.1f} MiB")
    print(f"  ratio {median[program[0]] / median[yardstick[0]]:.2f} (time), "
          f"{memory[program[0]] / memory[yardstick[0]]:.2f} (memory)")

exe = lambda name: os.path.join(bin_folder, name)
print(f"{pairs} pairs each, run in alternation, one prefix")
compare("fixed cost", ("ravelin.exe /X", [exe("ravelin.exe"), "/X"]), ("trivial.exe", [exe("trivial.exe")]))
compare("state update", ("ravelin.exe /UPDATE_WSC=ENABLE", [exe("ravelin.exe"), "/UPDATE_WSC=ENABLE"]),
        ("floor.exe", [exe("floor.exe")]))
PYTHON
