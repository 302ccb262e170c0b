#!/usr/bin/env bash
# The package's third-party notices against the linker's map of the executable they ship with:
# every file of the toolchain the map shows linked (an archive member pulled in, an object loaded),
# and every library compiled in from its installed headers, is named by a notice with its licence
# text or its exception. The bill of materials parses as SPDX 2.3 and names the same components at
# the same versions, each statically linked into the agent.
#   check-third-party-notices.sh MAP NOTICES SPDX-DOCUMENT
set -euo pipefail
[ $# -eq 3 ] || { echo "usage: $0 MAP NOTICES SPDX-DOCUMENT" >&2; exit 2; }
python3 - "$@" <<'PYTHON'
import json, os, re, sys

map_path, notices_path, spdx_path = sys.argv[1:]
text = open(map_path, encoding="utf-8", errors="replace").read()
linked = {os.path.basename(path) for path in re.findall(r"^(/usr/\S+?\.a)\(", text, re.M)}
linked |= {os.path.basename(path) for path in re.findall(r"^LOAD (/usr/\S+\.o)$", text, re.M)}
for length, rest in set(re.findall(r"_ZN[KVr]*(\d+)([A-Za-z_]\w*)", text)):
    namespace = rest[:int(length)]
    if os.path.isdir("/usr/include/" + namespace) or os.path.isdir("/usr/x86_64-w64-mingw32/include/" + namespace):
        linked.add("namespace " + namespace)

notices = open(notices_path, encoding="utf-8").read().replace("\r\n", "\n")
header = re.compile(r"^={78}\n([^\n]+)\n  package: +(\S+) (\S+)\n  linked from: ([^\n]+)\n  licence: +([^\n]+)\n={78}\n", re.M)
heads = list(header.finditer(notices))
sections = []
faults = []
named = {}
for index, head in enumerate(heads):
    title, package, version, inputs = head.group(1), head.group(2), head.group(3), head.group(4)
    body = notices[head.end():heads[index + 1].start() if index + 1 < len(heads) else len(notices)]
    sections.append((title, version))
    for name in inputs.split(", "):
        named[name] = title
    if len(body.strip()) < 200:
        faults.append("the notice of %s carries no licence text" % title)
for name in sorted(linked - named.keys()):
    faults.append("the map links %s, and no notice names it" % name)

try:
    document = json.load(open(spdx_path, encoding="utf-8"))
except ValueError as error:
    sys.exit("the bill of materials is no JSON: %s" % error)
if document.get("spdxVersion") != "SPDX-2.3" or document.get("SPDXID") != "SPDXRef-DOCUMENT":
    faults.append("the bill of materials is not an SPDX 2.3 document")
packages = {package["SPDXID"]: package for package in document.get("packages", [])}
agent = [identifier for identifier, package in packages.items() if package.get("name") == "ravelin"]
linked_ids = {relation["relatedSpdxElement"] for relation in document.get("relationships", [])
              if relation.get("relationshipType") == "STATIC_LINK" and relation.get("spdxElementId") in agent}
described = {packages[identifier]["name"]: packages[identifier] for identifier in linked_ids if identifier in packages}
noticed = dict(sections)
if set(described) != set(noticed):
    faults.append("the bill of materials names %s; the notices name %s" % (sorted(described), sorted(noticed)))
for title, version in noticed.items():
    if title in described and (described[title].get("versionInfo") != version
                               or not described[title].get("licenseConcluded")):
        faults.append("the bill of materials gives %s another version or no licence" % title)

for fault in faults:
    print(fault)
if faults or not sections:
    sys.exit("the third-party notices do not cover the executable")
print("third-party notices: %d components, every linked library named; the bill of materials agrees" % len(sections))
PYTHON
