#!/usr/bin/env python3
"""What each test kills, from the output of a mutation run made with MUTANTS_EVERY_KILLER=1
(tools/mutants.sh names every test of a mutant's selection that fails with it):

    test-kills.py BUILD-FOLDER LOG...

For each test of the build (as ctest lists it): how many mutants it kills, and how many of those
no other test kills. A test that kills nothing, or nothing alone, earns its place by something
else (a behaviour no mutant of the runs reaches) or is a candidate to fold or remove; the runs
only know the mutants they tried, so a candidate is checked against the whole list before it goes.
"""

import re
import subprocess
import sys


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
    print(f"{len(killers)} mutants killed, by {sum(1 for test in kills if kills[test])} of {len(tests)} tests")
    print(f"{'kills':>6} {'alone':>6}  test")
    for test in sorted(kills, key=lambda name: (alone.get(name, 0), kills[name], name)):
        print(f"{kills[test]:>6} {alone.get(test, 0):>6}  {test}")


if __name__ == "__main__":
    main()
