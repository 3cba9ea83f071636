#!/usr/bin/env bash
# Builds ArmVirtQemu, the EDK II platform of QEMU's virt machine, from the
# cached EDK II tree with ArmServerFeaturePkg integrated exactly as the
# README's "Integrating the package into a platform" steps say, on a copy of
# ArmVirtPkg (the original tree is never touched):
#   1. PACKAGES_PATH holds the repository (and the copy, ahead of the tree);
#   2. in ArmVirtQemu.dsc: the ASF_<MODULE> macros of the modules taken, in
#      [Defines]; the DSC fragment's include line right after the [Defines]
#      section; PcdSerialPortBaseAddress set to virt's PL011 (0x09000000) in
#      a PCD section after it;
#   3. in the DXE volume ([FV.FvMain], ArmVirtQemuFvMain.fdf.inc): the FDF
#      fragment's include line.
# Then, for the tests only: the gated probe drivers (with the platform's own
# libraries, as any other driver of the platform) in the same volume, and the
# check applications PlatformPcdCheck and WakeAlarmCheck.
#
# Build: DEBUG, GCC5, AARCH64, -D SECURE_BOOT_ENABLE=TRUE (this release's
# Shell links SecureBootVariableLib). The workspace is cached outside the
# repository, next to the EDK II tree, one per checkout:
#   $ASFP_CACHE/armvirtqemu-<hash of the repository path>/
# A rerun with the same package sources, patched files and script does
# nothing; otherwise the EDK II build runs incrementally in the same
# workspace. A checkout without a build of its own (a fresh clone) uses the
# workspace of any other checkout built from identical sources: the stamp
# that decides it hashes file contents and relative paths only. Workspaces
# whose checkout is gone are removed. Also writes, once, the makefiles and
# AutoGen files of the unpatched platform (build genmake) to compare the
# platform's own modules.
#
# Prints the firmware image's path on its last line. Take the build lock when
# other builds may run: flock /tmp/asfp-build.lock scripts/armvirtqemu-build.sh
#
# Environment: ASFP_JOBS (default 2), ASFP_PLATFORM_WS (workspace directory).
set -euo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# Always Debian's EDK II, whatever EDK2_DIR says: the platform of a current
# tree needs its libfdt and OpenSSL submodules, which a tree without
# submodules lacks.
EDK2_DIR=''
# shellcheck source=edk2-env.sh
. "$REPO/scripts/edk2-env.sh"
[ -f "$EDK2_DIR/ArmVirtPkg/ArmVirtQemu.dsc" ] || { echo "no ArmVirtQemu in '$EDK2_DIR'" >&2; exit 1; }
CACHE="$(dirname "$EDK2_DIR")"
WS="${ASFP_PLATFORM_WS:-$CACHE/armvirtqemu-$(printf '%s' "$REPO" | sha256sum | cut -c1-12)}"
JOBS="${ASFP_JOBS:-2}"
TARGET=DEBUG
OUT="$WS/Build/ArmVirtQemu-AARCH64/${TARGET}_GCC5"
FD="$OUT/FV/QEMU_EFI.fd"

# The modules that need nothing of this board: no flash part, UART, SCMI
# mailbox or BMC of its own.
MODULES=(WATTKEEP GATEWARDEN VFSWITCH PORTPLATE WIRELAUNCH)

mkdir -p "$WS/platform" "$WS/stock"

# The platform as a user edits it: a copy of ArmVirtPkg, patched below.
new="$WS/platform/ArmVirtPkg.new"
rm -rf "$new"
cp -a "$EDK2_DIR/ArmVirtPkg" "$new"

python3 - "$new" "${MODULES[@]}" <<'PY'
import re, sys
pkg, modules = sys.argv[1], sys.argv[2:]

def insert_before(lines, index, text):
    lines[index:index] = [l + '\n' for l in text.split('\n')]

# DSC step 2.
path = pkg + '/ArmVirtQemu.dsc'
lines = open(path).readlines()
defines = next(i for i, l in enumerate(lines) if l.strip().lower() == '[defines]')
# [Defines] ends at the first directive or section after its own lines.
end = next(i for i in range(defines + 1, len(lines))
           if lines[i].lstrip().startswith(('!', '[')))
insert_before(lines, end, '  #\n  # ArmServerFeaturePkg: the modules this platform takes.\n  #\n' +
              '\n'.join('  DEFINE ASF_%-24s = TRUE' % m for m in modules) + '\n')
first = next(i for i in range(defines + 1, len(lines)) if lines[i].lstrip().startswith('['))
insert_before(lines, first, '!include ArmServerFeaturePkg/ArmServerFeaturePkg.dsc.inc\n')
lines += ['\n',
          '[PcdsDynamicExDefault.common.DEFAULT]\n',
          '  # The package\'s debug output goes to virt\'s PL011 UART.\n',
          '  gPlatformTokenSpaceGuid.PcdSerialPortBaseAddress|0x09000000\n',
          '\n',
          '#\n# Test-only additions (not integration steps): the gated probe drivers,\n',
          '# with the platform\'s own libraries, and the check applications.\n#\n',
          '[Components.AARCH64]\n',
          '!include ArmServerFeaturePkg/Test/GatedProbe/GatedProbes.dsc.inc\n',
          '  ArmServerFeaturePkg/Test/PlatformPcdCheck/PlatformPcdCheck.inf\n',
          '  ArmServerFeaturePkg/Test/WakeAlarmCheck/WakeAlarmCheck.inf\n']
open(path, 'w').writelines(lines)

# FDF step 3: at the end of [FV.FvMain].
path = pkg + '/ArmVirtQemuFvMain.fdf.inc'
lines = open(path).readlines()
fv = next(i for i, l in enumerate(lines) if l.strip().lower() == '[fv.fvmain]')
end = next((i for i in range(fv + 1, len(lines)) if lines[i].lstrip().startswith('[')), len(lines))
insert_before(lines, end, '\n  # ArmServerFeaturePkg\n!include ArmServerFeaturePkg/ArmServerFeaturePkg.fdf.inc\n' +
              '\n  # Test-only: the gated probe drivers.\n!include ArmServerFeaturePkg/Test/GatedProbe/GatedProbes.fdf.inc')
open(path, 'w').writelines(lines)
PY

# Replace the copy only when the patched platform changed, so that an
# unchanged rerun keeps its time stamps.
if [ -d "$WS/platform/ArmVirtPkg" ] && diff -rq "$new" "$WS/platform/ArmVirtPkg" >/dev/null; then
  rm -rf "$new"
else
  rm -rf "$WS/platform/ArmVirtPkg"
  mv "$new" "$WS/platform/ArmVirtPkg"
fi

# Everything the build depends on beyond the EDK II tree, by content and
# relative path (never the checkout's own path).
stamp=$( { cd "$REPO" && git ls-files -co --exclude-standard -z ArmServerFeaturePkg | sort -z | xargs -0 sha256sum;
           cd "$REPO" && sha256sum scripts/armvirtqemu-build.sh;
           cd "$WS/platform" && find ArmVirtPkg -type f -print0 | sort -z | xargs -0 sha256sum; } | sha256sum | cut -c1-64)
echo "$REPO" >"$WS/.checkout"

# Workspaces of checkouts that no longer exist (finished CI clones) only
# take space: 0.6 GB each.
for other in "$CACHE"/armvirtqemu-*/; do
  other="${other%/}"
  [ "$other" != "$WS" ] && [ -f "$other/.checkout" ] || continue
  [ -d "$(cat "$other/.checkout")" ] || { echo ">> removing $other (its checkout is gone)" >&2; rm -rf "$other"; }
done

# A fresh checkout takes the build of identical sources from another one.
if [ -z "${ASFP_PLATFORM_WS:-}" ] && ! { [ -f "$FD" ] && [ "$(cat "$WS/.stamp" 2>/dev/null)" = "$stamp" ]; }; then
  for other in "$CACHE"/armvirtqemu-*/; do
    other="${other%/}"
    if [ "$(cat "$other/.stamp" 2>/dev/null)" = "$stamp" ] && [ -f "$other/stock/.genmake-done" ] &&
       [ -f "$other/Build/ArmVirtQemu-AARCH64/${TARGET}_GCC5/FV/QEMU_EFI.fd" ]; then
      echo ">> ArmVirtQemu of identical sources is built in $other" >&2
      WS="$other"
      OUT="$WS/Build/ArmVirtQemu-AARCH64/${TARGET}_GCC5"
      FD="$OUT/FV/QEMU_EFI.fd"
      break
    fi
  done
fi

edk2_env () {   # WORKSPACE PACKAGES_PATH
  export WORKSPACE="$1" PACKAGES_PATH="$2"
  asfp_edksetup
}

# The unpatched platform's makefiles and AutoGen files (no compilation), once.
if [ ! -f "$WS/stock/.genmake-done" ]; then
  echo ">> build genmake of the unpatched ArmVirtQemu (once)" >&2
  ( edk2_env "$WS/stock" "$EDK2_DIR"
    build -a AARCH64 -t GCC5 -b "$TARGET" -p ArmVirtPkg/ArmVirtQemu.dsc \
      -D SECURE_BOOT_ENABLE=TRUE -n "$JOBS" genmake ) >"$WS/stock/genmake.log" 2>&1 ||
    { tail -n 20 "$WS/stock/genmake.log" >&2; exit 1; }
  touch "$WS/stock/.genmake-done"
fi

if [ -f "$FD" ] && [ "$(cat "$WS/.stamp" 2>/dev/null)" = "$stamp" ]; then
  echo ">> ArmVirtQemu is up to date" >&2
else
  rm -f "$WS/.stamp"
  echo ">> build ArmVirtQemu with ArmServerFeaturePkg (log: $WS/build.log)" >&2
  start=$(date +%s)
  ( edk2_env "$WS" "$WS/platform:$REPO:$EDK2_DIR"
    build -a AARCH64 -t GCC5 -b "$TARGET" -p ArmVirtPkg/ArmVirtQemu.dsc \
      -D SECURE_BOOT_ENABLE=TRUE -n "$JOBS" ) >"$WS/build.log" 2>&1 ||
    { grep -a -m 20 -i 'error' "$WS/build.log" >&2 || tail -n 30 "$WS/build.log" >&2; exit 1; }
  echo ">> built in $(( $(date +%s) - start )) s" >&2
  echo "$stamp" >"$WS/.stamp"
fi
# What the package adds to the platform's DXE volume (FFS files, before the
# volume is compressed into FVMAIN_COMPACT).
total=0
for m in "${MODULES[@]}"; do
  ffs=$(find "$OUT/FV/Ffs" -maxdepth 2 -ipath "*$m/*.ffs" | head -n 1)
  [ -n "$ffs" ] || { echo "no FFS file of $m in $OUT/FV/Ffs" >&2; exit 1; }
  size=$(stat -c %s "$ffs")
  total=$((total + size))
  echo "   $(basename "$(dirname "$ffs")" | cut -c37-): $size bytes" >&2
done
echo ">> the package's modules take $total bytes of FVMAIN ($(stat -c %s "$OUT/FV/FVMAIN.Fv") bytes)" >&2
echo "$FD"
