#!/usr/bin/env bash
# The integration guide's tables against the code's own constants: every registry value, command
# word, exit code and trace GUID that one side names, the other must name too.
#   check-integration-document.sh GUIDE SOURCE-FOLDER
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 GUIDE SOURCE-FOLDER" >&2; exit 2; }
guide=$1
src=$2
failed=0

# The lines of the guide under the "## " heading, up to the next one.
section() { awk -v heading="## $1" '$0 == heading { on = 1; next } /^## / { on = 0 } on' "$guide"; }
# The first cell of each table row, when it is written as code.
first_cells() { sed -nE 's/^\| `([^`]*)` \|.*/\1/p'; }

# compare WHAT CODE-LIST GUIDE-LIST
compare() {
  local only_code only_guide
  only_code=$(comm -23 <(sort -u <<<"$2") <(sort -u <<<"$3") | sed '/^$/d')
  only_guide=$(comm -13 <(sort -u <<<"$2") <(sort -u <<<"$3") | sed '/^$/d')
  if [ -n "$only_code" ]; then
    echo "$1 in the code but not in $guide:"; sed 's/^/  /' <<<"$only_code"; failed=1
  fi
  if [ -n "$only_guide" ]; then
    echo "$1 in $guide but not in the code:"; sed 's/^/  /' <<<"$only_guide"; failed=1
  fi
  if [ -z "$only_code$only_guide" ]; then
    echo "$1: $(sort -u <<<"$2" | wc -l) agree"
  fi
}

# Registry values: the names the registry layout declares.
code=$(sed -nE 's/^inline constexpr const char\* [A-Za-z]+ = "([A-Za-z]+)";/\1/p' \
  "$src/configuration/RegistryLayout.h")
compare "registry values" "$code" "$(section 'Registry values' | first_cells)"

# Command words: the switches and options the command line is searched for, and the state words.
code=$( (grep -ohE '(FindSwitch\(upper|GetOptionValue\(commandLine), "[^"]+"' \
           "$src/configuration/Configuration.cpp" | sed -E 's/.*"([^"]+)"/\1/'
         grep -ohE '"[A-Z_]{4,}"' "$src/state/StateCommand.cpp" | tr -d '"'))
guide_words=$(section 'Command line' | first_cells | sed -E 's#^(/[A-Z_]+=)([A-Z_]+)$#\1\n\2#')
compare "command words" "$code" "$guide_words"

# Exit codes: the Windows codes the command's own steps return (the entry and the agent, the state
# words, the service wait, the Security Center command and the remediation launch), and the fixed
# codes of the exception barrier and of the service wait.
code=$( (grep -h 'return' "$src"/agent/*.cpp "$src/state/StateCommand.cpp" \
           "$src/security_center/TriggerWindowsSecurityCenter.cpp" \
           "$src/security_center/WindowsSecurityCenterService.cpp" \
           "$src/security_center/RemediationLaunch.cpp" | grep -oE 'ERROR_[A-Z_]+'
         sed -nE 's/.*static constexpr std::uint32_t [A-Za-z]+Code = (0x[0-9A-F]{8});.*/\1/p' \
           "$src/diagnostics/Exception.h" "$src/security_center/WindowsSecurityCenterService.h"))
guide_codes=$(section 'Exit codes' | grep -oE '^\| (0x[0-9A-F]{8}|[0-9]+) \| (`ERROR_[A-Z_]+`)?' |
  sed -E 's/^\| (0x[0-9A-F]{8}) .*/\1/; s/^\| [0-9]+ \| `(ERROR_[A-Z_]+)`/\1/' | grep -E '^(0x|ERROR_)')
compare "exit codes" "$code" "$guide_codes"

# Trace GUIDs: the control and message GUIDs the trace channel registers and sends.
code=$(grep -oE '\{0x[0-9a-f]{8}, 0x[0-9a-f]{4}, 0x[0-9a-f]{4}, \{(0x[0-9a-f]{2}, ){7}0x[0-9a-f]{2}\}\}' \
         "$src/diagnostics/TraceChannel.cpp" | tr -d '{},' |
       while read -r -a n; do
         printf '%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X\n' "${n[@]}"
       done)
guide_guids=$(section 'The trace' | grep -oE '`[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}`' |
  tr -d '`')
compare "trace GUIDs" "$code" "$guide_guids"

exit $failed
