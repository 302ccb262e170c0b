#!/usr/bin/env bash
# The package's third-party notices against the linker's map of the executable they ship with:
# every file of the toolchain the map shows linked (an archive member pulled in, an object loaded),
# and every library compiled in from its installed headers, is named by a notice with its licence
# text or its exception. The bill of materials parses as SPDX 2.3 and names the same components at
# the same versions, each statically linked into the agent. It holds the NTIA minimum elements (a
# supplier, name, version and unique identifier for every component, the relationships, the
# document's author and time stamp), and every licence expression is valid SPDX: identifiers from
# the SPDX licence and exception lists Debian packages, and LicenseRefs the document defines.
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

# The NTIA minimum elements.
identifiers = [package.get("SPDXID") for package in document.get("packages", [])]
for package in document.get("packages", []):
    name = package.get("name") or package.get("SPDXID") or "a component"
    for element, present in (("name", package.get("name")), ("version", package.get("versionInfo")),
                             ("supplier", str(package.get("supplier", "")).startswith(("Organization: ", "Person: "))),
                             ("unique identifier", identifiers.count(package.get("SPDXID")) == 1)):
        if not present:
            faults.append("NTIA: the component %s has no %s" % (name, element))
    related = any(package.get("SPDXID") in (relation.get("spdxElementId"), relation.get("relatedSpdxElement"))
                  for relation in document.get("relationships", []) if relation.get("spdxElementId") != "SPDXRef-DOCUMENT")
    if not related:
        faults.append("NTIA: the component %s is in no relationship" % name)
creation = document.get("creationInfo", {})
if not any(creator.startswith(("Organization: ", "Person: ")) for creator in creation.get("creators", [])):
    faults.append("NTIA: the document names no author (an Organization or Person among its creators)")
if not re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", creation.get("created", "")):
    faults.append("NTIA: the document has no time stamp")
if not any(relation.get("relationshipType") == "DESCRIBES" for relation in document.get("relationships", [])):
    faults.append("NTIA: the document describes no component")

# The licence expressions against the SPDX lists as Debian packages them.
lists = "/usr/share/nodejs/"
licences = set(json.load(open(lists + "spdx-license-ids/index.json")))
exceptions = set(json.load(open(lists + "spdx-exceptions/index.json")))
defined = {info.get("licenseId") for info in document.get("hasExtractedLicensingInfos", []) if info.get("extractedText")}

def expression_fault(text):
    """Why the text is no valid SPDX licence expression, or None."""
    tokens = re.findall(r"\(|\)|[^\s()]+", text)
    position = 0

    def term():
        nonlocal position
        if position >= len(tokens):
            return "it ends where a licence should stand"
        token = tokens[position]
        position += 1
        if token == "(":
            fault = compound()
            if fault:
                return fault
            if position >= len(tokens) or tokens[position] != ")":
                return "a parenthesis is not closed"
            position += 1
            return None
        if token.startswith("LicenseRef-"):
            if token not in defined:
                return "%s has no text in the document" % token
        elif token.rstrip("+") not in licences:
            return "%s is no SPDX licence identifier" % token
        if position < len(tokens) and tokens[position] == "WITH":
            position += 1
            if position >= len(tokens) or tokens[position] not in exceptions:
                return "%s is no SPDX exception identifier" % (tokens[position] if position < len(tokens) else "nothing")
            position += 1
        return None

    def compound():
        nonlocal position
        fault = term()
        while not fault and position < len(tokens) and tokens[position] in ("AND", "OR"):
            position += 1
            fault = term()
        return fault

    fault = compound()
    if not fault and position != len(tokens):
        fault = "%s stands where AND, OR or the end should" % tokens[position]
    return fault

for package in document.get("packages", []):
    for field in ("licenseConcluded", "licenseDeclared"):
        value = package.get(field, "")
        if value in ("NOASSERTION", "NONE"):
            continue
        fault = expression_fault(value)
        if fault:
            faults.append("SPDX: the %s of %s, %r, is not valid: %s" % (field, package.get("name"), value, fault))

for fault in faults:
    print(fault)
if faults or not sections:
    sys.exit("the third-party notices do not cover the executable")
print("third-party notices: %d components, every linked library named; the bill of materials agrees, holds "
      "the NTIA minimum elements, and its licence expressions are valid SPDX (lists: %d licences, %d exceptions)"
      % (len(sections), len(licences), len(exceptions)))
PYTHON
