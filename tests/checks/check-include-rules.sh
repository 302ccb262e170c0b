#!/usr/bin/env bash
# The include rules of the layers, which the compiler alone does not enforce: GCC looks for a
# quoted include in the including file's own folder first, so a file could reach a header of its
# own folder's sibling layer (or, named with "..", of any folder) without the layer's include path.
# Every include of a file below src/ must name the header's folder, must not climb with "..", and
# must reach its own layer or one below it, as the layers of src/CMakeLists.txt use each other.
# Given the README, its table of the layers must say what the build says: each layer's folder and
# the layers it uses.
#   check-include-rules.sh SOURCE-FOLDER [README]
set -euo pipefail
python3 - "$@" <<'PYTHON'
import os, re, sys

top = sys.argv[1]
# ravelin_layer(NAME FOLDER folder USES ...): which folder each layer is and which layers it uses.
declarations = re.findall(r'^ravelin_layer\((\w+) FOLDER (\S+)((?: \S+)*)\)',
                          open(os.path.join(top, 'CMakeLists.txt'), encoding='utf-8').read(), re.M)
if not declarations:
    sys.exit('no layer declared in ' + os.path.join(top, 'CMakeLists.txt'))
layer_of_folder = {folder: name for name, folder, _ in declarations}
uses = {name: [word for word in rest.split() if word in {n for n, _, _ in declarations}]
        for name, _, rest in declarations}

def below(layer):
    reached, stack = set(), list(uses[layer])
    while stack:
        current = stack.pop()
        if current not in reached:
            reached.add(current)
            stack.extend(uses[current])
    return reached

faults = []
for folder, _, names in os.walk(top):
    for name in sorted(names):
        if not name.endswith(('.h', '.cpp')):
            continue
        path = os.path.join(folder, name)
        own_folder = os.path.relpath(folder, top).replace(os.sep, '/')
        own = layer_of_folder.get(own_folder)
        for number, line in enumerate(open(path, encoding='utf-8'), 1):
            match = re.match(r'\s*#\s*include\s*([<"])([^>"]+)[>"]', line)
            if not match:
                continue
            quoted, included = match.group(1) == '"', match.group(2)
            where = '%s:%d: %s' % (os.path.relpath(path, top), number, included)
            if '..' in included.split('/'):
                faults.append(where + ': climbs with ".."')
                continue
            target_folder = included.rpartition('/')[0]
            if quoted and not target_folder:
                faults.append(where + ': names no folder')
                continue
            target = layer_of_folder.get(target_folder)
            if target is None:
                if quoted:
                    faults.append(where + ': names no folder of a layer')
                continue
            if own is None:
                faults.append(where + ': the including file is in no layer\'s folder')
            elif target != own and target not in below(own):
                faults.append(where + ': reaches %s, which is not below %s' % (target, own))

if len(sys.argv) > 2:
    rows = re.findall(r'^\| `(ravelin_\w+)` \| `src/([^`]+)` \| ([^|]+) \|', open(sys.argv[2], encoding='utf-8').read(), re.M)
    described = {name: (folder, set(re.findall(r'`(ravelin_\w+)`', used))) for name, folder, used in rows}
    for name, folder, _ in declarations:
        if name not in described:
            faults.append('%s: the README has no row for %s' % (sys.argv[2], name))
        elif described[name] != (folder, set(uses[name])):
            faults.append('%s: the README says %s is %s using %s; the build says %s using %s' % (
                sys.argv[2], name, described[name][0], sorted(described[name][1]) or 'nothing', folder,
                sorted(uses[name]) or 'nothing'))
    for name in described.keys() - set(uses):
        faults.append('%s: the README names %s, which the build does not have' % (sys.argv[2], name))

for fault in faults:
    print(fault)
if faults:
    sys.exit('%d fault(s) against the layers\' rules' % len(faults))
print('every include names its folder and reaches its own layer or one below it')
PYTHON
