#!/usr/bin/env bash
# make: set-up, the package build (DEBUG and RELEASE), the virtual board, and
# the whole-board boot of the package's firmware volume on the default board
# in its factory state: every driver dispatched by its dependency
# expression, ReadyToBoot, then the boot manager starting the network boot
# application, which boots the program the board's network serves. The DEBUG
# volume's boot prints the full report; the RELEASE volume boots the same way
# and must reach the same published state.
set -euo pipefail
REPO=$(cd "$(dirname "$0")/.." && pwd)
"$REPO/scripts/prepare.sh"
# shellcheck source=edk2-env.sh
. "$REPO/scripts/edk2-env.sh"

T="$ASFP_TOOLCHAIN"
PKG="$ASFP_BUILD/ArmServerFeaturePkg"
VBOARD="$REPO/build/vboard/vboard"
SERVED="$ASFP_BUILD/ArmServerFeaturePkgTest/DEBUG_$T/AARCH64/NetBootProbe.efi"
OUT="$REPO/build/board"
mkdir -p "$OUT"

# The seventeen RELEASE images, named by the package's FDF fragment.
MODULES=$(sed -n 's/^ *INF *ArmServerFeaturePkg\/.*\/\([A-Za-z0-9]*\)\.inf *$/\1/p' "$REPO/ArmServerFeaturePkg/ArmServerFeaturePkg.fdf.inc")
sizes=""
for m in $MODULES; do
  sizes+="$m $(stat -c %s "$PKG/RELEASE_$T/AARCH64/$m.efi")"$'\n'
done
count=$(printf '%s' "$sizes" | grep -c .)
total=$(printf '%s' "$sizes" | awk '{ s += $2 } END { print s }')
# The three largest; PE files are padded to 4 KiB, so ties are named as such.
largest=$(printf '%s' "$sizes" | sort -k2,2nr -k1,1 | awk '
  NR <= 3 { printf "%s%s %d", (NR > 1 ? ", " : ""), $1, $2; third = $2; next }
  $2 == third { tied++ }
  END { if (tied) printf " (and %d more at %d)", tied, third }')
echo "== RELEASE images: $count, $total bytes in all; largest: $largest"
printf '%s' "$sizes" | awk '{ printf "  %-13s %6d", $1, $2; if (NR % 4 == 0) printf "\n" } END { if (NR % 4) printf "\n" }'

boot () {   # TARGET: boots that volume, keeps its artefacts and published state in build/board/TARGET
  "$VBOARD" --fv "$PKG/${1}_$T/FV/ARMSERVERFEATUREFV.Fv" --network "serve:$SERVED" \
    --report-dir "$OUT/$1" --published "$OUT/$1/published.txt"
}
status=0
boot DEBUG || status=$?
release=0
boot RELEASE >"$OUT/RELEASE.log" || release=$?
echo "== RELEASE volume: $(tail -n 1 "$OUT/RELEASE.log" | sed 's/^ *//')"
if [ "$release" -ne 0 ]; then
  cat "$OUT/RELEASE.log"
  status=1
elif cmp -s "$OUT/DEBUG/published.txt" "$OUT/RELEASE/published.txt"; then
  echo "   same published state as the DEBUG volume ($(wc -l <"$OUT/DEBUG/published.txt") lines compared)"
else
  echo "   published state DIFFERS from the DEBUG volume's:"
  diff "$OUT/DEBUG/published.txt" "$OUT/RELEASE/published.txt" | head -n 20
  status=1
fi
echo "   artefacts (report.txt, smbios.bin, acpi/, flash.bin) in $(realpath --relative-to="$REPO" "$OUT")/{DEBUG,RELEASE}"

# The same package under EDK II's own DXE core: the board's platform firmware
# (vboard/platform) with the package in its volume, booted through BDS.
PLATFORM="$ASFP_BUILD/ArmServerBoard/DEBUG_GCC5/FV/FVMAIN.Fv"
if [ ! -f "$PLATFORM" ]; then
  echo "== EDK II's DXE core: not booted (the board's platform firmware is built with Debian's EDK II tree only)"
  exit "$status"
fi
edk2=0
"$VBOARD" --core edk2 --fv "$PLATFORM" --network "serve:$SERVED" --report-dir "$OUT/edk2" \
  --published "$OUT/edk2/published.txt" >"$OUT/edk2.log" || edk2=$?
echo "== EDK II's DXE core (the board's platform firmware, the package in its volume): the same report"
cat "$OUT/edk2.log"
[ "$edk2" -eq 0 ] || status=1
echo "== the DEBUG volume's published state under both cores"
"$VBOARD" --compare-published "$OUT/DEBUG/published.txt" "$OUT/edk2/published.txt" || status=1
exit "$status"
