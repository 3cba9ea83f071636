// Rescuetab on the virtual board: the recovery-flash-information protocol,
// its instance in pool, and the record GetRecoveryFlashInfo fills.
#include "tests/TestSupport.h"
#include "uefi/GuidNames.h"

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

// A record buffer that notes every store into it, with how many services
// the guest had called by then. The emulator hands a device an 8-byte store
// as two 4-byte halves, low half first; they are joined again here.
struct RecordingBuffer : MmioDevice {
  struct Store {
    uint64_t Offset;
    unsigned Size;
    uint64_t Value;
    size_t CallsBefore;
  };
  explicit RecordingBuffer (Firmware &Fw) : Fw (Fw) {}
  uint64_t Read (uint64_t, unsigned) override { return 0; }
  void Write (uint64_t Offset, unsigned Size, uint64_t Value) override {
    if (Size == 4 && Offset % 8 == 4 && !Stores.empty () && Stores.back ().Offset == Offset - 4 &&
        Stores.back ().Size == 4 && Stores.back ().CallsBefore == Fw.Calls.size ()) {
      Stores.back ().Size = 8;
      Stores.back ().Value |= Value << 32;
      return;
    }
    Stores.push_back ({Offset, Size, Value, Fw.Calls.size ()});
  }
  Firmware &Fw;
  std::vector<Store> Stores;
};

TEST_F (RescuetabTest, ReadsThePcdThenWritesTheFieldsInOrder) {
  Boot ();
  constexpr uint64_t kAt = 0x3F000000;   // nothing else is mapped there
  ASSERT_FALSE (B.M.IsMapped (kAt));
  RecordingBuffer Buffer (B.Fw);
  B.M.MapDevice (kAt, 0x1000, &Buffer);
  SetPcd (0x0102030405060708ULL);
  size_t Before = B.Fw.Calls.size ();
  EXPECT_EQ (Get (Interface, kAt), efi::Success);
  ASSERT_FALSE (B.M.Faulted ()) << B.FaultReport ();

  // One PCD read, through the PI protocol with the token space and number.
  ASSERT_EQ (B.Fw.Calls.size (), Before + 1);
  const ServiceCall &Read = B.Fw.Calls[Before];
  EXPECT_EQ (Read.Name, "PIPCD.Get64");
  EXPECT_EQ (Read.GuidArg (0), "gRecoveryParamTokenSpaceGuid");
  EXPECT_EQ (Read.Arg (1), kPcdRecoveryParameter);
  // PcdValue, RegionBase, SecondBase, RegionSize: each one store of its width.
  struct Want {
    uint64_t Offset;
    unsigned Size;
    uint64_t Value;
  } const Order[] = {{16, 8, 0x0102030405060708ULL}, {0, 8, kRecoveryRegionBase}, {8, 8, kRecoverySecondBase},
                     {24, 4, kRecoveryRegionSize}};
  std::string Seen;
  for (const auto &S : Buffer.Stores) {
    Seen += "+" + std::to_string (S.Offset) + "/" + std::to_string (S.Size) + "=" + std::to_string (S.Value) + " ";
  }
  ASSERT_EQ (Buffer.Stores.size (), 4u) << Seen;
  for (size_t I = 0; I < 4; I++) {
    EXPECT_EQ (Buffer.Stores[I].Offset, Order[I].Offset) << I;
    EXPECT_EQ (Buffer.Stores[I].Size, Order[I].Size) << I;
    EXPECT_EQ (Buffer.Stores[I].Value, Order[I].Value) << I;
    EXPECT_EQ (Buffer.Stores[I].CallsBefore, Before + 1) << "store " << I << " before the PCD was read";
  }
}

TEST_F (RescuetabTest, MissingPcdProtocolStopsInTheAssertion) {
  // Without the PI PCD protocol the PCD library asserts. With a zero mask the
  // entry prints nothing (so reads no PCD); the query's assertion then reads
  // the PCD for its own message, which asserts again inside it: that nested
  // assertion must stop the module, not return into the PCD library.
  Guid PiPcd = names::Named ("gEfiPcdProtocolGuid");
  for (uint64_t Handle : B.Fw.HandlesWith (PiPcd)) B.Fw.UninstallProtocol (Handle, PiPcd, *B.Fw.InterfaceOn (Handle, PiPcd));
  B.InstallDebugMask (0);
  Boot ();
  uint64_t Info = B.Scratch (32);
  Get (Interface, Info);
  ASSERT_TRUE (B.M.Faulted ());
  EXPECT_EQ (B.M.LastFault ().Kind, FaultKind::DeadLoop) << B.FaultReport ();
  EXPECT_EQ (B.FaultModule (), "Rescuetab");
  EXPECT_NE (B.Uart0.Text ().find ("DxePcdLib.c("), std::string::npos) << B.Uart0.Text ();
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
