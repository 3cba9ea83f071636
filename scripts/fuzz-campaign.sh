#!/usr/bin/env bash
# make fuzz: a longer campaign per target, one at a time (ASFP_FUZZ_SECONDS
# each, default 300; ASFP_FUZZ_TARGETS to choose), keeping each target's
# corpus in build/fuzz/campaign/TARGET between campaigns. Ends with a table:
# runs, executions per second, distinct guest blocks entered against the
# module's basic blocks (counted from its .debug with objdump), and faults.
set -uo pipefail
REPO=$(cd "$(dirname "$0")/.." && pwd)
"$REPO/scripts/prepare.sh" || exit 1
FUZZ="$REPO/build/fuzz/vboard_fuzz"
VBOARD="$REPO/build/vboard/vboard"
# shellcheck source=edk2-env.sh
. "$REPO/scripts/edk2-env.sh"
IMAGES="$ASFP_BUILD/ArmServerFeaturePkg/DEBUG_$ASFP_TOOLCHAIN/AARCH64"
SECS=${ASFP_FUZZ_SECONDS:-300}
TARGETS=${ASFP_FUZZ_TARGETS:-$("$VBOARD" --fuzz-list | cut -d: -f1 | grep -v '^planted$')}

# Basic blocks of an image: function starts, branch targets and the
# instructions after branches, from the disassembly of its .debug file.
blocks () {
  aarch64-linux-gnu-objdump -d --no-show-raw-insn "$1" | python3 -c '
import re, sys
insns, leaders, after = [], set(), False
for line in sys.stdin:
    m = re.match(r"\s*([0-9a-f]+):\s+(\S+)\s*(.*)", line)
    f = re.match(r"([0-9a-f]+) <", line)
    if f: leaders.add(int(f.group(1), 16)); continue
    if not m: continue
    a, op, args = int(m.group(1), 16), m.group(2), m.group(3)
    if after: leaders.add(a)
    after = op in ("b", "br", "ret", "cbz", "cbnz", "tbz", "tbnz") or op.startswith("b.")
    t = re.search(r"\b([0-9a-f]+) <", args)
    if after and t: leaders.add(int(t.group(1), 16))
print(len(leaders))'
}

printf '\n%-16s %9s %8s %22s %7s\n' target runs exec/s "blocks entered/total" faults > "$REPO/build/fuzz/campaign.txt.new"
for t in $TARGETS; do
  work="$REPO/build/fuzz/campaign/$t"
  mkdir -p "$work/corpus" "$work/crashes"
  cp -n "$REPO/vboard/fuzz/corpus/$t"/* "$work/corpus/" 2>/dev/null
  echo ">> fuzzing $t for $SECS s" >&2
  ASFP_FUZZ_TARGET="$t" timeout $((SECS + 120)) "$FUZZ" -max_total_time="$SECS" -artifact_prefix="$work/crashes/" \
    -print_final_stats=1 "$work/corpus" >"$work/log" 2>&1
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/log" | tail -n 1)
  seen=$(sed -n 's/^ASFP-FUZZ target .*: \([0-9]*\) distinct.*/\1/p' "$work/log" | tail -n 1)
  modules=$("$VBOARD" --fuzz-modules "$t")
  total=0
  for m in $modules; do total=$((total + $(blocks "$IMAGES/$m.debug"))); done
  faults=$(find "$work/crashes" -type f | wc -l)
  printf '%-16s %9s %8s %22s %7s\n' "$t" "${runs:-?}" "${rate:-?}" "${seen:-?}/$total" "$faults" >> "$REPO/build/fuzz/campaign.txt.new"
  for c in $(find "$work/crashes" -type f); do "$VBOARD" --fuzz-replay "$t" "$c" >&2; done
done
mv "$REPO/build/fuzz/campaign.txt.new" "$REPO/build/fuzz/campaign.txt"
cat "$REPO/build/fuzz/campaign.txt"
