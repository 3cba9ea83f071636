// Mainsrestore on the virtual board, against the in-process BMC model: the
// setup value to IPMI policy mapping, the Set Power Restore Policy command
// as it reaches the BMC, the log line, and the paths that send nothing.
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

namespace vboard {
namespace {

using platform::kSystemSetupConfig;

class MainsrestoreTest : public ::testing::Test {
 protected:
  Board B;

  // SystemSetupConfig of Size bytes, every byte 0x5A but PowerRestorePolicy.
  void Store (uint8_t Policy, size_t Size = 184) {
    std::vector<uint8_t> R (Size, 0x5A);
    if (Size > 128) R[128] = Policy;
    B.SetSetup (kSystemSetupConfig, R);
  }
  uint64_t Run () {
    uint64_t Status = B.Run (test::ModuleImage ("Mainsrestore"));
    EXPECT_FALSE (B.M.Faulted ()) << B.FaultReport ();
    return Status;
  }
  size_t Calls (const std::string &Name) {
    size_t N = 0;
    for (const auto &C : B.Fw.Calls) N += C.Name == Name;
    return N;
  }
};

TEST_F (MainsrestoreTest, SetupValueSelectsThePolicySent) {
  struct Case {
    uint8_t Setup;
    uint8_t Sent;
    uint8_t BmcPolicy;   // the BMC started at 1 (restore previous)
  } Cases[] = {
      {1, 0x00, 0}, {2, 0x01, 1}, {3, 0x02, 2}, {4, 0x03, 1}, {0, 0x00, 0}, {5, 0x00, 0}, {0xFF, 0x00, 0},
  };
  for (const Case &C : Cases) {
    B.Bmc.PowerRestorePolicy = 1;
    B.Bmc.Log.clear ();
    B.Ipmi.Sent.clear ();
    B.Uart0.Clear ();
    Store (C.Setup);
    EXPECT_EQ (Run (), efi::Success) << int (C.Setup);
    ASSERT_EQ (B.Bmc.Log.size (), 1u) << int (C.Setup);
    const Bmc::Command &Sent = B.Bmc.Log[0];
    EXPECT_EQ (Sent.NetFn, ipmi::NetFnChassis);
    EXPECT_EQ (Sent.Lun, 0);
    EXPECT_EQ (Sent.Cmd, ipmi::CmdSetPowerRestorePolicy);
    EXPECT_EQ (Sent.Request, std::vector<uint8_t> ({C.Sent})) << int (C.Setup);
    EXPECT_EQ (B.Ipmi.Sent[0].ResponseCapacity, 1);
    EXPECT_EQ (B.Ipmi.Sent[0].Reserved, 0u);
    EXPECT_EQ (B.Bmc.PowerRestorePolicy, C.BmcPolicy) << int (C.Setup);
    char Line[64];
    std::snprintf (Line, sizeof (Line), "Set Power restore policy=0x%X ,Success\r\n", C.Sent);
    EXPECT_EQ (B.UartText (), Line);
    EXPECT_FALSE (B.Fw.ImageNamed ("Mainsrestore")->Unloaded);
  }
  EXPECT_EQ (Calls ("RT.SetVariable"), 0u);
  EXPECT_TRUE (B.Fw.FindLeaks ().empty ());
}

TEST_F (MainsrestoreTest, EveryBootSendsAgain) {
  Store (3);
  EXPECT_EQ (Run (), efi::Success);
  B.Uart0.Clear ();
  B.InstallDebugMask (0x80000002);   // the log line is informational
  EXPECT_EQ (Run (), efi::Success);
  EXPECT_EQ (B.Bmc.Count (ipmi::NetFnChassis, ipmi::CmdSetPowerRestorePolicy), 2u);
  EXPECT_EQ (B.UartText (), "");
}

TEST_F (MainsrestoreTest, SendFailuresOnlyShowInTheLog) {
  struct Case {
    const char *What;
    uint32_t Ready;
    bool Refused;
    size_t Reached;
    const char *Line;
  } Cases[] = {
      {"BMC not ready", 0, false, 0, "Set Power restore policy=0x1 ,Unsupported\r\n"},
      {"ready value other than 1", 2, false, 0, "Set Power restore policy=0x1 ,Unsupported\r\n"},
      {"ready value 1 only in its low byte", 0x101, false, 0, "Set Power restore policy=0x1 ,Unsupported\r\n"},
      {"ready value 1 only in its low half", 0x80000001, false, 0, "Set Power restore policy=0x1 ,Unsupported\r\n"},
      {"command refused", 1, true, 1, "Set Power restore policy=0x1 ,Device Error\r\n"},
  };
  for (const Case &C : Cases) {
    B.Bmc.Log.clear ();
    B.Bmc.ClearFailures ();
    B.Uart0.Clear ();
    B.Bmc.Ready = C.Ready;
    if (C.Refused) B.Bmc.Fail (ipmi::NetFnChassis, ipmi::CmdSetPowerRestorePolicy, {ipmi::CcInvalidCommand});
    Store (2);
    EXPECT_EQ (Run (), efi::Success) << C.What;
    EXPECT_EQ (B.Bmc.Log.size (), C.Reached) << C.What << ": no retry";
    EXPECT_EQ (B.UartText (), C.Line) << C.What;
  }
}

TEST_F (MainsrestoreTest, UnreadableSetupSendsAndLogsNothing) {
  struct Case {
    const char *What;
    size_t Size;
    uint64_t Forced;
  } Cases[] = {{"missing", 0, 0}, {"larger than 184 bytes", 185, 0}, {"read error", 184, efi::DeviceError}};
  for (const Case &C : Cases) {
    B.Fw.DeleteVariable (kSystemSetupConfig.Name, kSystemSetupConfig.VendorGuid ());
    B.Fw.FailGetVariable.clear ();
    if (C.Size) Store (3, C.Size);
    if (C.Forced) B.Fw.FailGetVariable[kSystemSetupConfig.Name] = C.Forced;
    EXPECT_EQ (Run (), efi::Success) << C.What;
    EXPECT_TRUE (B.Bmc.Log.empty ()) << C.What;
    EXPECT_EQ (B.Ipmi.ReadyQueries, 0u) << C.What;
    EXPECT_EQ (B.UartText (), "") << C.What;
  }
}

TEST_F (MainsrestoreTest, RecordWithoutThePolicyByteSendsStayOff) {
  // A stored record that ends before offset 128 must not leave the policy
  // byte to whatever was on the stack: the missing byte reads as 0.
  // Dead stack bytes of 3 would read as "always on".
  B.M.Write (Machine::kStackBase, std::vector<uint8_t> (Machine::kStackSize, 3).data (), Machine::kStackSize);
  B.Bmc.PowerRestorePolicy = 2;
  Store (0, 128);
  EXPECT_EQ (Run (), efi::Success);
  ASSERT_EQ (B.Bmc.Log.size (), 1u);
  EXPECT_EQ (B.Bmc.Log[0].Request, std::vector<uint8_t> ({0x00}));
  EXPECT_EQ (B.Bmc.PowerRestorePolicy, 0);

  // Exactly 129 bytes hold the byte.
  B.Bmc.Log.clear ();
  Store (3, 129);
  EXPECT_EQ (Run (), efi::Success);
  ASSERT_EQ (B.Bmc.Log.size (), 1u);
  EXPECT_EQ (B.Bmc.Log[0].Request, std::vector<uint8_t> ({0x02}));
}

TEST_F (MainsrestoreTest, NoTransportReturnsTheLookUpStatus) {
  Store (3);
  B.Ipmi.Uninstall ();
  EXPECT_EQ (Run (), efi::NotFound);
  EXPECT_EQ (Calls ("RT.GetVariable"), 0u);
  EXPECT_TRUE (B.Fw.ImageNamed ("Mainsrestore")->Unloaded);
  EXPECT_EQ (B.UartText (), "");
}

TEST_F (MainsrestoreTest, TransportWithoutInterfaceIsNotCalled) {
  // A transport GUID installed with a NULL interface: found, but nothing to
  // call through.
  Store (3);
  B.Ipmi.Uninstall ();
  uint64_t Handle = 0;
  B.Fw.InstallProtocol (Handle, platform::kIpmiTransportProtocol, 0);
  EXPECT_EQ (Run (), efi::NotFound);
  EXPECT_EQ (Calls ("RT.GetVariable"), 0u);
  EXPECT_TRUE (B.Bmc.Log.empty ());
}

}  // namespace
}  // namespace vboard
