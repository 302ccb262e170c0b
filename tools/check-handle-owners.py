#!/usr/bin/env python3
"""A handle the platform returns goes into its owner in the statement that opens it (make lint).

    check-handle-owners.py OWNERSHIP-HEADER FILE...

The static analyser follows a handle only until the first call that takes it: a HANDLE is a
pointer, and any call that is handed one may have kept it, so a handle used once and then leaked
on an error path goes unseen. Held by its owner from the start, a handle has nothing to leak. So
every call that returns a handle (the ones the ownership header marks as opening, and the ones it
cannot mark because they answer INVALID_HANDLE_VALUE) must stand in a statement that names an
owner, or that says in a comment which object owns it ("// owned by ...", for an owner's own
member). Prints each statement that breaks the rule and fails.
"""

import re
import sys

# The calls that return a handle without the header's mark: they fail with INVALID_HANDLE_VALUE.
UNMARKED_OPENERS = ["CreateFileW", "FindFirstFileExW"]
# The owners: the handle classes and the factories that make one.
OWNERS = re.compile(r"\b(WinHandle|OwnServiceHandle|UniqueLibrary|ProcessHandle|Scoped)\b|//\s*owned by ")


def openers(header):
    text = open(header, encoding="utf-8").read()
    return re.findall(r"^RAVELIN_OPENS\s+\w+\s+WINAPI\s+(\w+)\(", text, re.M) + UNMARKED_OPENERS


def statement_around(text, position):
    """The statement that holds the position: back to the previous ';', '{' or '}' outside
    parentheses, forward to the next ';' or '{' outside them, with the rest of its last line."""
    depth = 0
    start = position
    while start > 0:
        character = text[start - 1]
        if character == ")":
            depth += 1
        elif character == "(":
            if depth == 0:
                pass  # the opening parenthesis of a condition: the statement goes on before it
            else:
                depth -= 1
        elif character in ";{}" and depth == 0:
            break
        start -= 1
    depth = 0
    end = position
    while end < len(text):
        character = text[end]
        if character == "(":
            depth += 1
        elif character == ")":
            depth -= 1
        elif character in ";{" and depth <= 0:
            break
        end += 1
    line_end = text.find("\n", end)
    return text[start:line_end if line_end != -1 else len(text)]


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__.strip().splitlines()[2].strip())
    calls = re.compile(r"(?<![\w:.>])(%s)\s*\(" % "|".join(openers(sys.argv[1])))
    broken = []
    for path in sys.argv[2:]:
        text = open(path, encoding="utf-8").read()
        for found in calls.finditer(text):
            statement = statement_around(text, found.start())
            if not OWNERS.search(statement):
                line = text.count("\n", 0, found.start()) + 1
                broken.append("%s:%d: %s returns a handle that no owner takes in the same statement:\n    %s"
                              % (path, line, found.group(1), " ".join(statement.split())))
    for entry in broken:
        print(entry)
    if broken:
        sys.exit("handle owners: %d handle(s) opened before an owner holds them; put the call inside the "
                 "owner's construction (WinHandle::Create(OpenProcess(...)), OwnServiceHandle(...))" % len(broken))
    print("handle owners: every handle the platform returns goes into its owner at once (%d files)"
          % (len(sys.argv) - 2))


if __name__ == "__main__":
    main()
