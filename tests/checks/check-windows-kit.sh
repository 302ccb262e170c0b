#!/usr/bin/env bash
# The Windows test kit as a vendor gets it: packed by tools/windows-kit.sh, unpacked into a folder
# whose name the command interpreter would otherwise read ("kit (1) & co!") and into a plain one,
# and its runner started by Wine's command interpreter with the round trip against the simulated
# Security Center and a few unit tests (the whole suite runs in make test anyway). Fails unless
# both runs write the same summary, the report archive holds the summary, the tests' XML, how the
# test program ended and the round trip, the summary names the platform, the account, the tests'
# counts and each skip with its reason, every step of the round trip saw what it expected, and the
# agent's settings key is as it was and the summary says so. Then a test program that crashes
# inside a test, one that hangs and one that ends with 0 in the middle of a test must each give a
# report naming the test (and the crash's exit code), the hung one within its stated time. Last, the report of a run with a failure and a skip,
# made from an XML of its own, must list both with their messages.
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
(cd "$work/dist" && sha256sum -c --quiet "$(basename "$archive").sha256") || fail "the kit's checksum file does not match it"

# unpack NAME: the kit unpacked into $work/NAME; prints its folder.
unpack() {
  unzip -q "$archive" -d "$work/$1"
  echo "$work/$1"/ravelin-*-windows-tests
}
# run_kit KIT ARGUMENTS...: the kit's runner in KIT by Wine's command interpreter; its output in
# KIT.log, its report unpacked into KIT.report.
run_kit() {
  local kit=$1
  shift
  (cd "$kit" && wine cmd /c run-tests.cmd "$@") >"$kit.log" 2>&1 ||
    { cat "$kit.log" >&2; fail "run-tests.cmd failed in $kit (its output above)"; }
  local report
  report=$(echo "$kit"/ravelin-report-*.zip)
  [ -f "$report" ] || { cat "$kit.log" >&2; fail "run-tests.cmd wrote no report archive beside itself in $kit"; }
  unzip -q "$report" -d "$kit.report"
  tr -d '\r' <"$kit.report/summary.txt" >"$kit.summary"
}

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
awkward=$(unpack 'kit (1) & co!')
plain=$(unpack plain)
[ -f "$plain/run-tests.cmd" ] || fail "the kit has no run-tests.cmd"
grep -q $'\r$' "$plain/run-tests.cmd" || fail "run-tests.cmd does not have Windows' line ends"
run_kit "$awkward" /roundtrip /filter "$tests"
# Security Center's list that cannot be read for a moment: the agent and the runner meet the failed
# queries, and the runner reads the list again until it shows what the step asked for.
wine "$build/bin/wscsim.exe" fail ExecQuery 4 0x80004005 >/dev/null 2>&1
run_kit "$plain" /roundtrip /filter "$tests"
cmp -s "$plain.summary" "$awkward.summary" ||
  { diff "$plain.summary" "$awkward.summary" >&2; fail "the kit's summary differs between a plain folder and \"kit (1) & co!\""; }

for file in summary.txt unit-tests.xml unit-tests.txt unit-tests-end.txt round-trip.txt settings-before.txt kit.txt; do
  [ -f "$plain.report/$file" ] || fail "the report archive lacks $file"
done
summary=$plain.summary
expect_file_line "$summary" "Platform: Wine (the simulated Security Center)"
grep -qE '^Operating system: [0-9]+\.[0-9]+\.[0-9]+ - ' "$summary" || fail "the summary names no operating system"
grep -qE '^Account: (SYSTEM|elevated administrator|not elevated)' "$summary" || fail "the summary names no account"
expect_file_line "$summary" "Unit tests: 4 run, 0 failed, 1 skipped"
expect_file_line "$summary" "Unit test program: ended with 0 (every test passed or was skipped)"
expect_file_line "$summary" "SKIPPED ProcessTest.ProtectedProcessIsNamedThroughTheLimitedQuery"
grep -q "Wine has no protected processes" "$summary" || fail "the summary does not give the skip's reason"
expect_file_line "$summary" "Round trip: 8 steps, 8 as expected (round-trip.txt)"
grep -qE '^Settings put back: yes \([0-9]+ values? as before\)$' "$summary" || fail "the summary does not say the settings were put back"
expect_file_line "$summary" "Trusted test roots after the run: 0 removed"
[ "$(grep -c '^ok ' "$plain.report/round-trip.txt")" = 8 ] ||
  { cat "$plain.report/round-trip.txt" >&2; fail "not every step of the round trip saw what it expected (above)"; }
grep -qE '^ok register: .*\(after [1-9][0-9]* s\)$' "$plain.report/round-trip.txt" ||
  { cat "$plain.report/round-trip.txt" >&2; fail "the round trip did not wait for Security Center's list (above)"; }

wine reg export "$key" "$(winepath -w "$work/after.reg")" /y >/dev/null 2>&1 ||
  fail "the agent's settings key is gone after the round trip"
cmp -s "$work/before.reg" "$work/after.reg" ||
  { diff <(iconv -f UTF-16 -t UTF-8 "$work/before.reg") <(iconv -f UTF-16 -t UTF-8 "$work/after.reg") >&2; fail "the round trip did not put the settings key back"; }

# A test program that crashes inside a test, and one that never ends.
for mode in crash hang quit; do
  kit=$(unpack "$mode")
  cp "$build/bin/failingtests.exe" "$kit/unit_tests.exe"
  start=$(date +%s)
  RAVELIN_FAILING_TESTS=$mode run_kit "$kit" /timeout 5
  seconds=$(( $(date +%s) - start ))
  expect_file_line "$kit.summary" "Unit tests: no report (unit-tests.xml is missing: the program did not finish)"
  if [ "$mode" = crash ]; then
    expect_file_line "$kit.summary" "Unit test program: crashed with exit code 0xC0000005 (3221225477) while running Probe.Crashes"
  elif [ "$mode" = quit ]; then
    expect_file_line "$kit.summary" "Unit test program: ended with 0 before it finished, without its report while running Probe.Quits"
  else
    expect_file_line "$kit.summary" "Unit test program: did not end within 5 s and was ended while running Probe.Hangs"
    [ "$seconds" -lt 60 ] || fail "the hung run's report took $seconds s, for a stated time of 5 s"
  fi
  grep -q '^\[ RUN      \] Probe\.' "$kit.report/unit-tests.txt" || fail "the $mode run's report lacks the program's output"
done

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
(cd "$work/crafted" && wine "$plain/ravelin-kit.exe" report . ../crafted.zip) >/dev/null 2>&1 || fail "ravelin-kit report failed"
unzip -q -o "$work/crafted.zip" -d "$work/crafted-report"
tr -d '\r' <"$work/crafted-report/summary.txt" >"$work/crafted-summary.txt"
expect_file_line "$work/crafted-summary.txt" "Unit tests: 3 run, 1 failed, 1 skipped"
expect_file_line "$work/crafted-summary.txt" "Round trip: not taken (run-tests.cmd /roundtrip takes it)"
expect_file_line "$work/crafted-summary.txt" "FAILED Probe.Fails"
expect_file_line "$work/crafted-summary.txt" '    Expected: "a" & b'
expect_file_line "$work/crafted-summary.txt" "SKIPPED Probe.Skips"
expect_file_line "$work/crafted-summary.txt" "    no <device> here"
echo "windows kit: packed with its checksum, its runner ran under Wine's command interpreter from a plain folder and from \"kit (1) & co!\" with the same summary, the round trip saw 8 of 8 as expected and the settings key is as it was; a crash and a hang in the test program are reported with the test they happened in"
