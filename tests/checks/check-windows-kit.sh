#!/usr/bin/env bash
# The Windows test kit as a vendor gets it: packed by tools/windows-kit.sh, unpacked, and its
# runner started by Wine's command interpreter with the round trip against the simulated Security
# Center and a few unit tests (the whole suite runs in make test anyway). Fails unless the report
# archive holds the summary, the tests' XML and the round trip, the summary names the platform, the
# account, the tests' counts and each skip with its reason, every step of the round trip saw what it
# expected, and the agent's settings key is as it was. Then the report of a run with a failure and a
# skip, made from an XML of its own, must list both with their messages.
#   check-windows-kit.sh BUILD-FOLDER WORK-FOLDER
here=$(dirname "$(realpath "$0")")
source "$here/failure-reasons.sh"
[ $# -eq 2 ] || { echo "usage: $0 BUILD-FOLDER WORK-FOLDER" >&2; exit 2; }
build=$(realpath "$1")
work=$2
rm -rf "$work"
mkdir -p "$work"
work=$(realpath "$work")
archive=$("$here/../../tools/windows-kit.sh" "$build" "$work/dist")
unzip -q "$archive" -d "$work/unpacked"
kit=$(echo "$work"/unpacked/ravelin-*-windows-tests)
[ -f "$kit/run-tests.cmd" ] || fail "the kit has no run-tests.cmd"
grep -q $'\r$' "$kit/run-tests.cmd" || fail "run-tests.cmd does not have Windows' line ends"

key='HKLM\SYSTEM\CurrentControlSet\Services\torq1\Settings\integration\security_center'
wine reg add "$key" /v DisplayName /t REG_SZ /d "Kit Antivirus" /f >/dev/null 2>&1
# A value the agent writes during the round trip, absent before it: it must be absent after it.
wine reg delete "$key" /v LastNearExpirationNotificationTime /f >/dev/null 2>&1 || true
wine reg export "$key" "$(winepath -w "$work/before.reg")" /y >/dev/null 2>&1

# The simulated Security Center, fresh and running, as the machine's would be.
wine "$build/bin/wscsim.exe" reset >/dev/null 2>&1
expect_status "starting the simulated Security Center service" wine "$build/bin/wscsim.exe" service start
trap 'wine "$build/bin/wscsim.exe" service stop >/dev/null 2>&1 || true' EXIT
tests='ResultTest.*:ProcessTest.ProtectedProcessIsNamedThroughTheLimitedQuery:CatalogSearchTest.*'
(cd "$kit" && wine cmd /c run-tests.cmd /roundtrip /filter "$tests") >"$work/runner.log" 2>&1 ||
  { cat "$work/runner.log" >&2; fail "run-tests.cmd failed (its output above)"; }
report=$(echo "$kit"/ravelin-report-*.zip)
[ -f "$report" ] || { cat "$work/runner.log" >&2; fail "run-tests.cmd wrote no report archive beside itself"; }
unzip -q "$report" -d "$work/report"
for file in summary.txt unit-tests.xml unit-tests.txt round-trip.txt settings-before.reg; do
  [ -f "$work/report/$file" ] || fail "the report archive lacks $file"
done
summary=$work/summary.txt
tr -d '\r' <"$work/report/summary.txt" >"$summary"
expect_file_line "$summary" "Platform: Wine (the simulated Security Center)"
grep -qE '^Operating system: [0-9]+\.[0-9]+\.[0-9]+ - ' "$summary" || fail "the summary names no operating system"
grep -qE '^Account: (SYSTEM|elevated administrator|not elevated)' "$summary" || fail "the summary names no account"
expect_file_line "$summary" "Unit tests: 4 run, 0 failed, 1 skipped"
expect_file_line "$summary" "SKIPPED ProcessTest.ProtectedProcessIsNamedThroughTheLimitedQuery"
grep -q "Wine has no protected processes" "$summary" || fail "the summary does not give the skip's reason"
expect_file_line "$summary" "Round trip: 8 steps, 8 as expected (round-trip.txt)"
[ "$(grep -c '^ok ' "$work/report/round-trip.txt")" = 8 ] ||
  { cat "$work/report/round-trip.txt" >&2; fail "not every step of the round trip saw what it expected (above)"; }

wine reg export "$key" "$(winepath -w "$work/after.reg")" /y >/dev/null 2>&1 ||
  fail "the agent's settings key is gone after the round trip"
cmp -s "$work/before.reg" "$work/after.reg" ||
  { diff <(iconv -f UTF-16 -t UTF-8 "$work/before.reg") <(iconv -f UTF-16 -t UTF-8 "$work/after.reg") >&2; fail "the round trip did not put the settings key back"; }

# A run with a failure and a skip, as GoogleTest writes them.
mkdir -p "$work/crafted"
cat >"$work/crafted/unit-tests.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<testsuites tests="3" failures="1" disabled="0" errors="0" name="AllTests">
  <testsuite name="Probe" tests="3" failures="1" disabled="0" skipped="1" errors="0">
    <testcase name="Passes" status="run" result="completed" time="0." classname="Probe" />
    <testcase name="Fails" status="run" result="completed" time="0." classname="Probe">
      <failure message="probe.cpp:7&#x0A;Expected: &quot;a&quot; &amp; b" type=""><![CDATA[ignored]]></failure>
    </testcase>
    <testcase name="Skips" status="run" result="skipped" time="0." classname="Probe">
      <skipped message="probe.cpp:9&#x0A;no &lt;device&gt; here"><![CDATA[ignored]]></skipped>
    </testcase>
  </testsuite>
</testsuites>
XML
(cd "$work/crafted" && wine "$kit/ravelin-kit.exe" report . ../crafted.zip) >/dev/null 2>&1 || fail "ravelin-kit report failed"
unzip -q -o "$work/crafted.zip" -d "$work/crafted-report"
tr -d '\r' <"$work/crafted-report/summary.txt" >"$work/crafted-summary.txt"
expect_file_line "$work/crafted-summary.txt" "Unit tests: 3 run, 1 failed, 1 skipped"
expect_file_line "$work/crafted-summary.txt" "Round trip: not taken (run-tests.cmd /roundtrip takes it)"
expect_file_line "$work/crafted-summary.txt" "FAILED Probe.Fails"
expect_file_line "$work/crafted-summary.txt" '    Expected: "a" & b'
expect_file_line "$work/crafted-summary.txt" "SKIPPED Probe.Skips"
expect_file_line "$work/crafted-summary.txt" "    no <device> here"
echo "windows kit: packed, its runner ran under Wine's command interpreter, the report holds the summary, the tests and the round trip (8 of 8 as expected), the settings key is as it was"
