// The board catches real faults in guest code and names the module and the
// source line: a NULL dereference, a one-byte pool overrun, a leaked pool
// buffer, a dead loop, a failed assertion. The FaultProbe test image commits
// each one on a line marked "FAULT: <name>".
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

namespace vboard {
namespace {

const char *const kProbeSource = "Test/FaultProbe/FaultProbe.cpp";

std::string Site (const char *Marker) {
  return std::string (kProbeSource) + ":" + std::to_string (test::LineOf (kProbeSource, Marker));
}

TEST (FaultDetection, IdleProbeIsClean) {
  Board B;
  EXPECT_EQ (test::RunFaultProbe (B, 0), efi::Success) << B.FaultReport ();
  EXPECT_EQ (B.Uart0.Text (), "FaultProbe idle\r\n");
  EXPECT_TRUE (B.Fw.FindLeaks ().empty ());
}

TEST (FaultDetection, NullDereference) {
  Board B;
  test::RunFaultProbe (B, 1);
  ASSERT_TRUE (B.M.Faulted ());
  EXPECT_EQ (B.M.LastFault ().Kind, FaultKind::UnmappedRead);
  EXPECT_LT (B.M.LastFault ().Address, 0x1000u);
  EXPECT_EQ (B.FaultModule (), "FaultProbe");
  EXPECT_EQ (B.FaultLine (), Site ("FAULT: null-dereference"));
  std::string Report = B.FaultReport ();
  EXPECT_NE (Report.find ("read of unmapped memory in FaultProbe at " + Site ("FAULT: null-dereference")), std::string::npos) << Report;
}

TEST (FaultDetection, OneByteOverrunOfAPoolBuffer) {
  Board B;
  test::RunFaultProbe (B, 2);
  ASSERT_TRUE (B.M.Faulted ());
  EXPECT_EQ (B.M.LastFault ().Kind, FaultKind::UnmappedWrite);
  EXPECT_EQ (B.FaultModule (), "FaultProbe");
  EXPECT_EQ (B.FaultLine (), Site ("FAULT: pool-overrun"));
}

TEST (FaultDetection, LeakedPoolBuffer) {
  Board B;
  EXPECT_EQ (test::RunFaultProbe (B, 3), efi::Success) << B.FaultReport ();
  auto Leaks = B.Fw.FindLeaks ();
  ASSERT_EQ (Leaks.size (), 1u);
  EXPECT_EQ (Leaks[0].Block.Size, 32u);
  EXPECT_EQ (Leaks[0].Owner, "FaultProbe");
  EXPECT_NE (Leaks[0].Where.find (Site ("FAULT: pool-leak").substr (std::string (kProbeSource).rfind ('/') + 1)), std::string::npos)
      << Leaks[0].Where;
}

TEST (FaultDetection, DeadLoop) {
  Board B;
  test::RunFaultProbe (B, 4);
  ASSERT_TRUE (B.M.Faulted ());
  EXPECT_EQ (B.M.LastFault ().Kind, FaultKind::DeadLoop);
  EXPECT_EQ (B.FaultModule (), "FaultProbe");
  EXPECT_EQ (B.FaultLine (), Site ("FAULT: dead-loop"));
}

TEST (FaultDetection, FailedAssertion) {
  Board B;
  test::RunFaultProbe (B, 5);
  ASSERT_TRUE (B.M.Faulted ());
  std::string Report = B.FaultReport ();
  EXPECT_EQ (Report.rfind ("FAULT: assertion failed in FaultProbe at " + Site ("FAULT: assert") + "\n", 0), 0u) << Report;
}

TEST (FaultDetection, InstructionBudgetStopsARunawayCall) {
  Board B;
  B.M.SetDeadLoopLimit (~0ULL);   // no dead-loop shortcut: the budget alone must stop it
  B.M.SetBudget (5000000);
  test::RunFaultProbe (B, 4);
  ASSERT_TRUE (B.M.Faulted ());
  EXPECT_EQ (B.M.LastFault ().Kind, FaultKind::BudgetExhausted);
  EXPECT_EQ (B.FaultModule (), "FaultProbe");
}

}  // namespace
}  // namespace vboard
