// libFuzzer driver of the board's fuzz targets. The target is chosen with
// ASFP_FUZZ_TARGET. Coverage comes from the guest: every AARCH64 code block
// of the target's modules that a run enters bumps a counter in the section
// libFuzzer reads as extra counters, so the fuzzer is guided by the
// module's own code, not by the board's. A run the board reports a fault
// or a leak for aborts, and libFuzzer keeps the input as a reproducer
// (replay it with `vboard --fuzz-replay TARGET FILE`).
#include "fuzz/FuzzTargets.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <utility>

namespace {

constexpr size_t kCounters = 1 << 16;
__attribute__ ((section ("__libfuzzer_extra_counters"), used)) uint8_t gCounters[kCounters];

const vboard::fuzz::Target *gTarget = nullptr;
std::set<std::pair<std::string, uint64_t>> gBlocks;   // distinct blocks ever entered

size_t Slot (const std::string &Module, uint64_t Offset) {
  uint64_t H = 1469598103934665603ULL;   // FNV-1a over the name, then the offset
  for (char C : Module) H = (H ^ static_cast<uint8_t> (C)) * 1099511628211ULL;
  H = (H ^ Offset) * 1099511628211ULL;
  return static_cast<size_t> (H ^ (H >> 29)) % kCounters;
}

void PrintCoverage () {
  std::fprintf (stderr, "ASFP-FUZZ target %s: %zu distinct guest blocks entered\n", gTarget->Name, gBlocks.size ());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize (int *, char ***) {
  const char *Name = std::getenv ("ASFP_FUZZ_TARGET");
  gTarget = Name != nullptr ? vboard::fuzz::FindTarget (Name) : nullptr;
  if (gTarget == nullptr) {
    std::fprintf (stderr, "set ASFP_FUZZ_TARGET to one of:");
    for (const auto &T : vboard::fuzz::Targets ()) std::fprintf (stderr, " %s", T.Name);
    std::fprintf (stderr, "\n");
    std::exit (2);
  }
  std::atexit (PrintCoverage);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput (const uint8_t *Data, size_t Size) {
  std::string Fault = vboard::fuzz::RunOne (*gTarget, Data, Size, [] (const std::string &Module, uint64_t Offset, uint64_t Count) {
    uint8_t &C = gCounters[Slot (Module, Offset)];
    C = static_cast<uint8_t> (std::min<uint64_t> (0xFF, C + Count));
    gBlocks.insert ({Module, Offset});
  });
  if (!Fault.empty ()) {
    std::fprintf (stderr, "ASFP-FUZZ fault in target %s:\n%s\n", gTarget->Name, Fault.c_str ());
    std::abort ();
  }
  return 0;
}
