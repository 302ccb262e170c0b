#!/usr/bin/env python3
"""clang-tidy over the given sources, each analysed only when what it analyses has changed.

   clang-tidy-cached.py BUILD TOP LLVM-VERSION REPORTS CACHE INCLUDE JOBS FILE...

Each FILE's compile command comes from BUILD/compile_commands.json. A file's key is the SHA-256 of
its preprocessed text (comments kept, so a NOLINT counts; the clone's own folder replaced, so
another clone of the same commit hits), of clang-tidy's version, of the checks (TOP/.clang-tidy)
and of the arguments added here. A key met before gives the report and exit status kept under it
in CACHE; any other is analysed, and its report and status are kept. Each file's report goes to
REPORTS/<path with / as _>.log; a file whose clang-tidy failed (a crash, a refused check or option)
is listed in REPORTS/failed with its status. Entries unused for 30 days are removed.
"""

import concurrent.futures
import hashlib
import json
import os
import shlex
import subprocess
import sys
import time

UNUSED_DAYS = 30


def preprocess_command(entry, include):
    """The file's compile command turned into one that writes its preprocessed text, comments kept."""
    words = shlex.split(entry["command"])
    kept = []
    skip = False
    for word in words:
        if skip:
            skip = False
            continue
        if word == "-o":
            skip = True
            continue
        if word == "-c":
            continue
        kept.append(word)
    return kept + ["-E", "-C", "-include", include, "-o", "-"]


def main():
    build, top, llvm, reports, cache, include, jobs = sys.argv[1:8]
    files = sys.argv[8:]
    os.makedirs(cache, exist_ok=True)
    with open(os.path.join(build, "compile_commands.json"), encoding="utf-8") as commands:
        entries = {os.path.realpath(entry["file"]): entry for entry in json.load(commands)}
    tidy = f"clang-tidy-{llvm}"
    added = ["--quiet", "--extra-arg=-include", f"--extra-arg={include}", "--extra-arg=-Xclang",
             "--extra-arg=-analyzer-inlining-mode=all"]
    version = subprocess.run([tidy, "--version"], capture_output=True, text=True, check=True).stdout
    with open(os.path.join(top, ".clang-tidy"), "rb") as checks:
        fixed = hashlib.sha256(version.encode() + checks.read() + " ".join(added).replace(top, "@TOP@").encode())

    def run(path):
        absolute = os.path.realpath(os.path.join(top, path))
        report = os.path.join(reports, path.replace("/", "_") + ".log")
        entry = entries.get(absolute)
        if entry is None:
            with open(report, "w", encoding="utf-8") as out:
                out.write(f"{path}: no compile command in {build}/compile_commands.json\n")
            return path, 1, False
        text = subprocess.run(preprocess_command(entry, include), cwd=entry["directory"], capture_output=True)
        key = fixed.copy()
        key.update(text.stdout.replace(top.encode(), b"@TOP@"))
        key.update(str(text.returncode).encode())
        stem = os.path.join(cache, key.hexdigest())
        if os.path.exists(stem + ".status"):
            with open(stem + ".status", encoding="utf-8") as status, open(stem + ".log", "rb") as kept:
                code = int(status.read())
                data = kept.read()
            with open(report, "wb") as out:
                out.write(data)
            os.utime(stem + ".status")
            return path, code, True
        analysed = subprocess.run([tidy, "-p", build, *added, absolute], cwd=top, capture_output=True)
        with open(report, "wb") as out:
            out.write(analysed.stdout + analysed.stderr)
        # The report first, the status last: an entry with a status is whole.
        with open(stem + ".log", "wb") as out:
            out.write(analysed.stdout + analysed.stderr)
        with open(stem + ".status.tmp", "w", encoding="utf-8") as out:
            out.write(str(analysed.returncode))
        os.replace(stem + ".status.tmp", stem + ".status")
        return path, analysed.returncode, False

    failed = []
    hits = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=int(jobs)) as pool:
        for path, code, hit in pool.map(run, files):
            hits += 1 if hit else 0
            if code != 0:
                failed.append(f"{path} (clang-tidy exited with {code})")
    if failed:
        with open(os.path.join(reports, "failed"), "a", encoding="utf-8") as out:
            out.write("\n".join(failed) + "\n")
    now = time.time()
    for name in os.listdir(cache):
        full = os.path.join(cache, name)
        if name.endswith(".status") and now - os.path.getmtime(full) > UNUSED_DAYS * 86400:
            for suffix in (".status", ".log"):
                try:
                    os.remove(full[: -len(".status")] + suffix)
                except FileNotFoundError:
                    pass
    print(f"lint: clang-tidy analysed {len(files) - hits} file(s), took {hits} from its cache ({cache})")


if __name__ == "__main__":
    main()
