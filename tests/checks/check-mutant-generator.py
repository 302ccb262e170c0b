#!/usr/bin/env python3
"""The mutant generator's own check.

    check-mutant-generator.py TOP COMPILE-COMMANDS

1. Each operator makes exactly the mutants it should of lines written for it, and nothing inside a
   string, a character literal or a comment; one mutant of each line is drawn among those that
   are not recorded as equivalent; a mutant of a line whose text is not unique is applied by its
   number.
2. Mutants of the product's own sources compile: a fixed sample of them, each compiled (syntax and
   types, no code) with its source's own command from the build. A mutant that does not compile
   costs a build and finds nothing, so at most MAXIMUM_SHARE of them may fail.
"""

import importlib.util
import json
import os
import random
import re
import shlex
import subprocess
import sys
import tempfile

SAMPLE = 24
MAXIMUM_SHARE = 0.25

top, commands_path = sys.argv[1], sys.argv[2]
definition = importlib.util.spec_from_file_location("generator", os.path.join(top, "tools", "mutant-generator.py"))
generator = importlib.util.module_from_spec(definition)
definition.loader.exec_module(generator)
failures = []

# 1. The operators, line by line: (line, the mutated lines expected, in the generator's order).
expected = [
    ("    if (expire < now) {",
     ["    if (expire <= now) {", "    if (expire >= now) {", "    if (true) {", "    if (false) {"]),
    ("    return a == b && !c;",
     ["    return a != b && !c;", "    return a == b || !c;", "    return a == b && c;"]),
    ("    return a && b && c;", []),
    ("    if (const auto read = Get(name, type); read != ERROR_SUCCESS) {",
     ["    if (const auto read = Get(name, type); read == ERROR_SUCCESS) {",
      "    if (const auto read = Get(name, type); true) {", "    if (const auto read = Get(name, type); false) {",
      "    if (const auto read = Get(type, name); read != ERROR_SUCCESS) {"]),
    ("    Sleep(500);", ["    Sleep(501);", "    Sleep(499);", "    Sleep(5000);", "    Sleep(50);", ""]),
    ("        return ERROR_NOT_FOUND;", ["        return ERROR_SUCCESS;"]),
    ("    return false;", ["    return true;"]),
    ("    count += 1'000;", ["    count += 1001;", "    count += 999;", "    count += 10000;", "    count += 100;", ""]),
    ('    Log(Component, LogLevel::Warn, "a < b && !c == 1");  // x > 2', [""]),
    ("    const char quote = '<';", []),
    ("#include <map>", []),
]
for line, mutated in expected:
    made = [mutant[2] for mutant in generator.mutants_of_line(line)]
    if made != mutated:
        failures.append(f"operators: {line.strip()!r} made {made}, not {mutated}")

# A call's last line, below its first, is no statement of its own: it is not removed.
continued = [mutant for number, mutant in generator.mutants_of_lines(["    Log(Component,", "        Format(now));"])
             if number == 2]
if continued:
    failures.append(f"operators: the continuation of a call made {continued}")

# One mutant of each line, never one recorded as equivalent while the line has another.
made = [{"mutant": f"src/a.cpp:{line}: {operator}: x", "equivalent": equivalent}
        for line, operator, equivalent in [(3, "constant", "reason"), (3, "condition", ""), (12, "constant", "reason"),
                                           (12, "statement", "reason"), (30, "statement", "")]]
for seed in ("a", "b", "c"):
    chosen = [mutant["mutant"] for mutant in generator.one_per_line(made, seed)]
    if sorted(name.split(": ")[0] for name in chosen) != ["src/a.cpp:12", "src/a.cpp:3", "src/a.cpp:30"] or \
            "src/a.cpp:3: condition: x" not in chosen:
        failures.append(f"one mutant a line: seed {seed} chose {chosen}")

# A line whose text occurs twice is changed only where its number says, and never found by text.
with tempfile.TemporaryDirectory() as work:
    path = os.path.join(work, "twice.cpp")
    original = "if (a) {\n    return false;\n}\n    return false;\n"
    for at, expected_text, expected_why in (
            ("4", "if (a) {\n    return false;\n}\n    return true;\n", ""),
            ("", original, "the text occurs 2 times in the file"),
            ("3", original, "line 3 of the file is not the text")):
        with open(path, "w", encoding="utf-8") as file:
            file.write(original)
        why = generator.apply(path, "    return false;", "    return true;", at)
        if why != expected_why or open(path, encoding="utf-8").read() != expected_text:
            failures.append(f"applying on line {at or 'found by text'}: {why!r}")

# 2. A fixed sample of the product's mutants, compiled as the build compiles their sources.
with open(commands_path, encoding="utf-8") as file:
    commands = {os.path.realpath(entry["file"]): entry for entry in json.load(file)}
candidates = []
for source in sorted(commands):
    relative = os.path.relpath(source, top)
    if not relative.startswith("src" + os.sep) or not source.endswith(".cpp"):
        continue
    lines = open(source, encoding="utf-8").read().split("\n")
    candidates += [(source, number, mutant) for number, mutant in generator.mutants_of_lines(lines)]
sample = random.Random("mutant generator check").sample(candidates, min(SAMPLE, len(candidates)))
broken = []
with tempfile.TemporaryDirectory() as work:
    for source, number, (operator, description, mutated) in sample:
        lines = open(source, encoding="utf-8").read().split("\n")
        lines[number - 1] = mutated
        copy = os.path.join(work, os.path.basename(source))
        with open(copy, "w", encoding="utf-8") as file:
            file.write("\n".join(lines))
        entry = commands[source]
        arguments = entry["arguments"] if "arguments" in entry else shlex.split(entry["command"])
        # The build's own command, with the source replaced by the mutated copy and no output.
        compile_only = []
        skip = False
        for argument in arguments:
            if skip:
                skip = False
                continue
            if argument == "-o":
                skip = True
                continue
            if argument in ("-c", source, entry["file"]):
                continue
            compile_only.append(argument)
        result = subprocess.run(compile_only + ["-fsyntax-only", copy], cwd=entry["directory"],
                                capture_output=True, text=True)
        if result.returncode != 0:
            broken.append(f"{os.path.relpath(source, top)}:{number}: {operator}: {description}")
share = len(broken) / len(sample)
print(f"mutant generator: {len(candidates)} mutants of src/*.cpp; of a sample of {len(sample)}, "
      f"{len(broken)} do not compile ({share:.0%}, at most {MAXIMUM_SHARE:.0%} allowed)")
for name in broken:
    print("  does not compile: " + name)
if share > MAXIMUM_SHARE:
    failures.append(f"{share:.0%} of the sampled mutants do not compile")

for failure in failures:
    print("FAILED: " + failure)
sys.exit(1 if failures else 0)
