#!/usr/bin/env bash
# One fuzz target in the tests: its checked-in seeds, then a bounded number
# of fresh runs (ASFP_FUZZ_RUNS, default 400, and at most ASFP_FUZZ_SECONDS,
# default 60), with a fixed libFuzzer seed so a run is repeatable. A fault
# fails the test and leaves the reproducer in build/fuzz/check/TARGET/crashes,
# replayed here with the board's fault report (vboard --fuzz-replay).
#
#   fuzz-check.sh TARGET           passes when no run faults
#   fuzz-check.sh TARGET planted   passes when a run faults and the replay
#                                  reproduces it (the planted-fault check)
set -uo pipefail
REPO=$(cd "$(dirname "$0")/.." && pwd)
FUZZ="$REPO/build/fuzz/vboard_fuzz"
VBOARD="$REPO/build/vboard/vboard"
TARGET=$1
EXPECT=${2:-clean}
RUNS=${ASFP_FUZZ_RUNS:-400}
SECONDS_MAX=${ASFP_FUZZ_SECONDS:-60}
for f in "$FUZZ" "$VBOARD"; do [ -x "$f" ] || { echo "missing $f (run scripts/prepare.sh)" >&2; exit 1; }; done
SEEDS="$REPO/vboard/fuzz/corpus/$TARGET"
[ -d "$SEEDS" ] || { echo "no seed corpus $SEEDS" >&2; exit 1; }

WORK="$REPO/build/fuzz/check/$TARGET"
rm -rf "$WORK"
mkdir -p "$WORK/corpus" "$WORK/crashes"
cp "$SEEDS"/* "$WORK/corpus/"   # new inputs go to the copy; the checked-in seeds stay as they are
ASFP_FUZZ_TARGET="$TARGET" timeout $((SECONDS_MAX + 60)) "$FUZZ" -seed=1 -runs="$RUNS" -max_total_time="$SECONDS_MAX" \
  -artifact_prefix="$WORK/crashes/" -print_final_stats=1 "$WORK/corpus" >"$WORK/log" 2>&1
rc=$?
grep -E '^(stat::number_of_executed_units|stat::average_exec_per_sec)|^ASFP-FUZZ target' "$WORK/log" || true
crash=$(find "$WORK/crashes" -type f | head -n 1)

if [ "$EXPECT" = planted ]; then
  [ -n "$crash" ] || { echo "the planted fault was not found in $RUNS runs; log: $WORK/log" >&2; exit 1; }
  "$VBOARD" --fuzz-replay "$TARGET" "$crash" | tee "$WORK/replay"
  grep -q 'PlantedOverrun.cpp' "$WORK/replay" || { echo "the replay does not reproduce the planted fault" >&2; exit 1; }
  echo "planted fault found and replayed: $crash"
  exit 0
fi
if [ -n "$crash" ]; then
  echo "fuzz target $TARGET: a run faulted; reproducer $crash" >&2
  "$VBOARD" --fuzz-replay "$TARGET" "$crash" >&2
  exit 1
fi
[ "$rc" -eq 0 ] || { echo "the fuzzer ended with status $rc; log: $WORK/log" >&2; tail -n 20 "$WORK/log" >&2; exit 1; }
echo "fuzz target $TARGET: clean"
