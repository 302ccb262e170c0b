#!/usr/bin/env bash
# The agent's main job, shown in a Wine prefix of its own with the simulated Security Center:
# a demo product's settings are written, the product's commands are run one after another, and
# after each the whole exit code and what Security Center now shows are printed.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
bin=$(realpath "$build/bin")
prefix=$(realpath -m "$build/demo-prefix")
settings='HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\torq1\Settings\integration\security_center'

echo "== Preparing the demo's Windows 10 prefix ($prefix)"
tools/wine-prefix.sh start "$prefix"
trap 'tools/wine-prefix.sh stop "$prefix"' EXIT

wine() { tools/wine-prefix.sh run "$prefix" "$@"; }
wscsim() { wine "$bin/wscsim.exe" "$@"; }

# Registry values the product itself would maintain, imported as a .reg file (QWORDs included).
write_settings() {
  local file
  file=$(mktemp --suffix=.reg)
  { printf 'Windows Registry Editor Version 5.00\r\n\r\n[%s]\r\n' "$settings"; cat; } >"$file"
  wine regedit /s "$(winepath_of "$file")"
  rm -f "$file"
}
winepath_of() { printf 'Z:%s' "${1//\//\\}"; }
qword() {  # seconds -> hex(b) little-endian bytes
  local value=$1 bytes=() i
  for i in 0 1 2 3 4 5 6 7; do bytes+=("$(printf '%02x' $(((value >> (8 * i)) & 255)))"); done
  (IFS=,; printf 'hex(b):%s' "${bytes[*]}")
}

step() {
  printf '\n== %s\n$ ravelin.exe %s\n' "$1" "${*:2}"
  wine "$bin/exitcode.exe" ravelin.exe "${@:2}"
  wscsim show
}

echo "== Installing the simulated Security Center (wscsim install) and starting wscsvc"
wscsim install
wscsim service start

# The remediation tool lives where a product would put it: a folder with blanks in its name.
tool_folder="$prefix/drive_c/Program Files/Demo Antivirus"
mkdir -p "$tool_folder"
cp "$bin/remediationtool.exe" "$tool_folder/"
rm -f "$tool_folder/remediation_calls.txt"

now=$(date +%s)
write_settings <<REG
"DisplayName"="Demo Antivirus"
"RemediationPath"="C:\\\\Program Files\\\\Demo Antivirus\\\\remediationtool.exe"
"ProductInstallationTime"=$(qword $((now - 30 * 86400)))
"DefinitionsUpdateTime"=$(qword $((now - 3600)))
"ExpirationTime"=$(qword $((now + 400 * 86400)))
REG
echo "== Demo product settings written to $settings"

step "Register the product (the state update follows in the same run)" /REGISTER
step "Report the product on" /UPDATE_WSC=ENABLE
step "Report the product snoozed" /UPDATE_WSC=SNOOZE
write_settings <<REG
"ExpirationTime"=$(qword $((now - 86400)))
REG
printf '\n(ExpirationTime set to yesterday)'
step "Re-report the current state after the expiration time changed" /UPDATE_WSC=SET_EXPIRATION_TIME

printf '\n== Security Center asks the agent for remediation\n$ ravelin.exe /AV\n'
wine "$bin/exitcode.exe" ravelin.exe /AV
for _ in $(seq 50); do [ -s "$tool_folder/remediation_calls.txt" ] && break; sleep 0.1; done
printf 'The remediation tool was started as: %s\n' "$(cat "$tool_folder/remediation_calls.txt" 2>/dev/null || echo '(not started)')"

step "Remove the registration" /REMOVE

log="$prefix/drive_c/windows/SystemTemp/ravelin_9E1C8D64_E25A_431A_9C7D_FA4605A88234.log"
printf '\n== The agent log (C:\\windows\\SystemTemp\\%s), last lines\n' "$(basename "$log")"
tail -n 25 "$log" | tr -d '\r' | sed 's/ \[Windows Security Center Agent\]//'
