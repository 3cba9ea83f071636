#!/usr/bin/env bash
# make: set-up, the package build (DEBUG and RELEASE), the virtual board, and
# a boot of the built images on the default board.
set -euo pipefail
REPO=$(cd "$(dirname "$0")/.." && pwd)
"$REPO/scripts/prepare.sh"

BUILD="$REPO/build/edk2-ws/Build/ArmServerFeaturePkg"
MODULES=$(sed -n 's/^ *INF *ArmServerFeaturePkg\/.*\/\([A-Za-z0-9]*\)\.inf *$/\1/p' "$REPO/ArmServerFeaturePkg/ArmServerFeaturePkg.fdf.inc")

echo "== images"
for target in RELEASE DEBUG; do
  for m in $MODULES; do
    f="$BUILD/${target}_GCC5/AARCH64/$m.efi"
    printf '%s\n' "$(realpath --relative-to="$REPO" "$f"): $(file -b "$f")"
  done
done

echo
echo "== RELEASE image sizes"
printf '%-14s %8s\n' module bytes
for m in $MODULES; do
  printf '%-14s %8s\n' "$m" "$(stat -c %s "$BUILD/RELEASE_GCC5/AARCH64/$m.efi")"
done

echo
echo "== firmware volumes"
for target in RELEASE DEBUG; do
  fv="$BUILD/${target}_GCC5/FV/ARMSERVERFEATUREFV.Fv"
  printf '%s: %s bytes\n' "$(realpath --relative-to="$REPO" "$fv")" "$(stat -c %s "$fv")"
done

echo
echo "== virtual-board boot of the DEBUG firmware volume"
"$REPO/build/vboard/vboard" --fv "$BUILD/DEBUG_GCC5/FV/ARMSERVERFEATUREFV.Fv"
