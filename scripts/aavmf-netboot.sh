#!/usr/bin/env bash
# A real network boot under AAVMF, the EDK II firmware of QEMU's virt machine:
# a virtio-net device on QEMU's user network, whose built-in DHCP and TFTP
# servers offer NetBootProbe.efi as the boot file. The firmware's own boot
# manager creates the PXE options for that device and starts the removable
# media boot file \EFI\BOOT\BOOTAA64.EFI of a FAT disk, which is Wirelaunch:
# the disk has boot index 0, so it comes before the network options in
# BootOrder. Wirelaunch walks the firmware's Boot#### options, finds the
# PXEv4 option by its MAC node and loads it with LoadImage; the firmware's
# PXE client downloads NetBootProbe over TFTP, Wirelaunch starts it, and
# the probe prints who loaded it and from where and powers the machine off.
#
# Passes when the probe ran, loaded through the MAC/IPv4 device path, with
# BOOTAA64.EFI as its parent image, after Wirelaunch's banner. The serial log
# is kept in build/logs/aavmf-netboot.log. Bounded: qemu is killed after
# ASFP_AAVMF_TIMEOUT s.
set -euo pipefail
. "$(dirname "$0")/aavmf-lib.sh"
LOG="$REPO/build/logs/aavmf-netboot.log"
aavmf_require "$IMAGES/Wirelaunch.efi" "$IMAGES/NetBootProbe.efi"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/disk/EFI/BOOT" "$work/tftp"
cp "$IMAGES/Wirelaunch.efi" "$work/disk/EFI/BOOT/BOOTAA64.EFI"
cp "$IMAGES/NetBootProbe.efi" "$work/tftp/"
# The variable store is a copy, so the options the firmware creates (and the
# order it gives them) start from its defaults on every run.
cp /usr/share/AAVMF/AAVMF_VARS.fd "$work/vars.fd" 2>/dev/null || true

# Debian's QEMU has no efi-virtio.rom: romfile= must be empty, and the
# firmware's own virtio-net driver serves the device.
vars=()
[ -f "$work/vars.fd" ] && vars=(-drive if=pflash,format=raw,unit=0,file=/usr/share/AAVMF/AAVMF_CODE.fd,readonly=on
                                -drive if=pflash,format=raw,unit=1,file="$work/vars.fd")
[ -f "$work/vars.fd" ] || vars=(-bios "$FIRMWARE")
start=$(date +%s)
timeout "${ASFP_AAVMF_TIMEOUT:-240}" qemu-system-aarch64 -M virt -cpu cortex-a57 -m 1024 -nographic \
  "${vars[@]}" \
  -drive if=none,id=disk0,file="fat:rw:$work/disk",format=raw -device virtio-blk-pci,drive=disk0,bootindex=0 \
  -netdev user,id=n0,tftp="$work/tftp",bootfile=NetBootProbe.efi \
  -device virtio-net-pci,netdev=n0,romfile=,bootindex=1 \
  -no-reboot </dev/null >"$LOG" 2>&1 || true
end=$(date +%s)
echo "qemu ran $((end - start)) s"

text=$(tr -d '\r' <"$LOG" | sed 's/\x1b\[[0-9;]*[A-Za-z]//g')
grep -a '^NetBootProbe: ' <<<"$text" || true
fail() { echo "AAVMF network boot check failed: $1; log: $LOG" >&2; exit 1; }
grep -aq 'Boot From Network' <<<"$text" || fail "no Wirelaunch banner"
grep -aq '^NetBootProbe: ran$' <<<"$text" || fail "the probe did not run"
grep -aqE '^NetBootProbe: device .*/MAC\(525400123456,0x1\)/IPv4\(' <<<"$text" || fail "the probe was not loaded through the PXEv4 path"
grep -aqE '^NetBootProbe: parent .*\\EFI\\BOOT\\BOOTAA64\.EFI$' <<<"$text" || fail "the probe's parent is not Wirelaunch (BOOTAA64.EFI)"
banner=$(grep -an 'Boot From Network' <<<"$text" | head -1 | cut -d: -f1)
ran=$(grep -an '^NetBootProbe: ran$' <<<"$text" | head -1 | cut -d: -f1)
[ "$banner" -lt "$ran" ] || fail "the banner does not come before the probe's output"
grep -aq '^NetBootProbe: powering off$' <<<"$text" || fail "the probe did not power off"
echo "AAVMF network boot: PASS"
