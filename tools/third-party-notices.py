#!/usr/bin/env python3
"""The third-party notices and the bill of materials of a release, made from the linker's map.

    third-party-notices.py MAP EXECUTABLE VERSION EPOCH OUTPUT-FOLDER

Every file of the toolchain that the map shows linked into the executable (an archive member that
was pulled in, an object that was loaded) is traced to the Debian package that installed it, and
so is every library compiled into our own objects from its headers (its namespace in the map's
symbols, its headers' folder in the package database). Each is one component below, with its
version as installed and its licence. A file the licence table below does not cover stops the
release: nothing ships with a component nobody looked at.

Writes THIRD_PARTY_NOTICES.txt and ravelin-VERSION.spdx.json (SPDX 2.3) into OUTPUT-FOLDER.
"""

import datetime
import hashlib
import json
import os
import re
import subprocess
import sys

EXCEPTION_GCC = "GCC Runtime Library Exception, version 3.1"

# The licence of each part of a package that can end up in the executable: (package, file name
# pattern, component, SPDX expression, how the notice is handled, the text that goes with it).
# The text is read from the package's own copyright file: all of it, or the pieces of it that run
# from one text to another (both included).
LICENCES = [
    ("g++-mingw-w64-x86-64-posix", r"^libstdc\+\+", "GNU C++ library (libstdc++)",
     "GPL-3.0-or-later WITH GCC-exception-3.1",
     "No notice is required: the " + EXCEPTION_GCC + " permits conveying the executable under terms "
     "of our choice, as it is made by an eligible compilation process (GCC). The exception:",
     [("GCC RUNTIME LIBRARY EXCEPTION", "requirements of the license of GCC.")]),
    ("gcc-mingw-w64-x86-64-posix", r"^(libgcc|libgcc_eh)\.a$|^crt(begin|end)\.o$",
     "GCC run-time library (libgcc)", "GPL-3.0-or-later WITH GCC-exception-3.1",
     "No notice is required: the " + EXCEPTION_GCC + " permits conveying the executable under terms "
     "of our choice, as it is made by an eligible compilation process (GCC). The exception:",
     [("GCC RUNTIME LIBRARY EXCEPTION", "requirements of the license of GCC.")]),
    ("mingw-w64-x86-64-dev", r"^libpthread\.a$", "MinGW-w64 winpthreads (the POSIX threads of std::mutex)",
     "MIT AND BSD-3-Clause",
     "The notice travels with the executable: winpthreads' licences (expat, and BSD-3-Clause for parts "
     "of it) ask for it. From the package's copyright file:",
     [("Files: mingw-w64-libraries/winpthreads/*", "The Regents of the University of California\nLicense: BSD-3-clause"),
      ("License: expat\n Permission", "OTHER DEALINGS IN THE\n SOFTWARE."),
      ("License: BSD-3-clause\n Redistribution", "POSSIBILITY OF SUCH DAMAGE.")]),
    ("mingw-w64-x86-64-dev", r"^(lib\w+\.a|crt2\.o)$", "MinGW-w64 run-time (C run-time start-up and "
     "extensions, import libraries)", "ZPL-2.1 AND LicenseRef-MinGW-w64-public-domain",
     "The notice travels with the executable: parts of the run-time are under the Zope Public License "
     "2.1 and other licences that ask for it. The package's copyright file:", None),
    ("libfmt-dev", r"^namespace fmt$", "{fmt}", "LicenseRef-fmt-Expat-with-embedded-exception",
     "No notice is required: {fmt}'s licence carries an exception for portions embedded in object "
     "form by compiling source code that uses it. Its licence, with the exception:",
     [("Files: *", "License: Expat with embedded exception"),
      ("License: Expat with embedded exception\n Permission", "without including the above copyright and "
       "permission notices.")]),
]

# Archive members whose sources the package's copyright file puts under licences of their own, on
# top of the component's: the gdtoa code (strtod and its helpers, used by the C run-time's number
# formatting) and the printf family. (archive, member pattern, the LicenseRefs they add).
MEMBER_LICENCES = [
    ("libmingwex.a", r"-(dmisc|dtoa|g__fmt|g_[dfx]fmt|gdtoa|gethex|gmisc|hd_init|hexnan|misc|smisc|strtodg|"
     r"strtof|strtopx|sum|ulp)\.o$", ["LicenseRef-Lucent"]),
    ("libmingwex.a", r"-(qnan|strtodnrp)\.o$", ["LicenseRef-David-Gay"]),
    ("libmingwex.a", r"-mingw_pformat\.o$", ["LicenseRef-Lucent", "LicenseRef-Keith-Marshall"]),
    ("libmingwex.a", r"-mingw_(v?f|v?s|v?sn|v?)printf\.o$", ["LicenseRef-Keith-Marshall"]),
]

# The licences that have no SPDX identifier, each with its text: (package, the licence's name in the
# package's copyright file, or None for a text of our own), in the bill of materials.
EXTRACTED_LICENCES = {
    "LicenseRef-MinGW-w64-public-domain": ("mingw-w64-x86-64-dev", "public-domain"),
    "LicenseRef-Lucent": ("mingw-w64-x86-64-dev", "Lucent"),
    "LicenseRef-David-Gay": ("mingw-w64-x86-64-dev", "David-Gay"),
    "LicenseRef-Keith-Marshall": ("mingw-w64-x86-64-dev", "Keith-Marshall"),
    "LicenseRef-fmt-Expat-with-embedded-exception": ("libfmt-dev", "Expat with embedded exception"),
}

# Who makes the agent, as its version resource names the company.
SUPPLIER = "Organization: Tessaro"

HEADER_FOLDERS = ("/usr/include", "/usr/x86_64-w64-mingw32/include")


def linked_inputs(map_path):
    """The files of others that the map shows in the executable, by real path; and the namespaces
    of the symbols in it."""
    text = open(map_path, encoding="utf-8", errors="replace").read()
    files = set()
    # "Archive member included to satisfy reference by file (symbol)": one line per member pulled in.
    members = set()
    for archive, member in re.findall(r"^(/\S+?\.a)\(([^)]+)\)", text, re.M):
        files.add(os.path.realpath(archive))
        members.add((os.path.realpath(archive), member))
    for loaded in re.findall(r"^LOAD (/\S+\.o)$", text, re.M):
        files.add(os.path.realpath(loaded))
    # Ours are in the build tree, beside the map; anything else is somebody else's.
    build = os.path.dirname(os.path.realpath(map_path)) + os.sep
    files = {path for path in files if not path.startswith(build)}
    members = {"%s(%s)" % (os.path.basename(archive), member) for archive, member in members if archive in files}
    # A mangled name in a namespace: "_ZN", qualifiers, then the namespace's length and name.
    namespaces = {name[:int(length)] for length, name in re.findall(r"_ZN[KVr]*(\d+)([A-Za-z_]\w*)", text)}
    return files, members, namespaces


def owner(path):
    """The Debian package that installed the path."""
    answer = subprocess.run(["dpkg-query", "-S", path], capture_output=True, text=True)
    if answer.returncode != 0:
        sys.exit("third-party notices: no installed package holds " + path)
    return answer.stdout.split(":", 1)[0].strip()


def version(package):
    return subprocess.run(["dpkg-query", "-W", "-f=${Version}", package], capture_output=True,
                          text=True, check=True).stdout.strip()


def copyright_text(package, pieces):
    text = open(os.path.join("/usr/share/doc", package, "copyright"), encoding="utf-8").read()
    if pieces is None:
        return text.strip()
    chosen = []
    for first, last in pieces:
        start = text.index(first)
        chosen.append(text[start:text.index(last, start) + len(last)])
    return "\n\n".join(chosen)


def licence_text(package, name):
    """The text of a stand-alone licence paragraph of the package's copyright file ("License: NAME"
    followed by its indented lines), as plain text."""
    text = open(os.path.join("/usr/share/doc", package, "copyright"), encoding="utf-8").read()
    found = re.search(r"^License: %s\n((?: .*\n?)+)" % re.escape(name), text, re.M)
    if found is None:
        sys.exit("third-party notices: the copyright file of %s has no text for the licence %s" % (package, name))
    lines = [line[1:] for line in found.group(1).splitlines()]
    return "\n".join("" if line == "." else line for line in lines).strip()


def expression(licence, names, members):
    """A component's licence expression: its own, and the licences the archive members it links add."""
    added = []
    for archive, pattern, references in MEMBER_LICENCES:
        if archive in names and any(member.startswith(archive + "(") and re.search(pattern, member[:-1])
                                    for member in members):
            added += [reference for reference in references if reference not in added]
    return " AND ".join([licence] + added)


def components(map_path):
    """Each component with the package it came from and the map's names for it."""
    files, members, namespaces = linked_inputs(map_path)
    found = {}
    inputs = [(owner(path), os.path.basename(path)) for path in sorted(files)]
    for namespace in sorted(namespaces):
        for folder in HEADER_FOLDERS:
            headers = os.path.join(folder, namespace)
            if os.path.isdir(headers):
                inputs.append((owner(headers), "namespace " + namespace))
                break
    for package, name in inputs:
        for entry in LICENCES:
            if entry[0] == package and re.search(entry[1], name):
                found.setdefault(entry[2], (entry, []))[1].append(name)
                break
        else:
            sys.exit("third-party notices: %s (package %s) is linked into the executable, and the licence "
                     "table has no entry for it" % (name, package))
    return [(entry, sorted(set(names)), expression(entry[3], set(names), members))
            for _, (entry, names) in sorted(found.items())]


def main():
    if len(sys.argv) != 6:
        sys.exit(__doc__.strip().splitlines()[2].strip())
    map_path, executable, release, epoch, out = sys.argv[1:]
    linked = components(map_path)
    created = datetime.datetime.fromtimestamp(int(epoch), datetime.timezone.utc)

    notices = ["Third-party notices for ravelin.exe " + release, "",
               "ravelin.exe links parts of these components statically. Each is named with the Debian",
               "package and version it was built from and the files of it that the linker took.", ""]
    for (package, _, name, _, handling, pieces), names, licence in linked:
        notices += ["=" * 78, name, "  package:     %s %s" % (package, version(package)),
                    "  linked from: " + ", ".join(names), "  licence:     " + licence, "=" * 78, "",
                    handling, "", copyright_text(package, pieces), "", ""]
    with open(os.path.join(out, "THIRD_PARTY_NOTICES.txt"), "w", encoding="utf-8", newline="\r\n") as file:
        file.write("\n".join(notices).rstrip() + "\n")

    digest = hashlib.sha256(open(executable, "rb").read()).hexdigest()
    packages = [{
        "name": "ravelin", "SPDXID": "SPDXRef-Package-ravelin", "versionInfo": release, "supplier": SUPPLIER,
        "downloadLocation": "NOASSERTION", "filesAnalyzed": False, "licenseConcluded": "NOASSERTION",
        "licenseDeclared": "NOASSERTION", "copyrightText": "NOASSERTION", "primaryPackagePurpose": "APPLICATION",
        "checksums": [{"algorithm": "SHA256", "checksumValue": digest}],
    }]
    relationships = [{"spdxElementId": "SPDXRef-DOCUMENT", "relationshipType": "DESCRIBES",
                      "relatedSpdxElement": "SPDXRef-Package-ravelin"}]
    for number, ((package, _, name, _, _, _), names, licence) in enumerate(linked, 1):
        identifier = "SPDXRef-Package-%d" % number
        packages.append({
            "name": name, "SPDXID": identifier, "versionInfo": version(package),
            "supplier": "Organization: Debian", "downloadLocation": "NOASSERTION", "filesAnalyzed": False,
            "licenseConcluded": licence, "licenseDeclared": licence, "copyrightText": "NOASSERTION",
            "primaryPackagePurpose": "LIBRARY", "comment": "linked from: " + ", ".join(names),
            "externalRefs": [{"referenceCategory": "PACKAGE-MANAGER", "referenceType": "purl",
                              "referenceLocator": "pkg:deb/debian/%s@%s" % (package, version(package))}],
        })
        relationships.append({"spdxElementId": "SPDXRef-Package-ravelin", "relationshipType": "STATIC_LINK",
                              "relatedSpdxElement": identifier})
    document = {
        "spdxVersion": "SPDX-2.3", "dataLicense": "CC0-1.0", "SPDXID": "SPDXRef-DOCUMENT",
        "name": "ravelin-" + release,
        "documentNamespace": "https://spdx.org/spdxdocs/ravelin-%s-%s" % (release, digest),
        "creationInfo": {"created": created.strftime("%Y-%m-%dT%H:%M:%SZ"),
                         "creators": [SUPPLIER, "Tool: ravelin third-party-notices.py"],
                         "licenseListVersion": "3.19"},
        "packages": packages, "relationships": relationships,
        "hasExtractedLicensingInfos": [
            {"licenseId": reference, "name": "%s (as %s's copyright file names it)" % (name, package),
             "extractedText": licence_text(package, name)}
            for reference, (package, name) in sorted(EXTRACTED_LICENCES.items())
            if any(reference in licence for _, _, licence in linked)],
    }
    with open(os.path.join(out, "ravelin-%s.spdx.json" % release), "w", encoding="utf-8") as file:
        json.dump(document, file, indent=2, sort_keys=True)
        file.write("\n")


if __name__ == "__main__":
    main()
