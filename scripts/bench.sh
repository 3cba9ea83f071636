#!/usr/bin/env bash
# make bench: the board's speed on this machine. Builds what make builds,
# then prints vboard --bench's table (board construction, the DEBUG and
# RELEASE volume boots and their emulated instructions per second, each fuzz
# target's runs per second; medians of ASFP_BENCH_RUNS runs, default 5) and
# the wall time of one whole `vboard --fv` process as `make` runs it, report
# tools (iasl, dmidecode) included (median of as many runs).
#
# ASFP_BENCH_BASELINE=PATH/vboard measures that other build of the board the
# same way, right before this one, and prints both side by side: a
# before/after comparison from one run on one machine. Nothing else should
# load the machine meanwhile (other builds wait on the build lock: run this
# under it). ASFP_BENCH_ROUNDS=N (default 1) measures N rounds, the two
# builds taking turns, and prints each row's median over the rounds: on a
# virtual machine whose speed drifts over minutes, both builds then see the
# same mix of fast and slow spells. ASFP_BENCH_CPU=N (default 0) runs both
# builds on that CPU (taskset): the virtual CPUs of the machines measured
# differ in speed by up to 1.8 times, and a process lands on either; set it
# empty to let the scheduler choose.
set -euo pipefail
REPO=$(cd "$(dirname "$0")/.." && pwd)
[ -n "${ASFP_BENCH_NO_BUILD:-}" ] || "$REPO/scripts/prepare.sh"
RUNS=${ASFP_BENCH_RUNS:-5}
ROUNDS=${ASFP_BENCH_ROUNDS:-1}
BUILD="$REPO/build/edk2-ws/Build"
FV="$BUILD/ArmServerFeaturePkg/DEBUG_GCC5/FV/ARMSERVERFEATUREFV.Fv"
SERVED="$BUILD/ArmServerFeaturePkgTest/DEBUG_GCC5/AARCH64/NetBootProbe.efi"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

CPU=${ASFP_BENCH_CPU-0}
PIN=()
[ -z "$CPU" ] || PIN=(taskset -c "$CPU")

measure () {   # VBOARD OUT: the table of that build, with the process row added
  # A boot that was not clean is said on standard error; its figures stay.
  "${PIN[@]}" "$1" --bench "$RUNS" >"$WORK/table" || true
  grep -v 'did not complete cleanly' "$WORK/table" >"$2" || true
  grep 'did not complete cleanly' "$WORK/table" | sed "s|^|$1: |" >&2 || true
  local times=()
  for _ in $(seq "$RUNS"); do
    local a b
    a=$(date +%s.%N)
    "${PIN[@]}" "$1" --fv "$FV" --network "serve:$SERVED" >"$WORK/fv.log" || { echo "vboard --fv failed:" >&2; tail "$WORK/fv.log" >&2; exit 1; }
    b=$(date +%s.%N)
    times+=("$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.6f", (b - a) * 1000 }')")
  done
  printf '%s\n' "${times[@]}" | sort -g | awk -v runs="$RUNS" '{ v[NR] = $1 } END {
    m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    printf "%-34s %12.3f %-8s %s\n", "vboard --fv process", m, "ms", "(report tools included)" }' >>"$2"
}

combine () {   # OUT TABLE...: each row's median over the tables
  # Rows are fixed-width: the name in 34 columns, the value in the next 13.
  local out=$1
  shift
  awk -v rounds="$ROUNDS" '
    FNR == 1 { f++; if (f == 1) head = $0; next }
    { k = substr($0, 1, 34); if (!(k in line)) { line[k] = $0; order[++n] = k }
      split(substr($0, 35), x, " "); v[k] = v[k] " " x[1] }
    END {
      print head (rounds > 1 ? ", then the median of " rounds " rounds" : "")
      for (i = 1; i <= n; i++) {
        k = order[i]; m = split(v[k], s, " ")
        for (p = 2; p <= m; p++) for (q = p; q > 1 && s[q - 1] + 0 > s[q] + 0; q--) { t = s[q]; s[q] = s[q - 1]; s[q - 1] = t }
        med = m % 2 ? s[(m + 1) / 2] : (s[m / 2] + s[m / 2 + 1]) / 2
        printf "%-34s %12.3f%s\n", k, med, substr(line[k], 48)
      }
    }' "$@" >"$out"
}

if [ -n "$CPU" ]; then echo "== every process on CPU $CPU"; else echo "== every process where the scheduler put it"; fi
if [ -n "${ASFP_BENCH_BASELINE:-}" ]; then
  for R in $(seq "$ROUNDS"); do
    measure "$ASFP_BENCH_BASELINE" "$WORK/before.$R"
    measure "$REPO/build/vboard/vboard" "$WORK/after.$R"
  done
  combine "$WORK/before" "$WORK"/before.*
  combine "$WORK/after" "$WORK"/after.*
  echo "== before: $ASFP_BENCH_BASELINE"
  cat "$WORK/before"
  echo "== after: build/vboard/vboard"
  cat "$WORK/after"
  echo "== side by side"
  # Rows are fixed-width: the name in 34 columns, then value and unit.
  awk 'FNR == 1 { f++ } f == 1 && FNR > 1 { k = substr($0, 1, 34); b[k] = $0; order[++n] = k; next }
       f == 2 && FNR > 1 { a[substr($0, 1, 34)] = $0 }
       END {
         printf "%-34s %12s %12s %-8s %s\n", "", "before", "after", "unit", "after/before"
         for (i = 1; i <= n; i++) {
           k = order[i]; split(substr(b[k], 35), x, " "); split(substr(a[k], 35), y, " ")
           printf "%-34s %12.3f %12.3f %-8s %.2fx\n", k, x[1], y[1], x[2], (x[1] > 0 ? y[1] / x[1] : 0)
         }
       }' "$WORK/before" "$WORK/after"
else
  for R in $(seq "$ROUNDS"); do measure "$REPO/build/vboard/vboard" "$WORK/after.$R"; done
  combine "$WORK/after" "$WORK"/after.*
  cat "$WORK/after"
fi
