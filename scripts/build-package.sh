#!/usr/bin/env bash
# Builds ArmServerFeaturePkg with the stock EDK II `build` command: the package
# DSC for DEBUG and RELEASE, the two test DSCs (virtual board, AAVMF) and the
# virtual board's platform firmware (vboard/platform, with Debian's tree) for
# DEBUG, AARCH64.
#
# The EDK II tree is Debian's 2022.11 (scripts/setup.sh prepares it), or the
# tree EDK2_DIR names; scripts/edk2-env.sh picks the tool chain tag (GCC5, or
# GCC in trees that dropped GCC5), the -D macros that say where the tree keeps
# the library classes that moved, and the workspace (build/edk2-ws for
# Debian's tree, build/edk2-ws-<tree>-<hash> for another), with its Conf and
# Build directories.
#
# The script takes no lock of its own; when several builds may run on the same
# machine, run it under one, for example:
#   flock /tmp/asfp-build.lock scripts/build-package.sh
#
# Environment:
#   EDK2_DIR      the EDK II tree (default: Debian's 2022.11, cached)
#   ASFP_JOBS     parallel build threads (default 2)
#   ASFP_TARGETS  build targets of the package DSC (default "DEBUG RELEASE")
#   ASFP_NO_TEST  set to 1 to skip the test DSCs
set -euo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=edk2-env.sh
. "$REPO/scripts/edk2-env.sh"
asfp_edk2_shell

JOBS="${ASFP_JOBS:-2}"
TARGETS="${ASFP_TARGETS:-DEBUG RELEASE}"

run_build() {
  local dsc="$1" target="$2"
  echo ">> build $dsc $target ($ASFP_TOOLCHAIN, $EDK2_DIR${ASFP_EDK2_DEFINES[*]:+, ${ASFP_EDK2_DEFINES[*]}})"
  build -a AARCH64 -t "$ASFP_TOOLCHAIN" -p "$dsc" -b "$target" -n "$JOBS" "${ASFP_EDK2_DEFINES[@]}"
}

start=$(date +%s)
for target in $TARGETS; do
  run_build ArmServerFeaturePkg/ArmServerFeaturePkg.dsc "$target"
done
if [ "${ASFP_NO_TEST:-0}" != 1 ]; then
  run_build ArmServerFeaturePkg/Test/ArmServerFeaturePkgTest.dsc DEBUG
  run_build ArmServerFeaturePkg/Test/ArmServerFeaturePkgAavmf.dsc DEBUG
  # The virtual board's own firmware: EDK II's DXE phase with the package
  # integrated as the README says (vboard --core edk2 boots it). Its DSC
  # maps the library classes where EDK II 2022.11 keeps them.
  if [ "$ASFP_TOOLCHAIN" = GCC5 ]; then
    run_build ArmServerBoardPkg/ArmServerBoardPkg.dsc DEBUG
  fi
fi
end=$(date +%s)

echo
echo "Build finished in $((end - start)) s. Images:"
for dir in "$ASFP_BUILD"/ArmServerFeaturePkg/{DEBUG,RELEASE}_"$ASFP_TOOLCHAIN"/AARCH64 \
           "$ASFP_BUILD"/ArmServerFeaturePkgTest/DEBUG_"$ASFP_TOOLCHAIN"/AARCH64 \
           "$ASFP_BUILD"/ArmServerFeaturePkgAavmf/DEBUG_"$ASFP_TOOLCHAIN"/AARCH64; do
  [ -d "$dir" ] || continue
  for efi in "$dir"/*.efi; do
    [ -e "$efi" ] && echo "  $efi"
  done
done
