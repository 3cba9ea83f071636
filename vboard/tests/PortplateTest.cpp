// Portplate on the virtual board: the type 251 record byte for byte for every
// Type251Option value; a missing, oversized or short SystemSetupConfig; a
// failing Add, an exhausted pool and a missing SMBIOS protocol, each with its
// messages and nothing left allocated.
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace vboard {
namespace {

using namespace test;

constexpr size_t kType251OptionOffset = 21;

// The record as published: the fixed template with the handle and mask.
std::vector<uint8_t> Type251 (uint16_t Handle, uint8_t Mask) {
  std::vector<uint8_t> R = {0xFB, 0x30, uint8_t (Handle), uint8_t (Handle >> 8), 'U', 'D', 'S', 'R', 1, 0, 0, 0};
  R.insert (R.end (), 8, 0xFF);
  R.insert (R.end (), 16, 0x00);
  R.insert (R.end (), 4, 0xFF);
  R.insert (R.end (), {0x08, 0x00, 0xFF, 0xFF, Mask, 0, 0, 0, 0, 0});
  return R;
}

class PortplateTest : public ::testing::Test {
 protected:
  Board B;

  uint64_t Run () {
    uint64_t Status = B.Run (ModuleImage ("Portplate"));
    EXPECT_FALSE (B.M.Stopped ()) << B.FaultReport ();
    return Status;
  }
  size_t LiveBlocks () { return test::LiveBlocksOf (B, "Portplate"); }   // pool and pages it still holds
  std::string Line (const char *Marker) {
    return std::to_string (LineOf ("Smbios/Portplate/Portplate.cpp", Marker));
  }
};

TEST_F (PortplateTest, EveryOptionValueGivesItsMaskInTheFixedTemplate) {
  const std::pair<uint8_t, uint8_t> Cases[] = {{0, 0x0F}, {1, 0x03}, {2, 0x01}, {3, 0x00}, {4, 0x00}, {0xFF, 0x00}};
  for (const auto &C : Cases) {
    SCOPED_TRACE (int (C.first));
    Board X;
    std::vector<uint8_t> Setup (184, 0xA5);   // every other byte set, so only offset 21 counts
    Setup[kType251OptionOffset] = C.first;
    X.SetSetup (platform::kSystemSetupConfig, Setup);
    ASSERT_EQ (X.Run (ModuleImage ("Portplate")), efi::Success) << X.FaultReport ();
    auto Records = X.Smbios.OfType (0xFB);
    ASSERT_EQ (Records.size (), 1u);
    EXPECT_EQ (Records[0]->Bytes, Type251 (Records[0]->Handle, C.second));
    EXPECT_EQ (Records[0]->ProducerHandle, 0u);
    EXPECT_TRUE (Records[0]->Strings ().empty ());
    EXPECT_EQ (X.UartText (), "");
    EXPECT_TRUE (X.Fw.Pool.Live ().empty ()) << "the record copy is freed";
    EXPECT_TRUE (X.Fw.FindLeaks ().empty ());
  }
}

TEST_F (PortplateTest, UnreadableSetupPublishesNothing) {
  // Missing, stored larger than 184 bytes, or unreadable: the GetVariable
  // status is returned and the record is freed.
  const std::string GetVariableLine = " In Portplate, GetVariable ERROR,  line " + Line ("GetVariable ERROR") + ". \r\n";
  struct Case {
    const char *Name;
    std::function<void (Board &)> Set;
    uint64_t Status;
  } Cases[] = {
      {"missing", [] (Board &) {}, efi::NotFound},
      {"185 bytes", [] (Board &X) { X.SetSetup (platform::kSystemSetupConfig, std::vector<uint8_t> (185, 0)); },
       efi::BufferTooSmall},
      {"device error", [] (Board &X) {
         X.SetSetup (platform::kSystemSetupConfig);
         X.Fw.FailGetVariable[u"SystemSetupConfig"] = efi::DeviceError;
       },
       efi::DeviceError},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE (C.Name);
    Board X;
    C.Set (X);
    EXPECT_EQ (X.Run (ModuleImage ("Portplate")), C.Status);
    EXPECT_FALSE (X.M.Stopped ()) << X.FaultReport ();
    EXPECT_TRUE (X.Smbios.Records ().empty ());
    EXPECT_EQ (X.UartText (), GetVariableLine + "Add Type 251 Table Failed!  " + efi::StatusName (C.Status) + ".\r\n");
    EXPECT_TRUE (X.Fw.Pool.Live ().empty ());
  }
}

TEST_F (PortplateTest, ShortSetupWithoutTheOptionByteKeepsTheTemplateMask) {
  // 21 bytes end before Type251Option: the template's mask, and a warning.
  // 22 bytes hold it.
  B.SetSetup (platform::kSystemSetupConfig, std::vector<uint8_t> (21, 0));
  ASSERT_EQ (Run (), efi::Success);
  ASSERT_EQ (B.Smbios.Records ().size (), 1u);
  EXPECT_EQ (B.Smbios.Records ()[0].Bytes, Type251 (B.Smbios.Records ()[0].Handle, 0x00));
  EXPECT_EQ (B.UartText (), "Portplate: SystemSetupConfig holds 21 bytes, no Type251Option; option mask left 0\r\n");
  // At the error level, like every message of the driver: shown under the
  // error bit alone, not under the warning bit.
  for (uint64_t Mask : {0x80000000ULL, 0x2ULL}) {
    Board M;
    M.InstallDebugMask (Mask);
    M.SetSetup (platform::kSystemSetupConfig, std::vector<uint8_t> (21, 0));
    ASSERT_EQ (M.Run (ModuleImage ("Portplate")), efi::Success);
    EXPECT_EQ (M.UartText ().empty (), Mask != 0x80000000ULL) << std::hex << Mask;
  }

  Board X;
  std::vector<uint8_t> Short (22, 0);
  Short[kType251OptionOffset] = 1;
  X.SetSetup (platform::kSystemSetupConfig, Short);
  ASSERT_EQ (X.Run (ModuleImage ("Portplate")), efi::Success);
  EXPECT_EQ (X.Smbios.Records ()[0].Bytes, Type251 (X.Smbios.Records ()[0].Handle, 0x03));
  EXPECT_EQ (X.UartText (), "");
}

TEST_F (PortplateTest, FailingAddPoolAndProtocol) {
  B.SetSetup (platform::kSystemSetupConfig);
  B.Smbios.FailAdd = efi::DeviceError;
  EXPECT_EQ (Run (), efi::DeviceError);
  EXPECT_EQ (B.UartText (), "[AddSmbioTyp251Table]:[" + Line ("Smbios Type251 Table Log Failed") +
                                "L] Smbios Type251 Table Log Failed! Device Error \r\nAdd Type 251 Table Failed!  Device Error.\r\n");
  EXPECT_EQ (LiveBlocks (), 0u);
  B.Smbios.FailAdd.reset ();

  Board Pool;
  Pool.SetSetup (platform::kSystemSetupConfig);
  ImageRecord &Image = Pool.Load (ModuleImage ("Portplate"));
  Pool.Fw.Pool.FailAfter (0);
  EXPECT_EQ (Pool.Start (Image), efi::OutOfResources);
  EXPECT_EQ (Pool.UartText (), "Add Type 251 Table Failed!  Out of Resources.\r\n");
  EXPECT_TRUE (Pool.Smbios.Records ().empty ());
  EXPECT_TRUE (std::none_of (Pool.Fw.Calls.begin (), Pool.Fw.Calls.end (),
                             [] (const ServiceCall &C) { return C.Name == "RT.GetVariable"; }))
      << "no setup read without a record to fill";

  Board None;
  None.SetSetup (platform::kSystemSetupConfig);
  None.Smbios.Uninstall ();
  EXPECT_EQ (None.Run (ModuleImage ("Portplate")), efi::NotFound);
  EXPECT_EQ (None.UartText (), "Could not locate SMBIOS protocol.  Not Found\r\n");
  EXPECT_TRUE (None.Fw.Pool.Live ().empty ());
}

}  // namespace
}  // namespace vboard
