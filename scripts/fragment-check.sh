#!/usr/bin/env bash
# The package's DSC and FDF fragments in a platform that takes none of its
# modules, and one that takes a few: ArmServerFeaturePkg/Test/
# FragmentPlatform.dsc (an application of its own, EDK II's libraries) built
# once per case with the modules' ASF_ macros on the command line. Each build
# must succeed, and its volume must hold the platform's application and
# exactly the modules taken. Uses the EDK II tree of the other builds
# (scripts/edk2-env.sh) in a workspace of its own.
set -euo pipefail
REPO=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=edk2-env.sh
. "$REPO/scripts/edk2-env.sh"
ASFP_WS="$ASFP_WS-fragment"
asfp_edk2_shell
OUT="$ASFP_WS/Build/ArmServerFeaturePkgFragment/DEBUG_$ASFP_TOOLCHAIN"
LOG="$REPO/build/logs/fragment-check"
mkdir -p "$LOG"

# check NAME EXPECTED-FILES MACRO...: builds with the macros, compares the
# volume's files (module names, sorted) with the expected ones.
failed=0
check () {
  local name=$1 expected=$2 defines=() m got
  shift 2
  for m in "$@"; do defines+=(-D "ASF_$m=TRUE"); done
  echo ">> $name: ${*:-no module}"
  if ! build -a AARCH64 -t "$ASFP_TOOLCHAIN" -b DEBUG -n "${ASFP_JOBS:-2}" \
       -p ArmServerFeaturePkg/Test/FragmentPlatform.dsc "${ASFP_EDK2_DEFINES[@]}" "${defines[@]}" \
       >"$LOG/$name.log" 2>&1; then
    grep -a -m 10 -i 'error' "$LOG/$name.log" || tail -n 20 "$LOG/$name.log"
    echo "FAIL $name: the build failed (build/logs/fragment-check/$name.log)"
    failed=1
    return
  fi
  # GenFv's input lists every file of the volume, as Ffs/<GUID><module>/...
  got=$(sed -n 's|^EFI_FILE_NAME *= *.*/Ffs/[0-9A-Fa-f-]\{36\}\([A-Za-z0-9_]*\)/.*|\1|p' "$OUT/FV/FRAGMENTFV.inf" | sort | tr '\n' ' ')
  if [ "$got" = "$expected" ]; then
    echo "ok   $name: the volume holds $got"
  else
    echo "FAIL $name: the volume holds '$got', expected '$expected'"
    failed=1
  fi
}

check none "HelloWorld "
check subset "ExtraAcpiTables HelloWorld Stampread Tablegraft Wattkeep " WATTKEEP STAMPREAD TABLEGRAFT
exit "$failed"
