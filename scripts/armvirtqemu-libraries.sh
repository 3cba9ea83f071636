#!/usr/bin/env bash
# Shows that integrating the package leaves ArmVirtQemu's own modules as they
# were: for every module of the platform, the library instances it links
# (STATIC_LIBRARY_FILES of its makefile), its build flags and the values of
# its fixed PCDs (AutoGen.h) are the same in the build with the package
# (scripts/armvirtqemu-build.sh) and in the unpatched platform's genmake.
# Dynamic PCD token numbers are left out: the platform's PCD database gains
# the package's PCDs, and each module reads its tokens from that database.
# The package's modules, the test additions and the PCD drivers (whose
# AutoGen holds the database itself) are only in the patched build.
#
# Prints FdtClientDxe's library instances as an example, then PASS or the
# differences.
set -euo pipefail
REPO=$(cd "$(dirname "$0")/.." && pwd)
FD=$("$REPO/scripts/armvirtqemu-build.sh" | tail -n 1)
EDK2_DIR="$(EDK2_DIR='' "$REPO/scripts/setup.sh" | tail -n 1)"   # Debian's, as armvirtqemu-build.sh
PATCHED="$(dirname "$(dirname "$FD")")/AARCH64"
WS="$(cd "$PATCHED/../../../.." && pwd)"
STOCK="$WS/stock/Build/ArmVirtQemu-AARCH64/DEBUG_GCC5/AARCH64"
[ -d "$STOCK" ] || { echo "no unpatched genmake in $STOCK" >&2; exit 1; }

python3 - "$STOCK" "$PATCHED" "$EDK2_DIR" "$WS" <<'PY'
import os, re, sys
stock, patched, edk2, ws = sys.argv[1:]

def describe(root, makefile, other_roots):
    text = open(makefile).read()
    def norm(s):
        for r in other_roots:
            s = s.replace(r, '<ROOT>')
        return s
    libs = re.search(r'^STATIC_LIBRARY_FILES =(.*?)\n\n', text, re.S | re.M)
    libs = [norm(l.strip(' \\\t')) for l in libs.group(1).split('\n') if l.strip(' \\\t')] if libs else []
    flags = sorted(norm(l) for l in text.split('\n') if re.match(r'^[A-Z0-9_]+_FLAGS =', l))
    autogen = os.path.join(os.path.dirname(makefile), 'DEBUG', 'AutoGen.h')
    pcds = []
    if os.path.exists(autogen):
        pcds = [l for l in open(autogen).read().split('\n')
                if re.match(r'#define _PCD_(VALUE|PATCHABLE_VALUE|SIZE)_', l)]
    return libs, flags, pcds

def modules(root):
    found = {}
    for d, _, files in os.walk(root):
        if 'GNUmakefile' in files and os.path.exists(os.path.join(d, 'DEBUG', 'AutoGen.h')) \
           and '/Library/' not in d.replace(root, ''):
            found[os.path.relpath(d, root)] = os.path.join(d, 'GNUmakefile')
    return found

s, p = modules(stock), modules(patched)
stock_roots = [os.path.join(ws, 'stock', 'Build'), edk2]
patched_roots = [os.path.join(ws, 'Build'), os.path.join(ws, 'platform'), edk2]
skip = ('ArmServerFeaturePkg/', 'MdeModulePkg/Universal/PCD/')
problems, compared = [], 0
for name in sorted(s):
    if name.startswith(skip):
        continue
    if name not in p:
        problems.append('%s: not in the patched build' % name)
        continue
    a = describe(stock, s[name], stock_roots)
    b = describe(patched, p[name], patched_roots)
    compared += 1
    for what, x, y in zip(('libraries', 'flags', 'fixed PCDs'), a, b):
        if x != y:
            problems.append('%s: %s differ: %s' % (name, what, sorted(set(x) ^ set(y))[:6]))
extra = sorted(n for n in p if n not in s)
fdt = next(n for n in s if n.endswith('FdtClientDxe/FdtClientDxe'))
print('FdtClientDxe links, with and without the package:')
for lib in describe(patched, p[fdt], patched_roots)[0]:
    print('  ' + lib.replace('$(BIN_DIR)/', '').split('/OUTPUT/')[0])
print('%d platform modules compared; only in the patched build: %s' % (compared, ', '.join(os.path.basename(n) for n in extra)))
if problems:
    print('\n'.join('MISMATCH ' + x for x in problems))
    sys.exit(1)
print('platform modules unchanged: PASS')
PY
