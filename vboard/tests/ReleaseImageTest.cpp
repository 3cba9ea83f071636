// The RELEASE images on the board: the same messages as the debug images,
// error paths included, and no assertions (a check that stops a debug image
// is passed over, and the code after it runs).
#include "tests/EventLogSupport.h"

#include <gtest/gtest.h>

#include <functional>

namespace vboard {
namespace {

using namespace platform;

TEST (ReleaseImages, PrintWhatTheDebugImagesPrint) {
  struct Case {
    const char *Module;
    std::function<void (Board &)> Prepare;
    uint64_t Status;
    std::string Uart0, Uart1;
  } Cases[] = {
      {"Tallyvault", nullptr, efi::Success, "mGpnvSize 0x10000 \r\n", ""},
      {"Rescuetab", nullptr, efi::Success, "Rescuetab module success!\r\n", ""},
      {"Rescuetab", [] (Board &B) { B.Fw.Pool.FailAfter (0); }, efi::OutOfResources,
       "ERROR: No enouge memory for Rescuetab module!\r\n", ""},
      {"Rescuetab", [] (Board &B) { B.Fw.FailInstallProtocol[kRecoveryFlashInfoProtocol] = efi::AccessDenied; },
       efi::AccessDenied, "ERROR: Install protocol for Rescuetab module fail!\r\n", ""},
      {"Redirwarden", nullptr, efi::Success, "Redirwarden entry\r\n",
       "CR Enable 0, PortAddress = 536875008, CRTerminalType = 3\r\n"},
      {"Mainsrestore", [] (Board &B) { B.SetSetupByte (kSystemSetupConfig, 128, 2); }, efi::Success,
       "Set Power restore policy=0x1 ,Success\r\n", ""},
      {"Mainsrestore", [] (Board &B) {
         B.SetSetupByte (kSystemSetupConfig, 128, 3);
         B.Bmc.Ready = 0;
       }, efi::Success, "Set Power restore policy=0x2 ,Unsupported\r\n", ""},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE (std::string (C.Module) + " " + C.Uart0);
    Board B;
    if (C.Prepare) C.Prepare (B);
    EXPECT_EQ (B.Run (test::ReleaseImage (C.Module)), C.Status);
    EXPECT_FALSE (B.M.Faulted ()) << B.FaultReport ();
    EXPECT_EQ (B.Uart0.Text (), C.Uart0);
    EXPECT_EQ (B.Uart1.Text (), C.Uart1);
  }
}

TEST (ReleaseImages, CheckedFailuresCarryOnWithoutAssertions) {
  // Tallyvault without the flash-access protocol (a debug image stops in the
  // library constructor's assertion): the release image's write fails with
  // the device error and says so.
  Board B;
  B.Flash.Uninstall ();
  test::EventLogClient Log (B);
  ASSERT_EQ (Log.Start (test::ReleaseImage ("Tallyvault")), efi::Success) << B.FaultReport ();
  B.Uart0.Clear ();
  EXPECT_EQ (Log.Write (0x0B), efi::DeviceError);
  EXPECT_FALSE (B.M.Faulted ()) << B.FaultReport ();
  EXPECT_EQ (B.Uart0.Text (), "CurrentLog->Type : 255, Length: 255 \r\ngpnv EventLogType: 11 \r\n"
                              "gpnv NumBytes: 8 \r\nEvent Log flash bios error! Device Error\r\n");
  EXPECT_EQ (B.UartText ().find ("ASSERT"), std::string::npos);
}

}  // namespace
}  // namespace vboard
