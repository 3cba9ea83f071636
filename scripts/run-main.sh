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
echo "== virtual-board boot of the DEBUG images (RELEASE images print nothing)"
images=()
for m in $MODULES; do images+=("$BUILD/DEBUG_GCC5/AARCH64/$m.efi"); done
"$REPO/build/vboard/vboard" "${images[@]}"
