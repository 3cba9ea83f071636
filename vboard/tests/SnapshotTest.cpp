// Saved states: runs from a saved board leave it as it was, whatever they
// do (program the flash, fault, throw, crash); erased flash regions share
// no written byte between boards; fuzz runs see nothing of earlier runs and
// still bring back their faults and coverage.
#include "fuzz/FuzzTargets.h"
#include "host/Snapshot.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>
#include <gtest/gtest-spi.h>

#include <cstdlib>
#include <stdexcept>

namespace vboard {
namespace {

constexpr uint64_t kProbeAt = 0x930000;   // an erased block of the boot flash

TEST (Snapshot, RunsLeaveTheSavedBoardAsItWas) {
  Board B;
  for (int Run = 0; Run < 2; Run++) {
    CopyOutcome O = RunInCopy ([&B] {
      std::string Before = B.Flash.Read (kProbeAt, 4) == std::vector<uint8_t> (4, 0xFF) ? "erased" : "written";
      B.Flash.Program (kProbeAt, {1, 2, 3, 4});
      test::RunFaultProbe (B, 1);   // a NULL dereference
      return Before + (B.M.Faulted () ? " faulted" : " clean");
    });
    ASSERT_TRUE (O.Result) << O.Failure;
    EXPECT_EQ (*O.Result, "erased faulted") << "run " << Run;
  }
  EXPECT_EQ (B.Flash.Read (kProbeAt, 4), std::vector<uint8_t> (4, 0xFF));
  EXPECT_FALSE (B.M.Faulted ());
  EXPECT_EQ (test::RunFaultProbe (B, 0), efi::Success) << B.FaultReport ();
}

TEST (Snapshot, FailedRunsAreReported) {
  CopyOutcome Threw = RunInCopy ([]() -> std::string { throw std::runtime_error ("host table region full"); });
  EXPECT_FALSE (Threw.Result);
  EXPECT_EQ (Threw.Failure, "host table region full");
  CopyOutcome Crashed = RunInCopy ([]() -> std::string { std::abort (); });
  EXPECT_FALSE (Crashed.Result);
  EXPECT_NE (Crashed.Failure.find ("signal"), std::string::npos) << Crashed.Failure;
  CopyOutcome Large = RunInCopy ([] { return std::string (1 << 20, 'x'); });
  ASSERT_TRUE (Large.Result);
  EXPECT_EQ (Large.Result->size (), 1u << 20);
}

Board *gSaved = nullptr;

TEST (Snapshot, ExpectationsThatFailInACopyFailTheTest) {
  Board B;
  gSaved = &B;
  EXPECT_NONFATAL_FAILURE (test::InCopy (*gSaved, [] (Board &C) { EXPECT_EQ (C.UartText (), "text no UART received"); }),
                           "text no UART received");
  EXPECT_NONFATAL_FAILURE (test::InCopy (*gSaved, [] (Board &) { throw std::runtime_error ("out of trap slots"); }),
                           "out of trap slots");
  gSaved = nullptr;
}

TEST (Snapshot, ErasedRegionsShareNoWrittenByte) {
  Machine A, B;
  const uint64_t Base = 0x20000000, Size = 0x300000;   // spans several chunks of the shared image
  A.MapFilled (Base, Size, 0xFF, true, false);
  B.MapFilled (Base, Size, 0xFF, true, false);
  A.Store<uint32_t> (Base + 0x180000, 0x12345678);
  EXPECT_EQ (A.Load<uint32_t> (Base + 0x180000), 0x12345678u);
  EXPECT_EQ (B.Load<uint32_t> (Base + 0x180000), 0xFFFFFFFFu);
  EXPECT_EQ (A.Load<uint32_t> (Base + 0x80000), 0xFFFFFFFFu);   // same offset in another chunk
  A.Unmap (Base, Size);
  A.MapFilled (Base, Size, 0xFF, true, false);
  EXPECT_EQ (A.Load<uint32_t> (Base + 0x180000), 0xFFFFFFFFu);
  Machine Z;
  Z.MapFilled (Base, 0x1000, 0, true, false);
  EXPECT_EQ (Z.Load<uint64_t> (Base + 0xFF8), 0u);
}

TEST (Snapshot, FuzzRunsAreIndependentAndBringBackCoverage) {
  const fuzz::Target *T = fuzz::FindTarget ("planted");
  ASSERT_NE (T, nullptr);
  // A text record: the parser writes its terminator one byte past the copy.
  std::vector<uint8_t> Overrun = {0x7E, 16};
  Overrun.resize (2 + 16, 'a');
  std::vector<uint8_t> Clean = {0x10, 4, 'a', 'b', 'c', 'd'};
  for (int Round = 0; Round < 2; Round++) {
    std::string Fault = fuzz::RunOne (*T, Overrun.data (), Overrun.size ());
    EXPECT_NE (Fault.find ("PlantedOverrun.cpp"), std::string::npos) << Fault;
    uint64_t Entered = 0;
    std::string After = fuzz::RunOne (*T, Clean.data (), Clean.size (), [&] (const std::string &M, uint64_t, uint64_t Count) {
      EXPECT_EQ (M, "PlantedOverrun");
      Entered += Count;
    });
    EXPECT_EQ (After, "") << "round " << Round;
    EXPECT_GT (Entered, 0u);
  }
}

}  // namespace
}  // namespace vboard
