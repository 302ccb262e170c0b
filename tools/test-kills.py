#!/usr/bin/env python3
"""What each test kills, from the output of a mutation run made with MUTANTS_EVERY_KILLER=1
(tools/mutants.sh names every test of a mutant's selection that fails with it):

    test-kills.py BUILD-FOLDER LOG...

For each test of the build (as ctest lists it): how many mutants it kills, and how many of those
no other test kills. A test that kills nothing, or nothing alone, earns its place by something
else (a behaviour no mutant of the runs reaches) or is a candidate to fold or remove; the runs
only know the mutants they tried, so a candidate is checked against the whole list before it goes.

Each test's lines are counted as the size check counts them (neither blank nor comment lines),
from its TEST or TEST_F block below tests/. Last, the bound pruning can reach: a smallest set of
tests that still kills every mutant the runs killed (chosen greedily), and the lines of the
other tests of the same suites, which is the most that could go without losing one of these kills;
and the least share of test lines removal can reach: the tests that are some mutant's only killer
stay, with everything outside the test blocks (fixtures, helpers, the support library).
"""

import pathlib
import re
import subprocess
import sys


def test_lines(top):
    """Suite.Name -> the counted lines of its TEST or TEST_F block."""
    lines = {}
    for source in pathlib.Path(top, "tests").rglob("*.cpp"):
        text = source.read_text(encoding="utf-8", errors="replace").splitlines()
        starts = [(index, match) for index, line in enumerate(text)
                  if (match := re.match(r"TEST(?:_F)?\((\w+), (\w+)\)", line))]
        for number, (index, match) in enumerate(starts):
            end = index + 1
            while end < len(text) and text[end] != "}":
                end += 1
            if number + 1 < len(starts):
                end = min(end, starts[number + 1][0])
            block = text[index:end + 1]
            lines[f"{match.group(1)}.{match.group(2)}"] = sum(
                1 for line in block if line.strip() and not line.strip().startswith("//"))
    return lines


def counted_lines(top, *folders):
    """The lines the size check counts in the C++ files git knows below the folders."""
    files = subprocess.run(["git", "-C", str(top), "ls-files", "--", *folders], capture_output=True, text=True,
                           check=True).stdout.split()
    return sum(1 for name in files if re.search(r"\.(cpp|h|hpp|cc)$", name)
               for line in pathlib.Path(top, name).read_text(encoding="utf-8", errors="replace").splitlines()
               if line.strip() and not line.strip().startswith("//"))


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    listed = subprocess.run(["ctest", "--test-dir", sys.argv[1], "-N"], capture_output=True, text=True,
                            check=True).stdout
    tests = re.findall(r"Test +#\d+: (\S+)", listed)
    killers = {}
    for log in sys.argv[2:]:
        with open(log, encoding="utf-8", errors="replace") as file:
            for line in file:
                match = re.match(r"(.*?) +killed by (.+)$", line.rstrip("\n"))
                if match and not match.group(2).startswith("("):
                    killers[match.group(1).strip()] = match.group(2).split()
    kills = {test: 0 for test in tests}
    alone = {test: 0 for test in tests}
    for names in killers.values():
        for name in names:
            kills[name] = kills.get(name, 0) + 1
        if len(names) == 1:
            alone[names[0]] = alone.get(names[0], 0) + 1
    sizes = test_lines(pathlib.Path(__file__).resolve().parent.parent)
    print(f"{len(killers)} mutants killed, by {sum(1 for test in kills if kills[test])} of {len(tests)} tests")
    print(f"{'kills':>6} {'alone':>6} {'lines':>6}  test")
    for test in sorted(kills, key=lambda name: (alone.get(name, 0), kills[name], name)):
        print(f"{kills[test]:>6} {alone.get(test, 0):>6} {sizes.get(test, 0):>6}  {test}")

    # Greedy cover: the test that kills most of what is not yet killed, until nothing is left.
    left = {mutant for mutant in killers}
    cover = []
    while left:
        best = max(kills, key=lambda test: (sum(1 for m in left if test in killers[m]), -sizes.get(test, 0)))
        cover.append(best)
        left = {m for m in left if best not in killers[m]}
    suites = {name.split(".")[0] for names in killers.values() for name in names}
    spare = [test for test in tests if test.split(".")[0] in suites and test not in cover and test in sizes]
    print(f"\n{len(cover)} tests kill all {len(killers)}; the other {len(spare)} tests of their suites hold "
          f"{sum(sizes[test] for test in spare)} lines:")
    for test in sorted(spare):
        print(f"{sizes[test]:>6}  {test}")

    # The other bound: a test that is some mutant's only killer stays whatever else goes, so the
    # tests' share cannot fall below what is left when every other test block is removed.
    needed = {names[0] for names in killers.values() if len(names) == 1}
    top = pathlib.Path(__file__).resolve().parent.parent
    code, tests_now = counted_lines(top, "src", "simulator"), counted_lines(top, "tests")
    least = tests_now - sum(lines for test, lines in sizes.items() if test not in needed)
    print(f"\n{len(needed)} tests are the only killer of at least one mutant and hold "
          f"{sum(sizes.get(test, 0) for test in needed)} lines; the tests hold {tests_now} lines beside "
          f"{code} of code, and removing every other test block leaves {least} "
          f"({100 * least / (code + least):.1f} % of all):")
    for test in sorted(needed):
        print(f"{sizes.get(test, 0):>6}  {test}")


if __name__ == "__main__":
    main()
