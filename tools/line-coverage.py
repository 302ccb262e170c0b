#!/usr/bin/env python3
"""Which tests run which product line: for the mutation check, so that a mutant is tried only
against the tests that run its line, and a mutant on a line no test runs is known to survive
without running any.

    tools/line-coverage.py BUILD TOP OUTPUT [EXCLUDE]

BUILD is a build tree configured with --coverage (gcc's arc counters), TOP the sources it was
built from. Every test of BUILD (but those EXCLUDE matches) runs alone, the counters cleared
before it; after it, gcov reads the counters of every object and each line of TOP/src that ran is
credited to the test. OUTPUT gets one line per line of src/ that compiled into code:
    file \\x1f line \\x1f test test ...     (no test: the line has code that no test runs)
A line that is not in OUTPUT has no code of its own (a declaration, a brace, a constant the
compiler folded), so what runs it is not known: the mutation check tries its mutants on all tests.

The agent processes the whole-process tests start write their counters too, when they end; so do
the test programs. A process that ends without returning (a crash on purpose, a termination) keeps
its counts, which only makes a test look as if it ran fewer lines: its mutants are then tried on
fewer tests, and only a mutant that test alone would have killed is missed.
"""
import gzip
import json
import os
import re
import subprocess
import sys
import tempfile


def counters(build):
    found = []
    for folder, _, files in os.walk(build):
        found += [os.path.join(folder, name) for name in files if name.endswith(".gcda")]
    return found


def lines_run(build, top, gcov):
    """{(file, line): ran} for the lines of TOP/src with code, from the counters now in BUILD."""
    seen = {}
    files = counters(build)
    if not files:
        return seen
    with tempfile.TemporaryDirectory() as scratch:
        subprocess.run([gcov, "--json-format", "--preserve-paths"] + files, cwd=scratch,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
        src = os.path.join(top, "src") + os.sep
        for name in os.listdir(scratch):
            if not name.endswith(".gcov.json.gz"):
                continue
            with gzip.open(os.path.join(scratch, name), "rt", encoding="utf-8") as report:
                document = json.load(report)
            base = document.get("current_working_directory", "")
            for entry in document.get("files", []):
                path = os.path.normpath(os.path.join(base, entry["file"]))
                if not path.startswith(src):
                    continue
                relative = os.path.relpath(path, top)
                for line in entry.get("lines", []):
                    key = (relative, line["line_number"])
                    seen[key] = seen.get(key, False) or line["count"] > 0
    return seen


def main():
    build, top, output = (os.path.realpath(argument) for argument in sys.argv[1:4])
    exclude = sys.argv[4] if len(sys.argv) > 4 else ""
    gcov = os.environ.get("GCOV", "x86_64-w64-mingw32-gcov")
    listing = subprocess.run(["ctest", "--test-dir", build, "-N"] + (["-E", exclude] if exclude else []),
                             capture_output=True, text=True, check=True).stdout
    tests = re.findall(r"^\s*Test\s+#\d+: (\S+)$", listing, re.MULTILINE)
    runners = {}
    executable = set()
    for index, test in enumerate(tests, 1):
        for stale in counters(build):
            os.remove(stale)
        # The Wine server stays up (the caller started it): without -FS/-FC ctest would start and
        # stop it around every test.
        subprocess.run(["ctest", "--test-dir", build, "-FS", "^wine$", "-FC", "^wine$",
                        "-R", "^" + re.escape(test) + "$"], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=False)
        ran = lines_run(build, top, gcov)
        executable.update(ran)
        for key, count in ran.items():
            if count:
                runners.setdefault(key, []).append(test)
        print(f"\r{index}/{len(tests)} tests", end="", file=sys.stderr, flush=True)
    print(file=sys.stderr)
    with open(output, "w", encoding="utf-8") as out:
        for relative, line in sorted(executable):
            out.write(f"{relative}\x1f{line}\x1f{' '.join(runners.get((relative, line), []))}\n")


if __name__ == "__main__":
    main()
