#!/usr/bin/env bash
# The mutation check: breaks the product one decision at a time, as tests/mutants.txt lists them,
# and says which test noticed. Each mutant is applied to a scratch copy of the tree (never to the
# working tree), built incrementally in a build folder of its own, and tested: first the tests the
# entry names, then all the others, stopping at the first failure.
#   tools/mutants.sh [LIST] [NAME-FILTER]     (make mutants)
# Prints, per mutant, "killed by <test>", "SURVIVED", or why it could not be tried, then the score.
# LIST may be one tools/mutant-generator.py wrote (make mutants-changed, make mutants-src).
# Each outcome is also kept in build-mutants/outcomes. With MUTANTS_RESUME=1 a run on the same tree
# goes on where an earlier one stopped, trying only the mutants it has no outcome for: the run of
# all of src/ takes longer than one sitting, and the outcomes it already has are still true of
# that tree.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
list=$(realpath "${1:-$top/tests/mutants.txt}")
filter=${2:-}
work=$top/build-mutants
tree=$work/tree
build=$work/build
jobs=$(nproc)

# The scratch tree: the working tree's files as they are now, uncommitted changes included. They
# are written with the current time (tar -m): a file older than the object an earlier run built from
# its mutant would otherwise not be compiled again.
rm -rf "$tree"
mkdir -p "$tree"
(cd "$top" && git ls-files -co --exclude-standard -z | tar --null -T - -cf -) | tar -xmf - -C "$tree"
# The list as it was when the tree was copied: a list edited during the run must not meet files of
# the copy it was not written for.
cp "$list" "$work/list"
list=$work/list
# What the outcomes are true of: every file of the copy but the mutation check's own, which decide
# how an outcome is found, not what it is (a mutant's name says which change of which line it is).
fingerprint=$(cd "$tree" && find . -type f ! -path ./tests/mutants.txt ! -path './tools/mutant*' ! -path ./tools/test-kills.py \
  ! -path ./tools/line-coverage.py \
  -print0 | sort -z | xargs -0 sha256sum | sha256sum | cut -c1-16)
outcomes=$work/outcomes
if [ "${MUTANTS_RESUME:-}" = 1 ] && [ "$(head -n 1 "$outcomes" 2>/dev/null)" = "# $fingerprint" ]; then
  echo "going on from $(($(wc -l <"$outcomes") - 1)) outcomes of an earlier run on this tree"
else
  [ "${MUTANTS_RESUME:-}" != 1 ] || [ ! -s "$outcomes" ] || echo "the outcomes kept are of another tree: starting again"
  echo "# $fingerprint" >"$outcomes"
fi
cmake -S "$tree" -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null 2>&1
echo "building the unchanged tree in $build"
cmake --build "$build" -j "$jobs" >"$work/build.log" 2>&1 || { echo "the unchanged tree does not build: $work/build.log"; exit 1; }
echo "testing the unchanged tree"
# In a Wine prefix of its own: what an earlier run's mutants left in the last one (a log in a
# folder the product would not choose, settings a killed test did not put back) is no state the
# tests expect.
"$tree/tools/wine-prefix.sh" stop "$build/wineprefix"
rm -rf "$build/wineprefix"
ctest --test-dir "$build" -j "$jobs" --output-on-failure >"$work/baseline.log" 2>&1 ||
  { echo "the unchanged tree fails its tests: $work/baseline.log"; exit 1; }

# Not run for a mutant: the tests that read the tree or the release package rather than run the
# product, which cannot notice one and take half of the whole suite's time; and the steps that
# start and stop the Wine server, which the run keeps up itself (a stop in the middle would leave
# the next test to start the prefix's system processes, which then hold its output open).
#
# With MUTANTS_COVERAGE=1 (make mutants-src) a generated mutant is tried only on the tests that run
# its line, as a build of the tree with gcc's counters finds them once (tools/line-coverage.py,
# about twenty minutes on two cores, kept in build-mutants/lines for the tree): a test that never
# runs the line runs the same with the mutant. A mutant on a line with code that no test runs
# survives without a test run; a line without code of its own (a declaration, a constant) gets the
# tests that run any line of its .cpp file, or, in a header, the tests the list names and then all
# the others.
not_the_product='^(tools|release|wine)\.'
lines=$work/lines
if [ "${MUTANTS_COVERAGE:-}" = 1 ] && [ "$(head -n 1 "$lines" 2>/dev/null)" != "# $fingerprint" ]; then
  coverage=$work/coverage
  echo "finding which tests run each line, in $coverage"
  cmake -S "$tree" -B "$coverage" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_FLAGS=--coverage -DCMAKE_CXX_FLAGS=--coverage -DCMAKE_EXE_LINKER_FLAGS=--coverage \
    -DCMAKE_SHARED_LINKER_FLAGS=--coverage >/dev/null 2>&1
  cmake --build "$coverage" -j "$jobs" >"$work/coverage.log" 2>&1 ||
    { echo "the tree does not build with counters: $work/coverage.log"; exit 1; }
  "$tree/tools/wine-prefix.sh" start "$coverage/wineprefix"
  status=0
  python3 "$tree/tools/line-coverage.py" "$coverage" "$tree" "$lines.new" "$not_the_product" || status=$?
  "$tree/tools/wine-prefix.sh" stop "$coverage/wineprefix"
  [ "$status" -eq 0 ] || { echo "the tests' lines could not be found"; exit 1; }
  { echo "# $fingerprint"; cat "$lines.new"; } >"$lines"
  rm "$lines.new"
fi
[ "${MUTANTS_COVERAGE:-}" = 1 ] || lines=

# The tests the unchanged tree took more than ten seconds to pass (the kit's runner, the release
# checks): a mutant's own tests run them last.
sed -nE 's/.*Test +#[0-9]+: ([^ ]+) .*Passed +([0-9]+)\.[0-9]+ sec/\2 \1/p' "$work/baseline.log" |
  awk '$1 > 10 { print $2 }' >"$work/slow"

# One Wine server for the whole run instead of one per test run (its start and stop take two of the
# few seconds a killed mutant costs); it is started again after a test that timed out, which may
# have left a process behind.
prefix_tool=$tree/tools/wine-prefix.sh
prefix=$build/wineprefix
"$prefix_tool" start "$prefix"
trap '"$prefix_tool" stop "$prefix"' EXIT

# failed_tests OUTPUT COUNT: the first COUNT tests a ctest run's output names as failed (-0: all).
failed_tests() {
  # The failed test's own line; a fixture that fails names itself the same way.
  sed -nE 's/.*Test +#[0-9]+: ([^ ]+) \.+\*\*\*(Failed|Timeout|Exception).*/\1/p' <<<"$1" | head -n "$2" | paste -sd' ' -
}

# first_failure CTEST-SELECTION...: the name of the first test of the selection that fails, or nothing.
# With MUTANTS_EVERY_KILLER=1 the selection runs whole and every test of it that fails is named
# (the kills of each test, for finding the tests that kill nothing another does not: tools/test-kills.py).
# A failure counts only when the test fails again run on its own: a test that fails now and then
# beside others would otherwise kill whichever mutant it meets. When none is confirmed the selection
# runs once more.
first_failure() {
  local selection=("$@") output stop=--stop-on-failure count=1 attempt names confirmed
  [ "${MUTANTS_EVERY_KILLER:-}" != 1 ] || { stop=; count=-0; }
  for attempt in 1 2; do
    output=$(ctest --test-dir "$build" -j "$jobs" -FS '^wine$' -FC '^wine$' $stop "${selection[@]}" 2>&1) && return 0
    if grep -q '\*\*\*Timeout' <<<"$output"; then
      "$prefix_tool" stop "$prefix"; "$prefix_tool" start "$prefix"
    fi
    names=$(failed_tests "$output" "$count")
    [ -n "$names" ] || { echo "(ctest: $(tail -n 1 <<<"$output"))"; return 0; }
    confirmed=$(ctest --test-dir "$build" -j "$jobs" -FS '^wine$' -FC '^wine$' -R "^(${names// /|})\$" 2>&1) && confirmed= ||
      confirmed=$(failed_tests "$confirmed" -0)
    [ -z "$confirmed" ] || { echo "$confirmed"; return 0; }
    echo "unconfirmed failure of $names: the run is tried again" >&2
  done
}

# record NAME FILE OUTCOME [DETAIL]: prints the mutant's line and keeps its outcome (killed,
# survived, equivalent, uncompiled, unapplied) and the seconds it took, for the score and for a run
# that goes on later.
record() {
  case $3 in
    killed) printf '%-72s killed by %s\n' "$1" "$4" ;;
    survived) printf '%-72s SURVIVED%s\n' "$1" "${4:+ ($4)}" ;;
    equivalent) printf '%-72s equivalent: %s\n' "$1" "$4" ;;
    uncompiled) printf '%-72s DOES NOT COMPILE (%s)\n' "$1" "$4" ;;
    unapplied) printf '%-72s NOT APPLIED: %s\n' "$1" "$4" ;;
  esac
  printf '%s\x1f%s\x1f%s\x1f%s\x1f%s\n' "$1" "$2" "$3" $((SECONDS - started)) "${4:-}" >>"$outcomes"
}
# A generated list (tools/mutant-generator.py) may hold mutants the compiler refuses: they cost a
# build and find nothing, and are only counted. In a hand-written list each one is a mistake.
generated=false
head -n 1 "$list" | grep -q '^# Generated by tools/mutant-generator.py' && generated=true
# The entries come in on descriptor 3, so that a command of the loop that reads its input (a test
# under Wine may) cannot take the rest of the list with it and end the run early without a word.
while IFS=$'\x1f' read -r -u 3 name file find replace tests note at; do
  [ -z "$filter" ] || [[ $name == *"$filter"* ]] || continue
  started=$SECONDS
  # Tried already, in the earlier run this one goes on from.
  name=$name awk -F'\x1f' 'NR > 1 && $1 == ENVIRON["name"] { found = 1; exit } END { exit !found }' "$outcomes" && continue
  if [ -n "$note" ]; then record "$name" "$file" equivalent "$note"; continue; fi
  target=$tree/$file
  cp "$target" "$work/original" 2>/dev/null || { record "$name" "$file" unapplied "no file $file"; continue; }
  # Where its text occurs once in the file, or on the line the entry numbers (a generated entry of a
  # line whose text occurs more than once).
  if ! why=$(python3 "$tree/tools/mutant-generator.py" --apply "$target" "$find" "$replace" "$at" 2>&1); then
    record "$name" "$file" unapplied "$why"; continue
  fi
  # The tests that run the mutated line ("-": none), when the line has code of its own; for a line
  # of a .cpp file without code (a constant, a declaration), which only that file's code can read,
  # the tests that run any line of the file. A header's line without code may be read anywhere.
  runners=
  if $generated && [ -n "$lines" ]; then
    runners=$(awk -F'\x1f' -v file="$file" -v line="${name#*:}" 'BEGIN { line += 0 }
      $1 == file && $2 == line { exact = 1; print $3 == "" ? "-" : $3; exit }
      $1 == file { count = split($3, names, " "); for (i = 1; i <= count; i++) any[names[i]] = 1 }
      END { if (exact || file !~ /\.cpp$/) exit
            for (test in any) all = all (all == "" ? "" : " ") test; print all == "" ? "-" : all }' "$lines")
  fi
  if ! cmake --build "$build" -j "$jobs" >"$work/mutant.log" 2>&1; then
    record "$name" "$file" uncompiled "$work/mutant.log"
  elif [ "$runners" = - ]; then
    record "$name" "$file" survived "no test runs this line"
  else
    by=""
    if [ -n "$runners" ]; then
      # The slow tests last: a quicker one kills most mutants first.
      for phase in quick slow; do
        selection=$(tr ' ' '\n' <<<"$runners" | grep -xF -f "$work/slow" $([ $phase = slow ] || echo -v) |
          sed 's/\./\\./g' | paste -sd'|' -) || true
        [ -z "$selection" ] || [ -n "$by" ] || by=$(first_failure -R "^($selection)\$")
      done
    else
      [ -z "$tests" ] || by=$(first_failure -R "$tests")
      [ -n "$by" ] || by=$(first_failure -E "$not_the_product${tests:+|$tests}")
    fi
    if [ -n "$by" ]; then record "$name" "$file" killed "$by"; else record "$name" "$file" survived; fi
  fi
  cp "$work/original" "$target"
done 3< <(python3 "$tree/tools/mutant-generator.py" --entries "$list") </dev/null
echo
# The score, from the outcomes kept: this run's and those of the earlier run it went on from.
awk -F'\x1f' 'NR > 1 { split($2, part, "/"); layer = part[1] == "src" && part[3] != "" ? part[2] : "other"
       if ($3 == "killed" || $3 == "survived") tried[layer]++; if ($3 == "killed") dead[layer]++ }
     END { for (layer in tried) printf "  %-16s %d/%d killed\n", layer, dead[layer], tried[layer] }' "$outcomes" | sort
outcomes_of() { awk -F'\x1f' -v outcome="$1" 'NR > 1 && $3 == outcome' "$outcomes" | wc -l; }
killed=$(outcomes_of killed) survived=$(outcomes_of survived) equivalent=$(outcomes_of equivalent)
uncompiled=$(outcomes_of uncompiled) broken=$(outcomes_of unapplied)
echo "mutants: $killed killed, $survived survived, $equivalent equivalent, $uncompiled not compiled, $broken not applied; score $killed/$((killed + survived))"
[ "$survived" -eq 0 ] && [ "$broken" -eq 0 ] && { $generated || [ "$uncompiled" -eq 0 ]; }
