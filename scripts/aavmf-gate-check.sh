#!/usr/bin/env bash
# Gatewarden's gating under AAVMF's own DXE core (QEMU virt machine).
#
# For each setup case below, one AAVMF boot: the UEFI shell stores the
# 184-byte SystemSetupConfig with setvar (or stores none), loads Gatewarden,
# then runs GateCheck, which hands the volume of gated probes to
# gDS->ProcessFirmwareVolume, calls gDS->Dispatch and prints
# "GateCheck: <Name> ran|dormant" per probe and "GateCheck: DONE".
#
# The expected outcome is derived here, independently of the images: the
# markers the setup bytes enable (Gatewarden's rules, written out below), and
# each probe's [Depex] as written in its INF, evaluated against them. A probe
# whose expression is BEFORE or AFTER another probe is scheduled by the
# dispatcher right before or after that probe, so it runs exactly when its
# target runs; the order of their "started" lines is checked too.
#
# Fails with a message on a missing tool or image, a time-out, a missing or
# incomplete report, or any probe whose state differs from the expectation.
# Serial logs: build/logs/aavmf-gate-<case>.log. Each boot is bounded by
# ASFP_AAVMF_TIMEOUT seconds (default 120).
set -euo pipefail
. "$(dirname "$0")/aavmf-lib.sh"
PROBE_FV="$AAVMF_BUILD/FV/GATEDPROBESFV.Fv"
PROBE_DIR="$REPO/ArmServerFeaturePkg/Test/GatedProbe"
LOGDIR="$REPO/build/logs"
BOOT_TIMEOUT="${ASFP_AAVMF_TIMEOUT:-120}"
SETUP_GUID=3336B68B-9F08-47DA-BC4F-C995C0A47C4C
SETUP_SIZE=184
NETWORK_MODE_OFFSET=64   # then Mode1OptionA, Mode2OptionA, Mode1OptionB, Mode2OptionB

fail () { echo "aavmf-gate-check: $*" >&2; exit 1; }

# Cases: name, then NetworkMode Mode1OptionA Mode2OptionA Mode1OptionB
# Mode2OptionB; "-" for all five stores no variable at all.
CASES=(
  "mode0-options-on   0 1 1 1 1"
  "mode1-a-b          1 1 0 1 0"
  "mode2-m1a-only-b   2 1 0 0 1"
  "mode3-options-on   3 1 1 1 1"
  "mode1-a-b-byte2    1 1 0 2 0"
  "no-variable        - - - - -"
)

aavmf_require "$IMAGES/Gatewarden.efi" "$IMAGES/GateCheck.efi" "$PROBE_FV" "$PROBE_DIR/GatedProbes.fdf.inc" -- timeout
mkdir -p "$LOGDIR"

# The probes, their dependency expressions and Gatewarden's rules.
# shellcheck source=gating.sh
. "$REPO/scripts/gating.sh"

# The setup record as setvar's hex data: zero but for the network bytes.
setup_hex () {
  local -a bytes
  local i
  for ((i = 0; i < SETUP_SIZE; i++)); do bytes[i]=0; done
  for ((i = 0; i < 5; i++)); do bytes[NETWORK_MODE_OFFSET + i]=$(( $1 )); shift; done
  printf '%02X' "${bytes[@]}"
}

start=$(date +%s)
disk=$(mktemp -d)
trap 'rm -rf "$disk"' EXIT
cp "$IMAGES/Gatewarden.efi" "$IMAGES/GateCheck.efi" "$PROBE_FV" "$disk/"
failures=0

for case_line in "${CASES[@]}"; do
  read -r name mode m1a m2a m1b m2b <<<"$case_line"
  log="$LOGDIR/aavmf-gate-$name.log"
  set_markers "$mode" "$m1a" "$m2a" "$m1b" "$m2b"

  {
    printf 'fs0:\r\n'
    if [ "$mode" != - ]; then
      printf 'setvar SystemSetupConfig -guid %s -bs -rt -nv =%s\r\n' "$SETUP_GUID" "$(setup_hex "$mode" "$m1a" "$m2a" "$m1b" "$m2b")"
    fi
    printf 'load Gatewarden.efi\r\nGateCheck.efi\r\nreset -s\r\n'
  } >"$disk/startup.nsh"

  # No network device: AAVMF would otherwise try PXE before the shell. The
  # variable store is not backed by a file, so each boot starts without
  # the previous case's record.
  case_start=$(date +%s)
  rc=0
  timeout "$BOOT_TIMEOUT" qemu-system-aarch64 -M virt -cpu cortex-a57 -m 1024 -nographic \
    -bios "$FIRMWARE" -drive file="fat:rw:$disk",format=raw,if=virtio -net none -no-reboot \
    </dev/null >"$log" 2>&1 || rc=$?
  [ "$rc" -ne 124 ] || fail "case $name: AAVMF did not finish within $BOOT_TIMEOUT s; log: $log"
  tr -d '\r' <"$log" >"$log.txt"
  mv "$log.txt" "$log"

  report=$(grep -a '^GateCheck: ' "$log" || true)
  echo "== case $name (NetworkMode $mode, Mode1OptionA $m1a, Mode2OptionA $m2a, Mode1OptionB $m1b, Mode2OptionB $m2b): $(( $(date +%s) - case_start )) s"
  echo "$report"
  grep -aqx 'GateCheck: DONE' <<<"$report" || fail "case $name: GateCheck did not finish its report (qemu exit $rc); log: $log"

  problems=()
  for probe in "${PROBES[@]}"; do
    want=$(expect_ran "$probe")
    [ "$want" = 1 ] && want=ran || want=dormant
    got=$(grep -aE "^GateCheck: $probe (ran|dormant)$" <<<"$report" | awk '{ print $3 }' | paste -sd, -)
    [ "$got" = "$want" ] || problems+=("$probe: expected $want, reported '${got:-nothing}'")
  done
  reported=$(grep -acE '^GateCheck: [^ ]+ (ran|dormant)$' <<<"$report" || true)
  [ "$reported" -eq "${#PROBES[@]}" ] || problems+=("$reported probes reported, ${#PROBES[@]} in the volume")

  # BEFORE/AFTER: the probe runs next to its target, on the right side.
  for probe in "${PROBES[@]}"; do
    read -r -a tokens <<<"${DEPEX[$probe]}"
    case ${tokens[0]} in BEFORE|AFTER) ;; *) continue ;; esac
    target=$(target_probe "${tokens[1]}")
    mine=$(started_line "$log" "$probe")
    theirs=$(started_line "$log" "$target")
    [ -n "$mine" ] && [ -n "$theirs" ] || continue
    if { [ "${tokens[0]}" = BEFORE ] && [ "$mine" -gt "$theirs" ]; } ||
       { [ "${tokens[0]}" = AFTER ] && [ "$mine" -lt "$theirs" ]; }; then
      problems+=("$probe started on the wrong side of $target (${tokens[0]})")
    fi
  done

  # Gatewarden announces the UNDI marker exactly when it installs it.
  undi_msg=0
  grep -aq 'intel GigUndiDxe.efi and XGigUndiDxe.efi install' "$log" && undi_msg=1
  [ "$undi_msg" = "${MARKER[gNetworkUndiDepexProtocolGuid]}" ] ||
    problems+=("UNDI message printed: $undi_msg, expected ${MARKER[gNetworkUndiDepexProtocolGuid]}")

  if [ "${#problems[@]}" -eq 0 ]; then
    echo "   as expected"
  else
    printf '   MISMATCH: %s\n' "${problems[@]}"
    echo "   log: $log"
    failures=$((failures + 1))
  fi
done

echo "${#CASES[@]} cases in $(( $(date +%s) - start )) s"
[ "$failures" -eq 0 ] || fail "$failures of ${#CASES[@]} cases differ from the expectation"
