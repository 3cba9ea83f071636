// The module frame's debug output, byte for byte: the UART named by
// PcdSerialPortBaseAddress (and no other), the mask from the debug-mask
// protocol or the default, the 256-byte format buffer, the PL011 flag wait
// and the assertion texts. Driven through the FaultProbe test image.
#include "tests/TestSupport.h"
#include "uefi/GuidNames.h"

#include <gtest/gtest.h>

namespace vboard {
namespace {


enum ProbeMode : uint8_t { Idle = 0, NullRead = 1, Overrun = 2, Leak = 3, DeadLoop = 4, Assert = 5, Messages = 6, AssertEfiError = 7 };

// EDK II's print library sends every "\n" as "\r\n".
const std::string kLong (255, 'x');
// Every level the default mask 0x80000046 lets through, in the probe's order.
const std::string kDefaultMaskText =
    "probe error 42 ascii Not Found\r\n"
    "probe warn 0xBEEF\r\n"
    "probe info wide\r\n"
    "probe load\r\n" + kLong;

TEST (DebugOutput, DefaultMaskGoesToTheFirstUart) {
  Board B;
  EXPECT_EQ (test::RunFaultProbe (B, Messages), efi::Success) << B.FaultReport ();
  EXPECT_EQ (B.Uart0.Text (), kDefaultMaskText);
  EXPECT_EQ (B.Uart1.Text (), "");
}

TEST (DebugOutput, FollowsThePcdBeforeEveryMessage) {
  Board B;
  B.Fw.SetPcdValue (platform::kPlatformTokenSpace, platform::kPcdSerialPortBaseAddress, platform::kUart1);
  EXPECT_EQ (test::RunFaultProbe (B, Messages), efi::Success) << B.FaultReport ();
  EXPECT_EQ (B.Uart0.Text (), "");
  EXPECT_EQ (B.Uart1.Text (), kDefaultMaskText);
  // One PCD read per message printed, none for the suppressed one.
  size_t Reads = 0;
  for (const auto &C : B.Fw.Calls) Reads += C.Name == "PIPCD.Get64" && C.Caller == "FaultProbe";
  EXPECT_EQ (Reads, 5u);
}

TEST (DebugOutput, MaskFromTheDebugMaskProtocol) {
  Board B;
  B.InstallDebugMask (0x80400000);   // errors and verbose
  EXPECT_EQ (test::RunFaultProbe (B, Messages), efi::Success) << B.FaultReport ();
  EXPECT_EQ (B.Uart0.Text (), "probe error 42 ascii Not Found\r\nprobe verbose\r\n" + kLong);
}

TEST (DebugOutput, ZeroMaskPrintsNothing) {
  Board B;
  B.InstallDebugMask (0);
  EXPECT_EQ (test::RunFaultProbe (B, Messages), efi::Success) << B.FaultReport ();
  EXPECT_EQ (B.UartText (), "");
}

TEST (DebugOutput, WaitsWhileTheTransmitFifoIsFull) {
  Board B;
  B.Uart0.SetBusyReads (3);
  EXPECT_EQ (test::RunFaultProbe (B, Messages), efi::Success) << B.FaultReport ();
  EXPECT_EQ (B.Uart0.Text (), kDefaultMaskText);
  EXPECT_EQ (B.Uart0.Dropped (), 0u) << "bytes written while the FIFO reported full";
  // One read that finds room for the first byte, then three "full" reads and
  // one with room for every further byte.
  EXPECT_EQ (B.Uart0.FlagReads (), 4 * kDefaultMaskText.size () - 3);
}

TEST (DebugOutput, AUartThatNeverDrainsCostsEachMessageOnlyItsTimeOut) {
  // The flag register reads busy from the start: every message gives up
  // after the bounded wait, nothing is written into the full FIFO, and the
  // driver finishes.
  constexpr uint64_t kTimeOutNs = 20000000, kMessages = 5;
  Board B;
  B.Uart0.NeverDrain ();
  uint64_t Start = B.Fw.NowNs ();
  EXPECT_EQ (test::RunFaultProbe (B, Messages), efi::Success) << B.FaultReport ();
  uint64_t Spent = B.Fw.NowNs () - Start;
  EXPECT_EQ (B.Uart0.Text (), "");
  EXPECT_EQ (B.Uart0.Dropped (), 0u);
  EXPECT_GE (Spent, kMessages * kTimeOutNs);
  EXPECT_LT (Spent, kMessages * kTimeOutNs * 5 / 4) << "one time-out per message, not per byte";

  // A transmitter that stops in the middle of the first message: the rest
  // of it is dropped, and so is every later message.
  Board Mid;
  Mid.Uart0.NeverDrain (5);
  EXPECT_EQ (test::RunFaultProbe (Mid, Messages), efi::Success) << Mid.FaultReport ();
  EXPECT_EQ (Mid.Uart0.Text (), "probe");
  EXPECT_EQ (Mid.Uart0.Dropped (), 0u);
}

TEST (DebugOutput, AssertionText) {
  Board B;
  test::RunFaultProbe (B, Assert);
  ASSERT_TRUE (B.M.Faulted ());
  int Line = test::LineOf ("Test/FaultProbe/FaultProbe.cpp", "FAULT: assert");
  ASSERT_GT (Line, 0);
  const std::string &Text = B.Uart0.Text ();
  std::string Tail = "FaultProbe.cpp(" + std::to_string (Line) + "): mProbeCount == 12345\r\n";
  ASSERT_EQ (Text.rfind ("ASSERT [FaultProbe] ", 0), 0u) << Text;
  EXPECT_EQ (Text.substr (Text.size () - Tail.size ()), Tail) << Text;
  EXPECT_EQ (B.FaultModule (), "FaultProbe");
  EXPECT_EQ (B.FaultLine (), "Test/FaultProbe/FaultProbe.cpp:" + std::to_string (Line));
}

TEST (DebugOutput, AssertEfiErrorText) {
  Board B;
  test::RunFaultProbe (B, AssertEfiError);
  ASSERT_TRUE (B.M.Faulted ());
  int Line = test::LineOf ("Test/FaultProbe/FaultProbe.cpp", "FAULT: assert-efi-error");
  const std::string &Text = B.Uart0.Text ();
  ASSERT_EQ (Text.rfind ("\r\nASSERT_EFI_ERROR (Status = Not Found)\r\nASSERT [FaultProbe] ", 0), 0u) << Text;
  std::string Tail = "FaultProbe.cpp(" + std::to_string (Line) + "): !(((INTN)(RETURN_STATUS)(Status)) < 0)\r\n";
  EXPECT_EQ (Text.substr (Text.size () - Tail.size ()), Tail) << Text;
}

TEST (DebugOutput, AssertionWhoseMessageCannotReadThePcdStillStops) {
  // No PI PCD protocol: printing the probe's assertion reads the UART PCD,
  // and the PCD library asserts inside that read. The nested assertion is
  // printed to the last UART and stops; returning would let the PCD library
  // call through its NULL protocol pointer.
  Board B;
  Guid PiPcd = names::Named ("gEfiPcdProtocolGuid");
  for (uint64_t Handle : B.Fw.HandlesWith (PiPcd)) B.Fw.UninstallProtocol (Handle, PiPcd, *B.Fw.InterfaceOn (Handle, PiPcd));
  test::RunFaultProbe (B, Assert);
  ASSERT_TRUE (B.M.Faulted ());
  EXPECT_EQ (B.M.LastFault ().Kind, FaultKind::DeadLoop) << B.FaultReport ();
  const std::string &Text = B.Uart0.Text ();
  EXPECT_EQ (Text.rfind ("\r\nASSERT_EFI_ERROR (Status = Not Found)\r\nASSERT [FaultProbe] ", 0), 0u) << Text;
  EXPECT_NE (Text.find ("DxePcdLib.c("), std::string::npos) << Text;
  EXPECT_EQ (B.FaultModule (), "FaultProbe");
}

}  // namespace
}  // namespace vboard
