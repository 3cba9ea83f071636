#!/usr/bin/env bash
# Builds ArmServerFeaturePkg with the stock EDK II `build` command: the package
# DSC for DEBUG and RELEASE, the two test DSCs (virtual board, AAVMF) and the
# virtual board's platform firmware (vboard/platform) for DEBUG, AARCH64,
# GCC5 tool chain.
#
# The EDK II tree comes from scripts/setup.sh (which prints its location and is
# quick once the machine is prepared). The build workspace, with its Conf and
# Build directories, lives in build/edk2-ws inside the repository.
#
# The script takes no lock of its own; when several builds may run on the same
# machine, run it under one, for example:
#   flock /tmp/asfp-build.lock scripts/build-package.sh
#
# Environment:
#   ASFP_JOBS     parallel build threads (default 2)
#   ASFP_TARGETS  build targets of the package DSC (default "DEBUG RELEASE")
#   ASFP_NO_TEST  set to 1 to skip the test DSCs
set -euo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
EDK2_DIR="$("$REPO/scripts/setup.sh" | tail -n 1)"
[ -f "$EDK2_DIR/edksetup.sh" ] || { echo "no EDK II tree at '$EDK2_DIR'" >&2; exit 1; }

JOBS="${ASFP_JOBS:-2}"
TARGETS="${ASFP_TARGETS:-DEBUG RELEASE}"

export WORKSPACE="$REPO/build/edk2-ws"
export PACKAGES_PATH="$REPO:$REPO/vboard/platform:$EDK2_DIR"
export EDK_TOOLS_PATH="$EDK2_DIR/BaseTools"
export GCC5_AARCH64_PREFIX=aarch64-linux-gnu-
unset CONF_PATH
mkdir -p "$WORKSPACE"

# edksetup.sh copies the BaseTools Conf templates into $WORKSPACE/Conf on the
# first run and puts the BaseTools wrappers on PATH. It is not written for
# `set -eu`, so source it with both off.
set +eu
# shellcheck disable=SC1091
. "$EDK2_DIR/edksetup.sh" >/dev/null
rc=$?
set -eu
[ "$rc" -eq 0 ] || { echo "edksetup.sh failed ($rc)" >&2; exit 1; }
command -v build >/dev/null || { echo "EDK II build command not on PATH" >&2; exit 1; }

run_build() {
  local dsc="$1" target="$2"
  echo ">> build $dsc $target"
  build -a AARCH64 -t GCC5 -p "$dsc" -b "$target" -n "$JOBS"
}

start=$(date +%s)
for target in $TARGETS; do
  run_build ArmServerFeaturePkg/ArmServerFeaturePkg.dsc "$target"
done
if [ "${ASFP_NO_TEST:-0}" != 1 ]; then
  run_build ArmServerFeaturePkg/Test/ArmServerFeaturePkgTest.dsc DEBUG
  run_build ArmServerFeaturePkg/Test/ArmServerFeaturePkgAavmf.dsc DEBUG
  # The virtual board's own firmware: EDK II's DXE phase with the package
  # integrated as the README says (vboard --core edk2 boots it).
  run_build ArmServerBoardPkg/ArmServerBoardPkg.dsc DEBUG
fi
end=$(date +%s)

echo
echo "Build finished in $((end - start)) s. Images:"
for dir in "$WORKSPACE"/Build/ArmServerFeaturePkg/{DEBUG,RELEASE}_GCC5/AARCH64 \
           "$WORKSPACE"/Build/ArmServerFeaturePkgTest/DEBUG_GCC5/AARCH64 \
           "$WORKSPACE"/Build/ArmServerFeaturePkgAavmf/DEBUG_GCC5/AARCH64; do
  [ -d "$dir" ] || continue
  for efi in "$dir"/*.efi; do
    [ -e "$efi" ] && echo "  $efi"
  done
done
