#!/usr/bin/env bash
# Mutants nobody chose, on the lines a change made: the product's lines (src/) that differ from
# BASE, every mutant tools/mutant-generator.py makes of them, at most SAMPLE of them drawn at random
# (seeded by the two commits, so a change always draws the same ones), then tools/mutants.sh builds
# and tests each. A change of a few dozen lines makes about a hundred mutants; each costs an
# incremental build and its tests (half a minute to a minute on two cores), so the sample bounds
# the check to about half an hour. Survivors are printed: kill each with a test, or record it in
# tests/mutants.txt with "equivalent:" and why it cannot change behaviour.
#   tools/mutants-changed.sh [BASE [SAMPLE]]      (make mutants-changed BASE=... SAMPLE=...)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
base=${1:-HEAD~1}
sample=${2:-40}
cd "$top"
# The changed lines of each changed source, as the new side of a diff without context numbers them.
targets=()
while read -r file; do
  lines=$(git diff -U0 "$base" -- "$file" | sed -nE 's/^@@ -[0-9,]+ \+([0-9]+)(,([0-9]+))? @@.*/\1 \3/p' |
    while read -r first count; do
      count=${count:-1}
      [ "$count" -eq 0 ] || echo "$first-$((first + count - 1))"
    done | paste -sd, -)
  [ -z "$lines" ] || targets+=("$file:$lines")
done < <(git diff --name-only --diff-filter=AM "$base" -- 'src/*.cpp' 'src/*.h')
if [ ${#targets[@]} -eq 0 ]; then
  echo "mutants-changed: no product line changed since $base"; exit 0
fi
list=$top/build-mutants/changed.txt
mkdir -p "$top/build-mutants"
tools/mutant-generator.py --stats --sample "$sample" --seed "$(git rev-parse "$base") $(git rev-parse HEAD)" \
  "${targets[@]}" > "$list"
echo "mutants-changed: $(grep -c '^mutant:' "$list") mutants of the lines changed since $base (list: $list)"
exec tools/mutants.sh "$list"
