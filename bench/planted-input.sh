#!/usr/bin/env bash
# What planted input costs a run, against a clean run of the same command, under Wine:
#   clean            "/UPDATE_WSC=SET_EXPIRATION_TIME /INSTANCE=bench" with no instance keys
#   20,000 keys      the same with 20,000 keys "<pid>_1" ... "<pid>_20000" under "Instance", all
#                    naming one running process (Wine's services.exe), as a user who may write
#                    "Instance" could plant them
#   256 MiB value    the same with the instance key "bench" holding a 256 MiB REG_BINARY
#                    "StoredState", which the time word reads
# Each case runs RUNS times in one prefix with the simulated Security Center installed and the
# product registered; prints the median wall time and the peak memory (largest resident set).
# Usage: bench/planted-input.sh [BUILD] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-5}
bin=$(realpath "$build/bin")
prefix=$(realpath -m "$build/bench-prefix")
for program in planter ravelin wscsim; do
  [ -x "$bin/$program.exe" ] || { echo "build first: make build" >&2; exit 1; }
done

tools/wine-prefix.sh start "$prefix"
trap 'tools/wine-prefix.sh stop "$prefix"' EXIT
wine() { tools/wine-prefix.sh run "$prefix" "$@"; }

settings='SYSTEM\CurrentControlSet\Services\torq1\Settings\integration\security_center'
wine "$bin/wscsim.exe" install >/dev/null
wine "$bin/wscsim.exe" service start >/dev/null
wine reg delete "HKLM\\$settings\\Instance" /f >/dev/null 2>&1 || true
wine reg add "HKLM\\$settings" /v DisplayName /d "Bench Antivirus" /f >/dev/null 2>&1
wine "$bin/ravelin.exe" /REGISTER || true
# The id of a process that runs for as long as the prefix does.
services=$(wine winedbg --command "info proc" 2>/dev/null | awk '$3 == "'"'"'services.exe'"'"'" { print $1 }' | head -n 1)
[ -n "$services" ] || { echo "no services.exe in the prefix" >&2; exit 1; }
pid=$((16#$services))

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
measure() {
  python3 - "$runs" "$1" "$bin/ravelin.exe" <<'PYTHON'
import os, statistics, subprocess, sys, time
runs, title, agent = int(sys.argv[1]), sys.argv[2], sys.argv[3]
times, peak, codes = [], 0.0, set()
for _ in range(runs):
    start = time.perf_counter()
    process = subprocess.Popen(["/usr/lib/wine/wine64", agent, "/UPDATE_WSC=SET_EXPIRATION_TIME", "/INSTANCE=bench"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    times.append((time.perf_counter() - start) * 1000)
    codes.add(os.waitstatus_to_exitcode(status))
    peak = max(peak, usage.ru_maxrss / 1024)
# The low 8 bits of the agent's exit code: 0 when the command succeeded.
print(f"  {title:<16} median {statistics.median(times):8.1f} ms   peak memory {peak:6.1f} MiB"
      f"   exit {sorted(codes)}")
PYTHON
}

echo "$runs runs each, one prefix"
measure "clean"
wine "$bin/planter.exe" keys "$settings\\Instance" "${pid}_" 20000
measure "20,000 keys"
wine reg delete "HKLM\\$settings\\Instance" /f >/dev/null 2>&1
wine "$bin/planter.exe" value "$settings\\Instance\\bench" StoredState 256
measure "256 MiB value"
wine reg delete "HKLM\\$settings\\Instance" /f >/dev/null 2>&1
