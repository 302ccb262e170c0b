#!/usr/bin/env bash
# Other products' Security Center entries are text to a run, whatever form their paths take: Wine's
# file trace of a whole run, which names every path a file function is asked about, must name
# none of the entries' paths (a device path turned into "\\?\..." would reach a host through
# GLOBALROOT or Global, or open a named pipe), and must name the run's own log, which shows that
# the trace saw the run's file calls. The run lists the entries by their text.
#   check-untrusted-paths.sh BUILD-FOLDER
here=$(dirname "$(realpath "$0")")
source "$here/failure-reasons.sh"
[ $# -eq 1 ] || { echo "usage: $0 BUILD-FOLDER" >&2; exit 2; }
bin=$(realpath "$1")/bin
work=$(mktemp -d)
key='HKLM\SYSTEM\CurrentControlSet\Services\torq1\Settings\integration\security_center'
restore() {
  wine "$bin/wscsim.exe" reset >/dev/null 2>&1 || true
  wine reg delete "$key" /f >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap restore EXIT

wine reg delete "$key" /f >/dev/null 2>&1 || true
wine reg add "$key" /v DisplayName /t REG_SZ /d "Trace Antivirus" /f >/dev/null 2>&1 || fail "cannot write the settings"
wine "$bin/wscsim.exe" reset >/dev/null 2>&1 || fail "the simulator does not answer"
for path in '\Device\GLOBALROOT\Device\Mup\ravelin-host\share\x.exe' \
            '\Device\Global\UNC\ravelin-host\share\y.exe' \
            '\Device\PIPE\ravelin-entry'; do
  wine "$bin/wscsim.exe" add Elsewhere "$path" >/dev/null 2>&1 || fail "cannot list an entry for $path"
done
wine "$bin/wscsim.exe" service start >/dev/null 2>&1 || fail "cannot start the simulated service"

# The run's log lines: what each log file (the run picks its folder) gained during the run. A
# prefix that earlier runs used may hold logs in more than one folder; a file that rotated meanwhile
# is new and read whole.
logs=("$WINEPREFIX"/drive_c/windows/*/ravelin_9E1C8D64_E25A_431A_9C7D_FA4605A88234.log)
declare -A before
for file in "${logs[@]}"; do [ ! -f "$file" ] || before[$file]=$(stat -c %s "$file"); done
run_lines() {
  local file offset
  for file in "$WINEPREFIX"/drive_c/windows/*/ravelin_9E1C8D64_E25A_431A_9C7D_FA4605A88234.log; do
    [ -f "$file" ] || continue
    offset=${before[$file]:-0}
    [ "$(stat -c %s "$file")" -ge "$offset" ] || offset=0
    tail -c +"$((offset + 1))" "$file"
  done
}
status=0
WINEDEBUG=trace+file wine "$bin/ravelin.exe" /REGISTER /ID=untrusted-paths 2>"$work/trace.txt" || status=$?
[ "$status" -eq 0 ] || fail "the run ended with $status"
grep -q 'ravelin_9E1C8D64' "$work/trace.txt" || fail "the trace names no file of the run: it saw nothing"
if grep -n -E 'ravelin-host|ravelin-entry' "$work/trace.txt" >"$work/hits.txt"; then
  head -n 5 "$work/hits.txt" >&2
  fail "a file function was asked about another product's path"
fi
listed=$(run_lines | grep -ac 'Product: Elsewhere .*ravelin-host' || true)
[ "$listed" -ge 2 ] || fail "the run did not list the entries by their text"
echo "other products' paths: text only, no file call"
