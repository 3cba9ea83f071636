// Rescuetab on the virtual board: the recovery-flash-information protocol,
// its instance in pool, and the record GetRecoveryFlashInfo fills.
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

namespace vboard {
namespace {

using namespace platform;

class RescuetabTest : public ::testing::Test {
 protected:
  Board B;
  uint64_t Interface = 0;

  void Boot () {
    ASSERT_EQ (B.Run (test::ModuleImage ("Rescuetab")), efi::Success) << B.FaultReport ();
    auto I = B.Fw.FindProtocol (kRecoveryFlashInfoProtocol);
    ASSERT_TRUE (I.has_value ());
    Interface = *I;
  }
  uint64_t Get (uint64_t This, uint64_t Info) { return B.Fw.CallGuest (B.M.Load<uint64_t> (Interface), {This, Info}); }
  void SetPcd (uint64_t Value) { B.Fw.SetPcdValue (kRecoveryParamTokenSpace, kPcdRecoveryParameter, Value); }
};

TEST_F (RescuetabTest, InstanceIsTheTemplateCopiedIntoPool) {
  Boot ();
  EXPECT_EQ (B.Uart0.Text (), "Rescuetab module success!\r\n");
  // The interface is the Protocol field at offset 16 of a 24-byte instance.
  const Allocation *A = B.Fw.Pool.Containing (Interface);
  ASSERT_NE (A, nullptr);
  EXPECT_EQ (A->Size, 24u);
  EXPECT_EQ (A->MemoryType, efi::BootServicesData);
  EXPECT_EQ (Interface - A->Address, 16u);
  EXPECT_EQ (B.M.Load<uint64_t> (A->Address), 0x79766372ULL) << "signature \"rcvy\", upper bytes 0";
  auto Handles = B.Fw.HandlesWith (kRecoveryFlashInfoProtocol);
  ASSERT_EQ (Handles.size (), 1u);
  EXPECT_EQ (B.M.Load<uint64_t> (A->Address + 8), Handles[0]) << "Handle field holds the new handle";
  EXPECT_TRUE (B.Fw.FindLeaks ().empty ());
}

TEST_F (RescuetabTest, RecordFollowsThePcdAndLeavesTheTailAlone) {
  Boot ();
  uint64_t Info = B.Scratch (40);
  std::vector<uint8_t> Fill (40, 0xEE);
  B.M.Write (Info, Fill.data (), Fill.size ());

  SetPcd (0x1122334455667788ULL);
  EXPECT_EQ (Get (Interface, Info), efi::Success);
  auto First = B.M.ReadBytes (Info, 40);
  EXPECT_EQ (B.M.Load<uint64_t> (Info + 0), kRecoveryRegionBase);
  EXPECT_EQ (B.M.Load<uint64_t> (Info + 8), kRecoverySecondBase);
  EXPECT_EQ (B.M.Load<uint64_t> (Info + 16), 0x1122334455667788ULL);
  EXPECT_EQ (B.M.Load<uint32_t> (Info + 24), kRecoveryRegionSize);
  for (size_t I = 28; I < 40; I++) {
    EXPECT_EQ (First[I], 0xEE) << "byte " << I << " was written";
  }

  // The same again while the PCD is unchanged, whatever This is.
  EXPECT_EQ (Get (0, Info), efi::Success);
  EXPECT_EQ (B.M.ReadBytes (Info, 40), First);
  EXPECT_EQ (Get (0xDEADBEEF00ULL, Info), efi::Success);
  EXPECT_EQ (B.M.ReadBytes (Info, 40), First);

  // The PCD is read on every call; only PcdValue changes.
  SetPcd (42);
  EXPECT_EQ (Get (Interface, Info), efi::Success);
  auto Second = B.M.ReadBytes (Info, 40);
  EXPECT_EQ (B.M.Load<uint64_t> (Info + 16), 42u);
  for (size_t I = 0; I < 40; I++) {
    if (I < 16 || I >= 24) {
      EXPECT_EQ (Second[I], First[I]) << "byte " << I;
    }
  }
}

TEST_F (RescuetabTest, NullRecordIsRefused) {
  Boot ();
  size_t Reads = B.Fw.Calls.size ();
  EXPECT_EQ (Get (Interface, 0), efi::InvalidParameter);
  EXPECT_FALSE (B.M.Faulted ()) << B.FaultReport ();
  EXPECT_EQ (B.Fw.Calls.size (), Reads) << "no PCD read for a call that writes nothing";
}

TEST_F (RescuetabTest, OutOfPool) {
  B.Fw.Pool.FailAfter (0);
  EXPECT_EQ (B.Run (test::ModuleImage ("Rescuetab")), efi::OutOfResources) << B.FaultReport ();
  EXPECT_EQ (B.Uart0.Text (), "ERROR: No enouge memory for Rescuetab module!\r\n");
  EXPECT_FALSE (B.Fw.FindProtocol (kRecoveryFlashInfoProtocol).has_value ());
}

TEST_F (RescuetabTest, FailedInstallFreesTheInstanceAndReturnsTheError) {
  B.Fw.FailInstallProtocol[kRecoveryFlashInfoProtocol] = efi::AccessDenied;
  EXPECT_EQ (B.Run (test::ModuleImage ("Rescuetab")), efi::AccessDenied) << B.FaultReport ();
  EXPECT_EQ (B.Uart0.Text (), "ERROR: Install protocol for Rescuetab module fail!\r\n");
  EXPECT_FALSE (B.Fw.FindProtocol (kRecoveryFlashInfoProtocol).has_value ());
  // The driver is unloaded; an instance nobody can reach would be a leak.
  EXPECT_TRUE (B.Fw.Pool.Live ().empty ());
  EXPECT_FALSE (B.M.Faulted ()) << B.FaultReport ();
}

TEST_F (RescuetabTest, MessagesFollowTheDebugMask) {
  B.InstallDebugMask (0x80000000);   // errors only: the success line is info
  ASSERT_EQ (B.Run (test::ModuleImage ("Rescuetab")), efi::Success) << B.FaultReport ();
  EXPECT_EQ (B.UartText (), "");
}

}  // namespace
}  // namespace vboard
