#!/usr/bin/env bash
# The mutation check: breaks the product one decision at a time, as tests/mutants.txt lists them,
# and says which test noticed. Each mutant is applied to a scratch copy of the tree (never to the
# working tree), built incrementally in a build folder of its own, and tested: first the tests the
# entry names, then all the others, stopping at the first failure.
#   tools/mutants.sh [LIST] [NAME-FILTER]     (make mutants)
# Prints, per mutant, "killed by <test>", "SURVIVED", or why it could not be tried, then the score.
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
cmake -S "$tree" -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null 2>&1
echo "building the unchanged tree in $build"
cmake --build "$build" -j "$jobs" >"$work/build.log" 2>&1 || { echo "the unchanged tree does not build: $work/build.log"; exit 1; }
echo "testing the unchanged tree"
ctest --test-dir "$build" -j "$jobs" --output-on-failure >"$work/baseline.log" 2>&1 ||
  { echo "the unchanged tree fails its tests: $work/baseline.log"; exit 1; }

# first_failure CTEST-SELECTION...: the name of the first test of the selection that fails, or nothing.
first_failure() {
  local selection=("$@") output
  output=$(ctest --test-dir "$build" -j "$jobs" --stop-on-failure "${selection[@]}" 2>&1) && return 0
  # The failed test's own line; a fixture that fails names itself the same way.
  sed -nE 's/.*Test +#[0-9]+: ([^ ]+) \.+\*\*\*(Failed|Timeout|Exception).*/\1/p' <<<"$output" | head -n 1
  grep -qE '\*\*\*(Failed|Timeout|Exception)' <<<"$output" || echo "(ctest: $(tail -n 1 <<<"$output"))"
}

killed=0 survived=0 equivalent=0 broken=0
while IFS=$'\x1f' read -r name file find replace tests note; do
  [ -z "$filter" ] || [[ $name == *"$filter"* ]] || continue
  if [ -n "$note" ]; then
    printf '%-72s equivalent: %s\n' "$name" "$note"; equivalent=$((equivalent + 1)); continue
  fi
  target=$tree/$file
  count=$(python3 -c 'import sys; print(open(sys.argv[1], encoding="utf-8").read().count(sys.argv[2]))' "$target" "$find" 2>/dev/null || echo 0)
  if [ "$count" != 1 ]; then
    printf '%-72s NOT APPLIED: the text occurs %s times in %s\n' "$name" "$count" "$file"; broken=$((broken + 1)); continue
  fi
  cp "$target" "$work/original"
  python3 -c 'import sys; p=sys.argv[1]; s=open(p, encoding="utf-8").read(); open(p, "w", encoding="utf-8").write(s.replace(sys.argv[2], sys.argv[3], 1))' \
    "$target" "$find" "$replace"
  if ! cmake --build "$build" -j "$jobs" >"$work/mutant.log" 2>&1; then
    printf '%-72s DOES NOT COMPILE (%s)\n' "$name" "$work/mutant.log"; broken=$((broken + 1))
  else
    by=""
    [ -z "$tests" ] || by=$(first_failure -R "$tests")
    [ -n "$by" ] || by=$(first_failure ${tests:+-E "$tests"})
    if [ -n "$by" ]; then
      printf '%-72s killed by %s\n' "$name" "$by"; killed=$((killed + 1))
    else
      printf '%-72s SURVIVED\n' "$name"; survived=$((survived + 1))
    fi
  fi
  cp "$work/original" "$target"
done < <(python3 - "$list" <<'PYTHON'
import sys
# Entries are blocks of "key: value" lines separated by blank lines; "#" starts a comment line.
entry = {}
def flush():
    if entry:
        fields = [entry.get(k, "") for k in ("mutant", "file", "find", "replace", "tests", "equivalent")]
        if any("\x1f" in f or "\n" in f for f in fields):
            sys.exit("a field holds a tab or a line break: " + fields[0])
        print("\x1f".join(fields))
        entry.clear()
for line in open(sys.argv[1], encoding="utf-8").read().splitlines() + [""]:
    if line.startswith("#"):
        continue
    if not line.strip():
        flush()
        continue
    key, _, value = line.partition(":")
    entry[key.strip()] = value[1:] if value.startswith(" ") else value
PYTHON
)
total=$((killed + survived))
echo
echo "mutants: $killed killed, $survived survived, $equivalent equivalent, $broken not tried; score $killed/$total"
[ "$survived" -eq 0 ] && [ "$broken" -eq 0 ]
