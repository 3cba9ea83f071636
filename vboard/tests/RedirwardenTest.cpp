// Redirwarden on the virtual board: the policy record it publishes for each
// CrSetupData, the debug-UART PCD and its two messages.
#include "tests/ConsoleTestSupport.h"

#include <gtest/gtest.h>

#include <optional>

namespace vboard {
namespace {

using namespace platform;
using test::CrPolicy;

// Boots Redirwarden with CrSetupData stored as Stored (none when empty).
CrPolicy Boot (Board &B, const std::vector<uint8_t> &Stored) {
  if (!Stored.empty ()) B.Fw.SetVariable (kCrSetupData.Name, kCrSetupData.VendorGuid (), kSetupAttributes, Stored);
  EXPECT_EQ (B.Run (test::ModuleImage ("Redirwarden")), efi::Success) << B.FaultReport ();
  auto I = B.Fw.FindProtocol (kConsoleRedirectionPolicyProtocol);
  EXPECT_TRUE (I.has_value ()) << "no policy published";
  return I ? test::ReadPolicy (B, *I) : CrPolicy{};
}

void ExpectDefaults (Board &B, const CrPolicy &P) {
  CrPolicy D{0, 1, 0, 8, 1, 0, 3, 115200, 0, kUart1, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ (test::Fields (P), test::Fields (D)) << "not the default policy";
  EXPECT_EQ (B.Fw.PcdValue (kPlatformTokenSpace, kPcdSerialPortBaseAddress), kUart1);
  // The first line goes out before the UART is switched, the second after.
  EXPECT_EQ (B.Uart0.Text (), "Redirwarden entry\r\n");
  EXPECT_EQ (B.Uart1.Text (), "CR Enable 0, PortAddress = 536875008, CRTerminalType = 3\r\n");
}

TEST (Redirwarden, MissingVariablePublishesTheDefaultsAsAModuleGlobal) {
  Board B;
  ExpectDefaults (B, Boot (B, {}));
  uint64_t Interface = *B.Fw.FindProtocol (kConsoleRedirectionPolicyProtocol);
  ImageRecord *Image = B.Fw.ImageNamed ("Redirwarden");
  EXPECT_TRUE (Interface >= Image->Base && Interface < Image->Base + Image->Size) << "not a module global";
  auto Handles = B.Fw.HandlesWith (kConsoleRedirectionPolicyProtocol);
  ASSERT_EQ (Handles.size (), 1u);
  EXPECT_NE (Handles[0], Image->Handle) << "installed on the image handle, not a new one";
  ASSERT_EQ (B.Fw.PcdSets ().size (), 1u);
  EXPECT_EQ (B.Fw.PcdSets ()[0].Caller, "Redirwarden");
  EXPECT_TRUE (B.Fw.FindLeaks ().empty ());
}

TEST (Redirwarden, StoredRecordIsCopiedFieldByField) {
  Board B;
  CrPolicy P = Boot (B, {1, 0, 2, 3, 7, 3, 2, 0x5A, 9});
  CrPolicy Want{1, 0, 3, 7, 2, 0x5A, 2, 9600, 0, kUart0, 0, 0, 0, 0, 9, 0};
  EXPECT_EQ (test::Fields (P), test::Fields (Want));
  EXPECT_EQ (B.Fw.PcdValue (kPlatformTokenSpace, kPcdSerialPortBaseAddress), kUart0);
  EXPECT_EQ (B.Uart0.Text (), "Redirwarden entry\r\nCR Enable 1, PortAddress = 536870912, CRTerminalType = 2\r\n");
  EXPECT_EQ (B.Uart1.Text (), "");

  // Only SerialPort 0 picks the first UART; every index has its rate.
  for (uint8_t Port : {1, 2, 255}) {
    Board C;
    EXPECT_EQ (Boot (C, {0, Port, 3, 7, 8, 1, 1, 0, 1}).PortAddress, kUart1) << +Port;
  }
  const uint64_t kRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
  for (uint8_t Index = 0; Index < 8; Index++) {
    Board C;
    EXPECT_EQ (Boot (C, {0, 1, 3, Index, 8, 1, 1, 0, 1}).BaudRate, kRates[Index]);
  }
}

TEST (Redirwarden, UnusableRecordsPublishTheDefaults) {
  // Each record has SerialPort 0, so one that was wrongly used shows.
  struct Case {
    const char *What;
    std::vector<uint8_t> Stored;
    uint64_t GetVariableFails;
  } Cases[] = {
      {"stored with 10 bytes", {1, 0, 1, 2, 7, 2, 2, 1, 1, 0}, 0},
      {"stored with 8 bytes", {1, 0, 1, 2, 7, 2, 2, 1}, 0},
      {"stored with 1 byte", {1}, 0},
      {"BaudRateIndex 8", {1, 0, 1, 8, 7, 2, 2, 1, 1}, 0},
      {"BaudRateIndex 255", {1, 0, 1, 255, 7, 2, 2, 1, 1}, 0},
      {"GetVariable fails", {1, 0, 1, 2, 7, 2, 2, 1, 1}, efi::DeviceError},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE (C.What);
    Board B;
    if (C.GetVariableFails != 0) B.Fw.FailGetVariable[kCrSetupData.Name] = C.GetVariableFails;
    ExpectDefaults (B, Boot (B, C.Stored));
  }
}

TEST (Redirwarden, AConsumerNotifiedOfThePolicySeesItComplete) {
  // A driver that waits for the policy with a protocol notification reads it
  // from its notify function: record and PCD must be final by then.
  Board B;
  std::optional<CrPolicy> Seen;
  uint64_t SeenPcd = 0;
  uint64_t Notify = B.M.AddTrap ("Test.OnPolicy", [&] (CallArgs &) -> uint64_t {
    if (auto I = B.Fw.FindProtocol (kConsoleRedirectionPolicyProtocol)) Seen = test::ReadPolicy (B, *I);
    SeenPcd = B.Fw.PcdValue (kPlatformTokenSpace, kPcdSerialPortBaseAddress);
    return 0;
  });
  uint64_t Event = B.Fw.Events.Create (efi::EvtNotifySignal, efi::TplCallback, Notify, 0, nullptr);
  B.Fw.Protocols.RegisterNotify (kConsoleRedirectionPolicyProtocol, Event, B.Scratch (8));
  CrPolicy Final = Boot (B, {1, 0, 4, 5, 7, 2, 1, 0x33, 0x80});
  ASSERT_TRUE (Seen.has_value ()) << "the notification did not run";
  EXPECT_EQ (test::Fields (*Seen), test::Fields (Final));
  CrPolicy Want{1, 0, 2, 7, 1, 0x33, 4, 38400, 0, kUart0, 0, 0, 0, 0, 0x80, 0};
  EXPECT_EQ (test::Fields (*Seen), test::Fields (Want));
  EXPECT_EQ (SeenPcd, kUart0);
}

TEST (Redirwarden, BothMessagesAreInformational) {
  for (uint64_t Mask : {0x80000002ull, 0x40ull}) {
    SCOPED_TRACE (Mask);
    Board B;
    B.InstallDebugMask (Mask);
    Boot (B, {});
    EXPECT_EQ (B.UartText (), Mask == 0x40 ? "Redirwarden entry\r\nCR Enable 0, PortAddress = 536875008, CRTerminalType = 3\r\n" : "");
  }
}

}  // namespace
}  // namespace vboard
