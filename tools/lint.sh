#!/usr/bin/env bash
# The second compiler and the static analysis (make lint): builds src/, simulator/ and the tests
# with the release's clang (14 on Debian 12, 19 on Debian 13: tools/llvm-version.sh) for the MinGW-w64 target (-Wall -Wextra -Werror, cmake/clang-mingw-w64-x86_64.cmake)
# in a build folder of its own, then runs clang-tidy with the checks of .clang-tidy over every
# source of src/ and simulator/. Fails on any warning of either, and first on a handle opened
# outside its owner's construction (tools/check-handle-owners.py).
#   tools/lint.sh [BUILD-FOLDER]     (make lint; default build-lint)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build-lint}
jobs=$(nproc)
llvm=$("$top/tools/llvm-version.sh")

# What the analyser cannot follow, a rule keeps out: a handle goes into its owner as it is opened.
git -C "$top" ls-files -z -- 'src/*.cpp' 'src/*.h' 'simulator/*.cpp' 'simulator/*.h' |
  (cd "$top" && xargs -0 python3 tools/check-handle-owners.py cmake/lint/HandleOwnership.h)

# Without precompiled headers: clang-tidy reads every file as it is, not a header clang built.
cmake -S "$top" -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/clang-mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_DISABLE_PRECOMPILE_HEADERS=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON --no-warn-unused-cli >/dev/null
echo "lint: building with clang in $build"
cmake --build "$build" -j "$jobs" >"$build/clang-build.log" 2>&1 ||
  { grep -E 'error|warning' "$build/clang-build.log" >&2; echo "lint: the clang build failed ($build/clang-build.log)" >&2; exit 1; }
# The compiler's warnings are errors already; the linker's are not, and count all the same.
if grep -E 'warning:' "$build/clang-build.log" >&2; then
  echo "lint: the clang build warned ($build/clang-build.log)" >&2; exit 1
fi

echo "lint: clang-tidy over src/ and simulator/"
# The analyser also explores each function as a whole, every branch of it, not only as the callers
# in its file call it (which leaves a branch no caller takes unexplored).
# Each file's report is kept, and a clang-tidy that fails (it crashed, refused a check or an option,
# or could not read a file) fails the lint even when it located no finding.
reports=$build/clang-tidy
rm -rf "$reports"
mkdir -p "$reports"
cd "$top"
# A file is analysed again only when its preprocessed text (comments kept), the checks or
# clang-tidy changed: the rest come from the cache (tools/clang-tidy-cached.py), which a later run,
# also from another clone, reuses.
cache=${RAVELIN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/ravelin}/clang-tidy-$llvm
git ls-files -z -- 'src/*.cpp' 'simulator/*.cpp' |
  xargs -0 python3 "$top/tools/clang-tidy-cached.py" "$build" "$top" "$llvm" "$reports" "$cache" \
    "$top/cmake/lint/HandleOwnership.h" "$jobs"
if [ -s "$reports/failed" ]; then
  while read -r file _; do
    echo "== $file"
    sed 's/^/    /' "$reports/$(printf %s "$file" | tr / _).log"
  done <"$reports/failed"
  echo "lint: clang-tidy failed on $(wc -l <"$reports/failed") file(s), reports above and in $reports:" >&2
  sed 's/^/  /' "$reports/failed" >&2
  exit 1
fi
# One line per finding, each once (a header's finding comes once for every file that includes it).
findings=$(cat "$reports"/*.log | grep -E '^[^ ]+:[0-9]+:[0-9]+: (warning|error): ' | sort -u || true)
if [ -n "$findings" ]; then
  printf '%s\n' "$findings"
  echo "lint: $(printf '%s\n' "$findings" | wc -l) finding(s); the details are in $reports" >&2
  exit 1
fi
echo "lint: no warning from clang or clang-tidy ($(ls "$reports"/*.log | wc -l) files)"
