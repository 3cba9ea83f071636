#!/usr/bin/env bash
# make: set-up, the package build (DEBUG and RELEASE), the virtual board, and
# a boot of the built images on the default board.
set -euo pipefail
REPO=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$REPO/build/logs"
step () {   # runs a set-up or build step quietly; its log is shown when it fails
  local name=$1; shift
  echo ">> $name" >&2
  if ! "$@" >"$REPO/build/logs/$name.log" 2>&1; then
    tail -n 60 "$REPO/build/logs/$name.log" >&2
    echo "!! $name failed; full log: build/logs/$name.log" >&2
    exit 1
  fi
}
step setup "$REPO/scripts/setup.sh"
step package "$REPO/scripts/build-package.sh"
step vboard "$REPO/scripts/build-vboard.sh"

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
