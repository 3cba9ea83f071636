#!/usr/bin/env bash
# The package built with a second EDK II tree, as a user whose platform
# carries another generation of EDK II would build it: the package DSC
# (DEBUG and RELEASE) against the tree ASFP_EDK2_SECOND names, with no edit
# (scripts/build-package.sh picks the tool chain tag and the moved library
# classes from the tree). Each volume must boot on the board with every
# driver dispatched, no fault and no leak, and publish the same state as the
# DEBUG volume of the suite's own build. Prints the instructions each boot
# emulated.
#
#   second-tree-check.sh VBOARD DEFAULT-FV SERVED-PROGRAM
#
# Without ASFP_EDK2_SECOND it builds nothing and exits 77, which CTest
# reports as skipped, with the reason.
set -euo pipefail
REPO=$(cd "$(dirname "$0")/.." && pwd)
SECOND="${ASFP_EDK2_SECOND:-}"
if [ -z "$SECOND" ]; then
  echo "skipped: no second EDK II tree configured (ASFP_EDK2_SECOND is unset)."
  echo "  Set ASFP_EDK2_SECOND=/path/to/edk2 (a tree of another generation, for example"
  echo "  edk2-stable202605) to build the package with it and compare the published state."
  exit 77
fi
[ $# -eq 3 ] || { echo "usage: $0 VBOARD DEFAULT-FV SERVED-PROGRAM" >&2; exit 2; }
VBOARD=$1 DEFAULT_FV=$2 SERVED=$3
[ -d "$SECOND" ] || { echo "ASFP_EDK2_SECOND='$SECOND' is not a directory"; exit 1; }
for f in "$VBOARD" "$DEFAULT_FV" "$SERVED"; do [ -f "$f" ] || { echo "missing $f"; exit 1; }; done

OUT="$REPO/build/second-tree"
rm -rf "$OUT"
mkdir -p "$OUT"
echo ">> building the package with $SECOND (log: $(realpath --relative-to="$REPO" "$OUT")/build.log)"
if ! EDK2_DIR="$SECOND" ASFP_NO_TEST=1 ASFP_TARGETS="DEBUG RELEASE" "$REPO/scripts/build-package.sh" >"$OUT/build.log" 2>&1; then
  grep -a -m 20 -iE 'error|failed' "$OUT/build.log" || tail -n 30 "$OUT/build.log"
  echo "FAIL: the package does not build with $SECOND"
  exit 1
fi
# shellcheck source=edk2-env.sh
EDK2_DIR="$SECOND" ASFP_NO_SETUP=1 . "$REPO/scripts/edk2-env.sh"
echo "   tool chain $ASFP_TOOLCHAIN${ASFP_EDK2_DEFINES[*]:+, ${ASFP_EDK2_DEFINES[*]}}"

# boot NAME FV: boots the volume in the board's factory state, keeps the
# published state and the log, prints the instruction count.
status=0
boot () {
  local rc=0
  "$VBOARD" --fv "$2" --network "serve:$SERVED" --published "$OUT/$1.published" >"$OUT/$1.log" 2>&1 || rc=$?
  local count
  count=$(grep -o '[0-9]* instructions emulated' "$OUT/$1.log" | tail -n 1 | cut -d' ' -f1)
  if [ "$rc" -ne 0 ] || ! grep -q 'every driver dispatched, no fault, no leak' "$OUT/$1.log"; then
    tail -n 30 "$OUT/$1.log"
    echo "FAIL $1: the volume's boot failed (exit $rc)"
    status=1
    return 1
  fi
  echo "   $1: ${count:-?} instructions per boot"
}

boot default "$DEFAULT_FV" || exit 1
for target in DEBUG RELEASE; do
  fv="$ASFP_BUILD/ArmServerFeaturePkg/${target}_$ASFP_TOOLCHAIN/FV/ARMSERVERFEATUREFV.Fv"
  [ -f "$fv" ] || { echo "FAIL: the build left no $fv"; status=1; continue; }
  boot "second-$target" "$fv" || continue
  if cmp -s "$OUT/default.published" "$OUT/second-$target.published"; then
    echo "ok   $target volume of the second tree: same published state ($(wc -l <"$OUT/default.published") lines)"
  else
    echo "FAIL $target volume of the second tree: published state differs:"
    diff "$OUT/default.published" "$OUT/second-$target.published" | head -n 20
    status=1
  fi
done
exit "$status"
