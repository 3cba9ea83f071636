#!/usr/bin/env bash
# The whole-board boot's wall time against AAVMF's boot to the UEFI shell,
# measured one after the other on this machine: AAVMF (Debian's
# qemu-efi-aarch64) in qemu-system-aarch64 until its shell prompt appears,
# and vboard booting the package's DEBUG volume on the default board in its
# factory state through to the served network boot program, and the board
# platform firmware under EDK II's own DXE core to the same program. Fails when a
# tool is missing, AAVMF does not reach its shell within ASFP_AAVMF_TIMEOUT
# seconds, the board's boot fails, or the board's boot takes a second or more.
# The figures go to build/logs/boot-time.txt.
set -euo pipefail
. "$(dirname "$0")/aavmf-lib.sh"
VBOARD="$REPO/build/vboard/vboard"
FV="$ASFP_BUILD/ArmServerFeaturePkg/DEBUG_$ASFP_TOOLCHAIN/FV/ARMSERVERFEATUREFV.Fv"
SERVED="$ASFP_BUILD/ArmServerFeaturePkgTest/DEBUG_$ASFP_TOOLCHAIN/AARCH64/NetBootProbe.efi"
aavmf_require "$VBOARD" "$FV" "$SERVED" -- dmidecode iasl
LOG="$REPO/build/logs/boot-time-aavmf.log"
OUT="$REPO/build/logs/boot-time.txt"
limit=${ASFP_AAVMF_TIMEOUT:-240}

now () { date +%s.%N; }

# AAVMF: no disk and no network, so the boot manager goes straight to the
# shell. Two moments are taken: the shell's banner (its boot is done) and its
# prompt (after the shell's own 5-second startup.nsh countdown). The ratio
# uses the banner, the smaller of the two.
: >"$LOG"
start=$(now)
qemu-system-aarch64 -M virt -cpu cortex-a57 -m 1024 -nographic -bios "$FIRMWARE" -net none -no-reboot \
  </dev/null >"$LOG" 2>&1 &
qemu=$!
trap 'kill "$qemu" 2>/dev/null || true' EXIT
shell="" banner=""
while kill -0 "$qemu" 2>/dev/null; do
  if [ -z "$banner" ] && grep -aq 'UEFI Interactive Shell' "$LOG"; then banner=$(now); fi
  if tr -d '\r' <"$LOG" | grep -aq 'Shell> '; then shell=$(now); break; fi
  if awk -v a="$(now)" -v b="$start" -v l="$limit" 'BEGIN { exit !(a - b > l) }'; then break; fi
  sleep 0.05
done
kill "$qemu" 2>/dev/null || true
wait "$qemu" 2>/dev/null || true
[ -n "$shell" ] && [ -n "$banner" ] || { echo "AAVMF did not reach its shell within $limit s; log: $LOG" >&2; exit 1; }
prompt=$(awk -v a="$shell" -v b="$start" 'BEGIN { printf "%.3f", a - b }')
aavmf=$(awk -v a="$banner" -v b="$start" 'BEGIN { printf "%.3f", a - b }')

# The board: the whole process (load the volume, build the board, boot,
# write the artefacts, run dmidecode and iasl) and the boot itself as the
# report states it.
dir=$(mktemp -d)
trap 'kill "$qemu" 2>/dev/null || true; rm -rf "$dir"' EXIT
start=$(now)
"$VBOARD" --fv "$FV" --network "serve:$SERVED" --report-dir "$dir" >"$dir/out.txt" || {
  cat "$dir/out.txt"; echo "the board's boot failed" >&2; exit 1; }
process=$(awk -v a="$(now)" -v b="$start" 'BEGIN { printf "%.3f", a - b }')
boot=$(sed -n 's/^  \([0-9.]*\) s wall, \([0-9]*\) instructions.*/\1/p' "$dir/out.txt")
instructions=$(sed -n 's/^  \([0-9.]*\) s wall, \([0-9]*\) instructions.*/\2/p' "$dir/out.txt")
[ -n "$boot" ] || { echo "no wall time in the board's report" >&2; exit 1; }
grep -q 'started Wirelaunch, did not return' "$dir/out.txt" || { echo "the boot manager did not hand over to Wirelaunch" >&2; exit 1; }

# The same package under EDK II's own DXE core on the board (the board's
# platform firmware): DXE core, every driver, BDS, Wirelaunch, PXE.
PLATFORM="$ASFP_BUILD/ArmServerBoard/DEBUG_GCC5/FV/FVMAIN.Fv"
[ -f "$PLATFORM" ] || { echo "no board platform firmware at $PLATFORM (it is built with Debian's EDK II tree)" >&2; exit 1; }
"$VBOARD" --core edk2 --fv "$PLATFORM" --network "serve:$SERVED" >"$dir/edk2.txt" || {
  cat "$dir/edk2.txt"; echo "the board's boot under EDK II's DXE core failed" >&2; exit 1; }
grep -q '^  powered off: ResetSystem (EfiResetShutdown) from NetBootProbe' "$dir/edk2.txt" || {
  echo "under EDK II's DXE core the served program did not run" >&2; exit 1; }
edk2=$(sed -n 's/^  \([0-9.]*\) s wall, \([0-9]*\) instructions.*/\1/p' "$dir/edk2.txt")
edk2i=$(sed -n 's/^  \([0-9.]*\) s wall, \([0-9]*\) instructions.*/\2/p' "$dir/edk2.txt")

{
  printf 'AAVMF to the UEFI shell banner:   %6.2f s\n' "$aavmf"
  printf 'AAVMF to the shell prompt:        %6.2f s (after the shell'"'"'s 5 s countdown)\n' "$prompt"
  printf 'board boot (16 drivers, BDS, PXE): %6.3f s, %s instructions\n' "$boot" "$instructions"
  printf 'vboard process with the report:   %6.3f s\n' "$process"
  printf 'board under EDK II DXE core:      %6.3f s, %s instructions (DXE core to the served program)\n' "$edk2" "$edk2i"
  awk -v a="$aavmf" -v b="$boot" 'BEGIN { printf "ratio board boot / AAVMF:         1 : %.0f\n", a / b }'
} | tee "$OUT"
awk -v b="$boot" 'BEGIN { exit !(b < 1) }' || { echo "the board's boot took $boot s, a second or more" >&2; exit 1; }
