#!/usr/bin/env bash
# Boots the ArmVirtQemu firmware that scripts/armvirtqemu-build.sh built with
# the package integrated, in qemu-system-aarch64 -M virt, and checks what the
# package's modules did when the platform's own DXE core dispatched them from
# its main firmware volume with their own dependency expressions.
#
# One QEMU run, two boots (the variable store lives in virt's second flash
# bank, which keeps its content across a warm reset):
#   boot 1, no SystemSetupConfig: Vfswitch treats SR-IOV as on; Portplate
#     publishes no type 251 record and says why on the serial port;
#     Gatewarden installs no marker, so no gated probe runs. The shell then
#     stores SystemSetupConfig with setvar and resets.
#   boot 2, SystemSetupConfig with NetworkMode 1, Mode1OptionA 1,
#     Mode1OptionB 0, SrIovEnable 0 and Type251Option 1: the probes that
#     the markers allow run, Vfswitch turns SR-IOV off, Portplate's record
#     carries option mask 03 00 00 00, and WakeAlarmCheck exercises
#     Wattkeep's protocol.
# PlatformPcdCheck prints the PCDs by name from the platform's PCD database;
# smbiosview -t 251 shows the record. The serial log must hold the DXE core's
# "Loading driver" line of each module, the modules' own messages as the
# package's SerialDebugLib writes them on the PL011 at 0x09000000, and no
# exception or assertion.
#
# Log: build/logs/armvirtqemu-boot.log. Bounded: QEMU is killed after
# ASFP_PLATFORM_BOOT_TIMEOUT seconds (default 240).
set -euo pipefail
REPO=$(cd "$(dirname "$0")/.." && pwd)
PROBE_DIR="$REPO/ArmServerFeaturePkg/Test/GatedProbe"
LOG="$REPO/build/logs/armvirtqemu-boot.log"
BOOT_TIMEOUT="${ASFP_PLATFORM_BOOT_TIMEOUT:-240}"
SETUP_GUID=3336B68B-9F08-47DA-BC4F-C995C0A47C4C

fail () { echo "armvirtqemu-boot: $*" >&2; exit 1; }

for tool in qemu-system-aarch64 timeout python3; do
  command -v "$tool" >/dev/null || fail "$tool is not installed"
done
# The build script only checks when everything is up to date.
FD=$("$REPO/scripts/armvirtqemu-build.sh" | tail -n 1)
IMAGES="$(dirname "$(dirname "$FD")")/AARCH64"
for f in "$FD" "$IMAGES/PlatformPcdCheck.efi" "$IMAGES/WakeAlarmCheck.efi"; do
  [ -f "$f" ] || fail "missing $f"
done
mkdir -p "$(dirname "$LOG")"

# shellcheck source=gating.sh
. "$REPO/scripts/gating.sh"

disk=$(mktemp -d)
trap 'rm -rf "$disk"' EXIT
cp "$IMAGES/PlatformPcdCheck.efi" "$IMAGES/WakeAlarmCheck.efi" "$IMAGES/Wirelaunch.efi" "$disk/"
# The 184-byte setup record of boot 2.
setup=$(python3 -c '
b = bytearray(184)
b[64:69] = bytes([1, 1, 0, 0, 0])   # NetworkMode, Mode1OptionA, Mode2OptionA, Mode1OptionB, Mode2OptionB
b[21] = 1                           # Type251Option
b[125] = 0                          # SrIovEnable
print(b.hex().upper())')
{
  printf 'fs0:\r\n'
  printf 'setvar SystemSetupConfig -guid %s\r\n' "$SETUP_GUID"
  printf 'if %%lasterror%% == 0x0 then\r\n'
  printf '  echo "ASFP: boot 2"\r\n'
  printf '  PlatformPcdCheck.efi\r\n'
  printf '  WakeAlarmCheck.efi\r\n'
  printf '  smbiosview -t 251\r\n'
  printf '  echo "ASFP: end"\r\n'
  printf '  reset -s\r\n'
  printf 'endif\r\n'
  printf 'echo "ASFP: boot 1"\r\n'
  printf 'PlatformPcdCheck.efi\r\n'
  printf 'Wirelaunch.efi\r\n'
  printf 'echo "ASFP: Wirelaunch returned %%lasterror%%"\r\n'
  printf 'smbiosview -t 251\r\n'
  printf 'setvar SystemSetupConfig -guid %s -bs -rt -nv =%s\r\n' "$SETUP_GUID" "$setup"
  printf 'echo "ASFP: reset"\r\n'
  printf 'reset\r\n'
} >"$disk/startup.nsh"

# No network device: the platform would otherwise try PXE before the shell.
start=$(date +%s.%N)
rc=0
timeout "$BOOT_TIMEOUT" qemu-system-aarch64 -M virt -cpu cortex-a57 -m 1024 -nographic \
  -bios "$FD" -drive file="fat:rw:$disk",format=raw,if=virtio -net none \
  </dev/null >"$LOG" 2>&1 || rc=$?
elapsed=$(python3 -c "import time; print('%.1f' % (time.time() - $start))")
[ "$rc" -ne 124 ] || fail "no power-off within $BOOT_TIMEOUT s; log: $LOG"
tr -d '\r' <"$LOG" | sed 's/\x1b\[[0-9;]*[A-Za-z]//g' >"$LOG.txt"
mv "$LOG.txt" "$LOG"
echo "QEMU ran $elapsed s for both boots (exit $rc)"

# Split the log at the shell's markers.
grep -aqx 'ASFP: end' "$LOG" || fail "the second boot did not finish its checks; log: $LOG"
boot1=$(awk '/^ASFP: reset$/ { exit } { print }' "$LOG")
boot2=$(awk 'done { print } /^ASFP: reset$/ { done = 1 }' "$LOG")

problems=()
expect_line () {   # boot text, exact line, what it shows
  grep -aqxF -- "$2" <<<"$1" || problems+=("$3: no line '$2'")
}
expect_no () {
  ! grep -aqF -- "$2" <<<"$1" || problems+=("$3: unexpected '$2'")
}

for n in 1 2; do
  text=$boot1; [ "$n" = 2 ] && text=$boot2
  # Dispatched from the platform's volume by its DXE core.
  for m in Wattkeep Gatewarden Vfswitch Portplate; do
    grep -aqE "^Loading driver at .* EntryPoint=.* $m\.efi$" <<<"$text" ||
      problems+=("boot $n: the DXE core did not load $m")
  done
  expect_no "$text" 'Synchronous Exception' "boot $n"
  expect_no "$text" 'ASSERT' "boot $n"
  grep -aq '^Shell> \|^FS0:\\> \|^ASFP: boot' <<<"$text" || problems+=("boot $n: no UEFI shell")
done

# Boot 1: no setup record.
expect_line "$boot1" 'ASFP: boot 1' 'boot 1'
expect_line "$boot1" 'PlatformPcdCheck: PcdSrIovEnable=1' 'boot 1, Vfswitch (no record: SR-IOV on)'
expect_line "$boot1" 'PlatformPcdCheck: PcdSrIovPlatformFlag=0' 'boot 1, Vfswitch'
expect_line "$boot1" 'PlatformPcdCheck: PcdSrIovPlatformValue=16' 'boot 1, Vfswitch'
expect_line "$boot1" 'PlatformPcdCheck: PcdSerialPortBaseAddress=0x9000000' 'boot 1, platform PCD'
# Wirelaunch, built into the platform with the fragments, as a shell
# application: it walks the platform's own BootOrder, finds no network
# option (the machine has no network device) and returns EFI_UNSUPPORTED,
# which the shell shows as 0x3.
grep -aqE '^Loading driver at .* EntryPoint=.* Wirelaunch\.efi$' <<<"$boot1" || problems+=("boot 1: Wirelaunch was not loaded")
expect_line "$boot1" 'ASFP: Wirelaunch returned 0x3' 'boot 1, Wirelaunch (no network option)'
expect_no "$boot1" 'Boot From Network' 'boot 1, Wirelaunch (no network option, no banner)'
grep -aqE '^ In Portplate, GetVariable ERROR,  line [0-9]+\. $' <<<"$boot1" ||
  problems+=("boot 1, Portplate: no GetVariable message")
expect_line "$boot1" 'Add Type 251 Table Failed!  Not Found.' 'boot 1, Portplate'
expect_no "$boot1" 'Type=251, Handle=' 'boot 1, Portplate (no record without setup)'

# Boot 2: the stored record.
expect_line "$boot2" 'PlatformPcdCheck: PcdSrIovEnable=0' 'boot 2, Vfswitch (SrIovEnable 0)'
expect_line "$boot2" 'PlatformPcdCheck: PcdSrIovPlatformFlag=0' 'boot 2, Vfswitch'
expect_line "$boot2" 'PlatformPcdCheck: PcdSrIovPlatformValue=0' 'boot 2, Vfswitch (not written when off)'
expect_line "$boot2" 'PlatformPcdCheck: PcdSerialPortBaseAddress=0x9000000' 'boot 2, platform PCD'
expect_line "$boot2" 'WakeAlarmCheck: PASS' 'boot 2, Wattkeep'
expect_no "$boot2" 'In Portplate' 'boot 2, Portplate'
python3 - "$boot2" <<'PY' || problems+=("boot 2, Portplate: the type 251 record is not the template with mask 03")
import re, sys
text = sys.argv[1]
at = text.find('Type=251, Handle=')
if at < 0 or text.count('Type=251, Handle=') != 1:
    sys.exit(1)
data = []
for line in text[at:].split('\n')[1:]:
    m = re.match(r'\s*([0-9A-F]{8}): ((?:[0-9A-F]{2}[ -])*[0-9A-F]{2})', line)
    if m:
        data += [int(b, 16) for b in re.split('[ -]', m.group(2))]
    elif data:
        break
expected = ([0xFB, 0x30] + data[2:4] + list(b'UDSR') + [1, 0, 0, 0] + [0xFF] * 8 + [0] * 16 +
            [0xFF] * 4 + [0x08, 0, 0xFF, 0xFF] + [0x03, 0, 0, 0] + [0, 0])
print('boot 2, type 251 record: ' + ' '.join('%02X' % b for b in data))
sys.exit(0 if data == expected else 1)
PY

# Gating, per boot: boot 1 has no record, boot 2 mode 1 with option A.
for n in 1 2; do
  if [ "$n" = 1 ]; then text=$boot1; set_markers - - - - -; else text=$boot2; set_markers 1 1 0 0 0; fi
  printf '%s\n' "$text" >"$LOG.boot$n"
  ran=()
  for probe in "${PROBES[@]}"; do
    want=$(expect_ran "$probe")
    got=0
    grep -aqE "(^|[^A-Za-z0-9])$probe started: Success" <<<"$text" && got=1
    [ "$got" = 1 ] && ran+=("$probe")
    [ "$got" = "$want" ] || problems+=("boot $n: $probe ran=$got, expected $want")
  done
  echo "boot $n: probes run: ${ran[*]:-none}"
  # BEFORE/AFTER: the probe starts next to its target, on the right side.
  for probe in "${PROBES[@]}"; do
    read -r -a tokens <<<"${DEPEX[$probe]}"
    case ${tokens[0]} in BEFORE|AFTER) ;; *) continue ;; esac
    target=$(target_probe "${tokens[1]}")
    mine=$(started_line "$LOG.boot$n" "$probe")
    theirs=$(started_line "$LOG.boot$n" "$target")
    [ -n "$mine" ] && [ -n "$theirs" ] || continue
    if { [ "${tokens[0]}" = BEFORE ] && [ "$mine" -gt "$theirs" ]; } ||
       { [ "${tokens[0]}" = AFTER ] && [ "$mine" -lt "$theirs" ]; }; then
      problems+=("boot $n: $probe started on the wrong side of $target (${tokens[0]})")
    fi
  done
  undi=$(grep -ac '^intel GigUndiDxe.efi and XGigUndiDxe.efi install$' <<<"$text" || true)
  [ "$undi" = "${MARKER[gNetworkUndiDepexProtocolGuid]}" ] ||
    problems+=("boot $n: Gatewarden's UNDI message printed $undi times, expected ${MARKER[gNetworkUndiDepexProtocolGuid]}")
  rm -f "$LOG.boot$n"
done

if [ "${#problems[@]}" -ne 0 ]; then
  printf 'MISMATCH: %s\n' "${problems[@]}"
  fail "${#problems[@]} checks failed; log: $LOG"
fi
echo "ArmVirtQemu with ArmServerFeaturePkg: PASS"
