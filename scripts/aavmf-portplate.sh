#!/usr/bin/env bash
# Runs Portplate under AAVMF, the EDK II firmware of QEMU's virt machine, with
# its own DXE core, SMBIOS driver and variable store: the UEFI shell stores a
# 184-byte SystemSetupConfig whose Type251Option (byte 21) is 1 with setvar,
# loads Portplate, and shows the type 251 record with smbiosview. Passes when
# the record smbiosview dumps is the 50-byte template with option mask
# 03 00 00 00. The serial log is kept in build/logs/aavmf-portplate.log.
# Bounded: qemu is killed after ASFP_AAVMF_TIMEOUT s.
set -euo pipefail
. "$(dirname "$0")/aavmf-lib.sh"
LOG="$REPO/build/logs/aavmf-portplate.log"
aavmf_require "$IMAGES/Portplate.efi" -- python3

disk=$(mktemp -d)
trap 'rm -rf "$disk"' EXIT
cp "$IMAGES/Portplate.efi" "$disk/"
setup=$(python3 -c 'b = bytearray(184); b[21] = 1; print(b.hex().upper())')
{
  printf 'fs0:\r\n'
  printf 'setvar SystemSetupConfig -guid 3336B68B-9F08-47DA-BC4F-C995C0A47C4C -bs -rt -nv =%s\r\n' "$setup"
  printf 'load Portplate.efi\r\n'
  printf 'smbiosview -t 251\r\n'
  printf 'reset -s\r\n'
} > "$disk/startup.nsh"

# No network device: AAVMF would otherwise try PXE before the shell.
timeout "${ASFP_AAVMF_TIMEOUT:-240}" qemu-system-aarch64 -M virt -cpu cortex-a57 -m 1024 -nographic \
  -bios "$FIRMWARE" -drive file="fat:rw:$disk",format=raw,if=virtio -net none -no-reboot \
  </dev/null >"$LOG" 2>&1 || true

# The dump smbiosview prints after "Type=251, Handle=...": lines of
# "OFFSET: XX XX ...-XX ... *text*". Compare everything but the handle.
python3 - "$LOG" <<'PY'
import re, sys
text = open(sys.argv[1], 'rb').read().decode('latin-1').replace('\r', '')
text = re.sub(r'\x1b\[[0-9;]*[A-Za-z]', '', text)
at = text.find('Type=251, Handle=')
if at < 0:
    sys.exit('AAVMF: smbiosview showed no type 251 record')
if text.count('Type=251, Handle=') != 1:
    sys.exit('AAVMF: more than one type 251 record')
length = re.search(r'Length=0x([0-9A-Fa-f]+)', text[at:])
data = []
for line in text[at:].split('\n')[1:]:
    m = re.match(r'\s*([0-9A-F]{8}): ((?:[0-9A-F]{2}[ -])*[0-9A-F]{2})', line)
    if m:
        data += [int(b, 16) for b in re.split('[ -]', m.group(2))]
    elif data:
        break
expected = ([0xFB, 0x30, data[2] if len(data) > 3 else 0, data[3] if len(data) > 3 else 0] + list(b'UDSR') +
            [1, 0, 0, 0] + [0xFF] * 8 + [0] * 16 + [0xFF] * 4 + [0x08, 0, 0xFF, 0xFF] + [0x03, 0, 0, 0] + [0, 0])
print('Portplate under AAVMF: Length=0x%s, record %s' % (length.group(1) if length else '?', ' '.join('%02X' % b for b in data)))
if data != expected or not length or int(length.group(1), 16) != 50:
    sys.exit('AAVMF: the type 251 record is not the template with option mask 03 00 00 00')
print('Portplate under AAVMF: PASS')
PY
