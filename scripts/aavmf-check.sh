#!/usr/bin/env bash
# Runs the board-independent modules under AAVMF, the EDK II firmware of
# QEMU's virt machine, with its own DXE core: the UEFI shell loads Wattkeep
# from a FAT directory, runs WakeAlarmCheck against it and powers off. Passes
# when the check application reports PASS; the serial log is kept in
# build/logs/aavmf.log. Bounded: qemu is killed after ASFP_AAVMF_TIMEOUT s.
set -euo pipefail
. "$(dirname "$0")/aavmf-lib.sh"
LOG="$REPO/build/logs/aavmf.log"
aavmf_require "$IMAGES/Wattkeep.efi" "$IMAGES/WakeAlarmCheck.efi"

disk=$(mktemp -d)
trap 'rm -rf "$disk"' EXIT
cp "$IMAGES/Wattkeep.efi" "$IMAGES/WakeAlarmCheck.efi" "$disk/"
printf 'fs0:\r\nload Wattkeep.efi\r\nWakeAlarmCheck.efi\r\nreset -s\r\n' > "$disk/startup.nsh"

# No network device: AAVMF would otherwise try PXE before the shell.
timeout "${ASFP_AAVMF_TIMEOUT:-240}" qemu-system-aarch64 -M virt -cpu cortex-a57 -m 1024 -nographic \
  -bios "$FIRMWARE" -drive file="fat:rw:$disk",format=raw,if=virtio -net none -no-reboot \
  </dev/null >"$LOG" 2>&1 || true
tr -d '\r' <"$LOG" | grep -a '^WakeAlarmCheck: ' || true
tr -d '\r' <"$LOG" | grep -aq '^WakeAlarmCheck: PASS$' || { echo "AAVMF check failed; log: $LOG" >&2; exit 1; }
