#!/usr/bin/env bash
# Fails when product code reaches the file system through the C runtime instead of the Windows API.
#   check-file-system-access.sh SOURCE-FOLDER [EXECUTABLE]
#
# On Windows msvcrt's stat rejects every path that contains '?', so the std::filesystem
# operations built on it see no "\\?\" path, the form the product works in. Wine accepts such
# paths, so no test run under Wine notices. Hence this check: in the sources, no std::filesystem
# operation that touches the disk, no C runtime path function, no C++ file stream; in the
# executable's import table, no C runtime file function. std::filesystem::path as a value is fine.
set -uo pipefail
[ $# -ge 1 ] || { echo "usage: $0 SOURCE-FOLDER [EXECUTABLE]" >&2; exit 2; }
sources=$1
executable=${2:-}

filesystem_operations='absolute|canonical|copy|copy_file|copy_symlink|create_directory|create_directories|create_directory_symlink|create_hard_link|create_symlink|current_path|directory_entry|directory_iterator|equivalent|exists|file_size|hard_link_count|is_block_file|is_character_file|is_directory|is_empty|is_fifo|is_other|is_regular_file|is_socket|is_symlink|last_write_time|permissions|proximate|read_symlink|recursive_directory_iterator|relative|remove|remove_all|rename|resize_file|space|status|symlink_status|temp_directory_path|weakly_canonical'
runtime_functions='_w?stat(32|64)?(i32|i64)?|_w?fstat(32|64)?(i32|i64)?|_w?fopen(_s)?|fopen(64|_s)?|_w?fsopen|_w?open|_w?sopen(_s)?|_w?access(_s)?|_w?mkdir|_w?rmdir|_w?rename|_w?remove|_w?unlink'
forbidden="filesystem::($filesystem_operations)\b"
forbidden+="|using namespace std::filesystem|namespace [A-Za-z_]+ = std::filesystem"  # aliases would hide calls
forbidden+="|(^|[^A-Za-z0-9_.>])($runtime_functions)[[:space:]]*\("
forbidden+="|std::(basic_|w)?(i|o)?fstream|std::(basic_|w)?filebuf|#include <fstream>"

found=0
while IFS= read -r -d '' file; do
  # Comments may name what they explain; only code counts.
  hits=$(sed -E 's://.*$::' "$file" | grep -nE "$forbidden")
  if [ -n "$hits" ]; then
    printf '%s\n' "$hits" | sed "s|^|$file:|"
    found=1
  fi
done < <(find "$sources" -type f \( -name '*.cpp' -o -name '*.h' \) -print0 | sort -z)

if [ -n "$executable" ]; then
  # binutils 2.40 (Debian 12) lists an import as "<address><tab> <hint> <name>", 2.44 (Debian 13)
  # as "<address>  <ordinal or <none>>  <hint> <name>".
  imports=$(x86_64-w64-mingw32-objdump -p "$executable" | awk '/^\tDLL Name:/ { dll = $3 }
    /^\t+[0-9a-f]+(\t +[0-9]+| +(<none>|[0-9]+) +[0-9a-f]+) +[^ ]+$/ { print dll ": " $NF }')
  if [ -z "$imports" ]; then
    echo "$executable: no import table read" >&2
    exit 1
  fi
  hits=$(printf '%s\n' "$imports" | grep -E ": ($runtime_functions|rename|remove)$")
  if [ -n "$hits" ]; then
    printf '%s\n' "$hits" | sed "s|^|$executable imports |"
    found=1
  fi
fi

if [ "$found" -ne 0 ]; then
  echo "Product code must use the Windows API for the file system (see common/foundation/FileSystem.h)." >&2
  exit 1
fi
echo "file-system access: Windows API only"
