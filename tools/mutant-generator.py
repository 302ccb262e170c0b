#!/usr/bin/env python3
"""Mutants nobody chose: every mutant a fixed set of operators makes of the given lines of the
product's C++ sources, written as the mutation check's list (the format of tests/mutants.txt), for
tools/mutants.sh to apply, build and test one by one.

    mutant-generator.py --entries LIST...  |  --apply FILE FIND REPLACE LINE
    mutant-generator.py [--per-line] [--sample N [--per-layer]] [--shuffle] [--seed TEXT] [--stats] FILE[:LINES] ...

FILE is below the top of the tree (src/...); LINES is "12,40-52" (every line of the file without
it). With --per-line, one mutant of each line, drawn at random (seeded by TEXT) among those not
recorded as equivalent: a test that misses a line's decision is found by one mutant of it as well
as by all of them, in a fraction of the time (the lines of src/ make about 2.5 mutants each).
With --sample, N mutants drawn at random (seeded by TEXT, so one change always draws the
same ones) instead of all; with --per-layer, N of each layer (src/<layer>/), so that a sample of
the whole product scores each layer. --shuffle writes them in an order drawn the same way, so
that the part of a long run done so far is a fair sample of the whole. --stats prints, on
standard error, how many each operator made. A mutant's entry finds its line by its whole text;
a line whose text occurs more than once in its file ("return false;", "if (code != ERROR_SUCCESS) {")
is also given its number (line:), which holds for the tree the list was made of.

The operators, each applied where it fits a line's code (never inside a string, a character
literal or a comment):
  relational   < <= > >= swapped with their neighbour and negated (< becomes <= and >=)
  equality     == and != exchanged
  logical      && and || exchanged; a ! before an operand dropped
  condition    the condition of an if or a while replaced by true and by false
  constant     a decimal number moved by one either way, and multiplied and divided by ten
  statement    a call or an assignment on a line of its own removed
  success      an error code in a return made ERROR_SUCCESS; return true and false exchanged
  arguments    the two arguments of a call exchanged when both are plain names
Each mutant's tests: the test suites of the test files that include the mutated file's header or
are named after it (Expiration.cpp: ExpirationTest.cpp); tools/mutants.sh runs them first, and
the whole suite for a mutant they leave alive.
"""

import argparse
import collections
import os
import random
import re
import sys

TOP = os.path.realpath(os.path.join(os.path.dirname(__file__), ".."))


def mask(line):
    """The line with every character inside a string or character literal, and every comment,
    replaced by a blank: operators are looked for in what is left."""
    out = []
    quote = None
    index = 0
    while index < len(line):
        char = line[index]
        if quote:
            out.append(" ")
            if char == "\\":
                out.append(" ")
                index += 2
                continue
            if char == quote:
                quote = None
        elif line.startswith("//", index):
            out.append(" " * (len(line) - index))
            break
        elif char in "\"'":
            # A digit separator (1'000) is no character literal.
            if char == "'" and index > 0 and line[index - 1].isdigit():
                out.append(char)
            else:
                quote = char
                out.append(" ")
        else:
            out.append(char)
        index += 1
    return "".join(out)[: len(line)]


def matching_paren(code, open_index):
    depth = 0
    for index in range(open_index, len(code)):
        if code[index] == "(":
            depth += 1
        elif code[index] == ")":
            depth -= 1
            if depth == 0:
                return index
    return -1


def replaced(line, start, end, text):
    return line[:start] + text + line[end:]


RELATIONAL = {"<": ["<=", ">="], "<=": ["<", ">"], ">": [">=", "<="], ">=": [">", "<"]}
EQUALITY = {"==": ["!="], "!=": ["=="]}
LOGICAL = {"&&": ["||"], "||": ["&&"]}
CONDITION = re.compile(r"\b(if|while) \(")
NUMBER = re.compile(r"(?<![\w.'])(\d[\d']*)(?:[uUlL]*|ms|s|min|h)(?![\w.'])")
CALL_STATEMENT = re.compile(r"^\s*(?:[A-Za-z_][\w]*(?:::|\.|->))*[A-Za-z_]\w*\(.*\);$")
ASSIGNMENT = re.compile(r"^\s*[A-Za-z_][\w.\->\[\]]* (?:=|\+=|-=|\|=|&=) [^=].*;$")
ERROR_CODE = re.compile(r"\bERROR_(?!SUCCESS\b)[A-Z_]+\b")
TWO_NAMES = re.compile(r"\(([A-Za-z_][\w.]*), ([A-Za-z_][\w.]*)\)")


def mutants_of_line(line, starts_statement=True):
    """(operator, description, mutated line) for each mutant the operators make of one line;
    `starts_statement` says whether the line begins a statement (the line before ended one)."""
    stripped = line.strip()
    if not stripped or stripped.startswith(("#", "//", "/*", "*", "static_assert", "namespace", "using ")):
        return []
    code = mask(line).rstrip()
    found = []
    # One && or || exchanged among others would mix the two unparenthesised, which the build
    # refuses (-Wparentheses): only a line with one of them, whole, is given that mutant.
    logical_operators = len(re.findall(r" (?:&&|\|\|) ", code))
    continued = code.lstrip().startswith(("&&", "||")) or code.endswith(("&&", "||"))
    for table, operator in ((RELATIONAL, "relational"), (EQUALITY, "equality"), (LOGICAL, "logical")):
        if table is LOGICAL and (logical_operators != 1 or continued):
            continue
        # Spaced, as the formatter writes binary operators: a template's angle brackets are not.
        for match in re.finditer(r" (" + "|".join(re.escape(k) for k in sorted(table, key=len, reverse=True)) + r") ",
                                 code):
            for other in table[match.group(1)]:
                found.append((operator, f"{match.group(1)} to {other}",
                              replaced(line, match.start(1), match.end(1), other)))
    for match in re.finditer(r"(?<![\w)\]!=])!(?=[A-Za-z_(])", code):
        found.append(("logical", "! dropped", replaced(line, match.start(), match.end(), "")))

    for match in CONDITION.finditer(code):
        close = matching_paren(code, match.end() - 1)
        if close > match.end():
            # With an init-statement (if (auto x = ...; cond)), only the condition after it.
            start = match.end()
            depth = 0
            for index in range(match.end(), close):
                depth += {"(": 1, ")": -1}.get(code[index], 0)
                if code[index] == ";" and depth == 0:
                    start = index + 2
            for value in ("true", "false"):
                found.append(("condition", f"{match.group(1)} condition to {value}",
                              replaced(line, start, close, value)))

    for match in NUMBER.finditer(code):
        if code[max(0, match.start() - 2):match.start()] == "0x":
            continue
        digits = match.group(1)
        value = int(digits.replace("'", ""))
        choices = [value + 1] + ([value - 1, value * 10] if value > 0 else []) + ([value // 10] if value >= 10 else [])
        for other in dict.fromkeys(choices):
            found.append(("constant", f"{digits} to {other}", replaced(line, match.start(1), match.end(1), str(other))))

    balanced = code.count("(") == code.count(")")
    if (starts_statement and balanced and not stripped.startswith("return ") and
            (CALL_STATEMENT.match(code) or ASSIGNMENT.match(code))):
        found.append(("statement", "removed", ""))

    if stripped.startswith("return "):
        for match in ERROR_CODE.finditer(code):
            found.append(("success", f"{match.group(0)} to ERROR_SUCCESS",
                          replaced(line, match.start(), match.end(), "ERROR_SUCCESS")))
        for word, other in (("true", "false"), ("false", "true")):
            if stripped == f"return {word};":
                found.append(("success", f"return {word} to {other}", line.replace(word, other)))

    for match in TWO_NAMES.finditer(code):
        first, second = match.group(1), match.group(2)
        if first != second and match.start() > 0 and (code[match.start() - 1].isalnum() or code[match.start() - 1] == "_"):
            found.append(("arguments", f"{first} and {second} exchanged",
                          replaced(line, match.start(), match.end(), f"({second}, {first})")))
    return found


def mutants_of_lines(lines):
    """(line number, mutant) for every mutant of a file's lines, each judged with the line before."""
    previous = ""
    for number, line in enumerate(lines, 1):
        starts = previous == "" or previous.endswith((";", "{", "}", ":")) or previous.lstrip().startswith("#")
        for mutant in mutants_of_line(line, starts):
            yield number, mutant
        code = mask(line).strip()
        if code:
            previous = code


def suites_touching(path):
    """The test suites of the test files that include the file's header or are named after it."""
    header = re.sub(r"\.cpp$", ".h", os.path.relpath(path, os.path.join(TOP, "src")))
    own_test = re.sub(r"\.(cpp|h)$", "Test.cpp", os.path.basename(path))
    suites = set()
    for folder, _, files in os.walk(os.path.join(TOP, "tests")):
        for name in files:
            if not name.endswith(".cpp"):
                continue
            with open(os.path.join(folder, name), encoding="utf-8") as file:
                text = file.read()
            if f'#include "{header}"' in text or name == own_test:
                suites.update(re.findall(r"^TEST(?:_F)?\((\w+),", text, re.MULTILINE))
    return sorted(suites)


def parse_lines(text, count):
    if not text:
        return set(range(1, count + 1))
    lines = set()
    for part in text.split(","):
        first, _, last = part.partition("-")
        lines.update(range(int(first), int(last or first) + 1))
    return lines


def layer(relative):
    """The layer a source belongs to: its folder below src/."""
    parts = relative.split("/")
    return parts[1] if len(parts) > 2 and parts[0] == "src" else ""


FIELDS = ("mutant", "file", "find", "replace", "tests", "equivalent", "line")


def entries(path):
    """The entries of a list in the format of tests/mutants.txt: blocks of "key: value" lines
    separated by blank lines, "#" starting a comment line."""
    found, entry = [], {}
    for line in open(path, encoding="utf-8").read().splitlines() + [""]:
        if line.startswith("#"):
            continue
        if not line.strip():
            if entry:
                found.append({key: entry.get(key, "") for key in FIELDS})
            entry = {}
            continue
        key, _, value = line.partition(":")
        entry[key.strip()] = value[1:] if value.startswith(" ") else value
    return found


def listed_equivalents():
    """The mutants tests/mutants.txt records as equivalent, with the reason, by file, change and
    line number (empty for a line found by its text alone): a generated mutant that is one of them
    is written with that reason and not run again."""
    return {(entry["file"], entry["find"].strip(), entry["replace"].strip(), entry["line"]): entry["equivalent"]
            for entry in entries(os.path.join(TOP, "tests", "mutants.txt")) if entry["equivalent"]}


def apply(path, find, replace, at):
    """Writes the mutant into the file: its text replaced where it occurs once in the file, or on
    line `at` when given (a line whose text occurs more than once). Returns why it could not."""
    with open(path, encoding="utf-8") as file:
        text = file.read()
    if at:
        lines = text.split("\n")
        number = int(at)
        if not 0 < number <= len(lines) or find not in lines[number - 1]:
            return f"line {number} of the file is not the text"
        lines[number - 1] = lines[number - 1].replace(find, replace, 1)
        text = "\n".join(lines)
    elif text.count(find) != 1:
        return f"the text occurs {text.count(find)} times in the file"
    else:
        text = text.replace(find, replace, 1)
    with open(path, "w", encoding="utf-8") as file:
        file.write(text)
    return ""


def one_per_line(mutants, seed):
    """One mutant of each line (named "file:line: ..."), drawn with the seed, one recorded as
    equivalent only where the line has no other."""
    by_line = {}
    for mutant in mutants:
        by_line.setdefault(mutant["mutant"].split(": ")[0], []).append(mutant)
    chosen = []
    for line, group in sorted(by_line.items()):
        # A draw of its own for each line: lines added or removed elsewhere change no other choice.
        chosen.append(random.Random(f"{seed} {line}").choice([mutant for mutant in group if not mutant["equivalent"]]
                                                            or group))
    return chosen


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--per-line", action="store_true")
    parser.add_argument("--sample", type=int)
    parser.add_argument("--seed", default="")
    parser.add_argument("--per-layer", action="store_true")
    parser.add_argument("--shuffle", action="store_true")
    parser.add_argument("--stats", action="store_true")
    parser.add_argument("--entries", action="store_true")
    parser.add_argument("--apply", action="store_true")
    parser.add_argument("files", nargs="+")
    arguments = parser.parse_args()
    if arguments.apply:
        # For tools/mutants.sh: FILE FIND REPLACE LINE ("" for a text that occurs once).
        sys.exit(apply(*arguments.files) or None)
    if arguments.entries:
        # For tools/mutants.sh: each entry of the lists given, a line each, its fields separated by
        # the unit separator (which no field may hold).
        for path in arguments.files:
            for entry in entries(path):
                fields = [entry[key] for key in FIELDS]
                if any("\x1f" in field for field in fields):
                    sys.exit("a field holds the unit separator: " + fields[0])
                print("\x1f".join(fields))
        return
    equivalents = listed_equivalents()

    mutants = []
    for argument in arguments.files:
        relative, _, line_text = argument.partition(":")
        path = os.path.join(TOP, relative)
        with open(path, encoding="utf-8") as file:
            text = file.read()
        lines = text.split("\n")
        tests = "|".join(suites_touching(path))
        wanted = parse_lines(line_text, len(lines))
        for number, (operator, description, mutated) in mutants_of_lines(lines):
            line = lines[number - 1]
            if number not in wanted:
                continue
            at = "" if text.count(line) == 1 else str(number)
            mutants.append({"mutant": f"{relative}:{number}: {operator}: {description}", "file": relative,
                            "find": line, "replace": mutated, "tests": tests, "operator": operator,
                            "equivalent": equivalents.get((relative, line.strip(), mutated.strip(), at), ""),
                            "line": at})
    # The same change at two places of a line (each "2" of it made "1"): the column where each
    # differs makes its name its own, as a run that goes on later finds its mutants by name.
    names = collections.Counter(mutant["mutant"] for mutant in mutants)
    for mutant in mutants:
        if names[mutant["mutant"]] > 1:
            find, replace = mutant["find"], mutant["replace"]
            column = next(i for i, (a, b) in enumerate(zip(find, replace + "\0")) if a != b) + 1
            mutant["mutant"] += f" (column {column})"
    if arguments.per_line:
        mutants = one_per_line(mutants, arguments.seed)
    if arguments.sample is not None:
        groups = {}
        for mutant in mutants:
            groups.setdefault(layer(mutant["file"]) if arguments.per_layer else "", []).append(mutant)
        draw = random.Random(arguments.seed)
        mutants = []
        for _, group in sorted(groups.items()):
            mutants += draw.sample(group, arguments.sample) if len(group) > arguments.sample else group
        mutants.sort(key=lambda mutant: mutant["mutant"])
    if arguments.shuffle:
        random.Random(arguments.seed).shuffle(mutants)
    if arguments.stats:
        counts = {}
        for mutant in mutants:
            counts[mutant["operator"]] = counts.get(mutant["operator"], 0) + 1
        print(f"{len(mutants)} mutants: " + ", ".join(f"{k} {v}" for k, v in sorted(counts.items())) +
              f"; {sum(1 for mutant in mutants if mutant['line'])} on lines found by number", file=sys.stderr)
    print("# Generated by tools/mutant-generator.py " + " ".join(sys.argv[1:]))
    for mutant in mutants:
        print()
        for key in FIELDS:
            if mutant[key] or key in ("find", "replace"):
                print(f"{key}: {mutant[key]}" if mutant[key] else f"{key}:")


if __name__ == "__main__":
    main()
