// The board's models where they check what real firmware and hardware
// check: the PL011's register widths and read-only use, the IPMI transport's
// and ACPI table protocol's This, and the BMC's SEL rules of IPMI 2.0. The
// service log's argument record is checked here too.
#include "tests/TestSupport.h"
#include "uefi/GuidNames.h"

#include <gtest/gtest.h>

namespace vboard {
namespace {

constexpr uint64_t kCode = 0x3E000000;   // a page of test code, mapped by Code ()

// Maps a page holding the given AArch64 instructions; returns its address.
uint64_t Code (Board &B, const std::vector<uint32_t> &Instructions) {
  B.M.MapRam (kCode, 0x1000, true, true);
  B.M.Write (kCode, Instructions.data (), Instructions.size () * 4);
  return kCode;
}
constexpr uint32_t kStrbW1X0 = 0x39000001;   // strb w1, [x0]
constexpr uint32_t kStrW1X0 = 0xB9000001;    // str  w1, [x0]
constexpr uint32_t kLdrbW0X0 = 0x39400000;   // ldrb w0, [x0]
constexpr uint32_t kRet = 0xD65F03C0;

TEST (Pl011Model, OnlyWordWritesToTheDataRegister) {
  struct Case {
    const char *What;
    uint32_t Instruction;
    uint64_t Offset;
    const char *Report;   // nullptr: accepted
  } Cases[] = {
      {"word write to UARTDR", kStrW1X0, 0x00, nullptr},
      {"byte write to UARTDR", kStrbW1X0, 0x00, "1-byte write"},
      {"word write to UARTCR", kStrW1X0, 0x30, "to the register at +0x30"},
      {"word write to UARTIBRD", kStrW1X0, 0x24, "to the register at +0x24"},
      {"byte read of UARTFR", kLdrbW0X0, 0x18, "1-byte read"},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE (C.What);
    Board B;
    B.Fw.CallGuest (Code (B, {C.Instruction, kRet}), {platform::kUart1 + C.Offset, 'A'});
    if (C.Report == nullptr) {
      EXPECT_FALSE (B.M.Faulted ()) << B.FaultReport ();
      EXPECT_EQ (B.Uart1.Text (), "A");
      continue;
    }
    ASSERT_TRUE (B.M.Faulted ());
    EXPECT_EQ (B.M.LastFault ().Kind, FaultKind::DeviceMisuse);
    ASSERT_EQ (B.Uart1.Misuses.size (), 1u);
    EXPECT_NE (B.Uart1.Misuses[0].find (C.Report), std::string::npos) << B.Uart1.Misuses[0];
    EXPECT_EQ (B.Uart1.Text (), "") << "the access was carried out";
  }
}

TEST (IpmiTransportModel, ThisMustBeTheInstalledInstance) {
  for (int Member : {0, 5}) {
    SCOPED_TRACE (Member);
    Board B;
    uint64_t I = B.Ipmi.Interface ();
    uint64_t Size = B.Scratch (1);
    B.Fw.CallGuest (B.M.Load<uint64_t> (I + 8 * Member), {I + 8, 0x4028, 0, 0, 0, Size, 0});
    ASSERT_TRUE (B.M.Faulted ());
    EXPECT_EQ (B.M.LastFault ().Kind, FaultKind::ServiceMisuse);
    EXPECT_TRUE (B.Bmc.Log.empty ());
  }
}

TEST (IpmiTransportModel, ReadyIsAThirtyTwoBitResultAndFailuresCarryData) {
  Board B;
  uint64_t I = B.Ipmi.Interface ();
  uint64_t Ready = B.Fw.CallGuest (B.M.Load<uint64_t> (I + 40), {I});
  EXPECT_EQ (static_cast<uint32_t> (Ready), 1u);
  EXPECT_NE (Ready >> 32, 0u) << "bits 63..32 are not part of the result";

  // A refused Reserve SEL that still sends two bytes: they reach the caller
  // with the error status.
  B.Bmc.Fail (ipmi::NetFnStorage, ipmi::CmdReserveSel, {ipmi::CcNodeBusy, 1, 0, false}, {0x34, 0x12});
  uint64_t Response = B.Scratch (2), Size = B.Scratch (1);
  B.M.Store<uint8_t> (Size, 2);
  EXPECT_EQ (B.Fw.CallGuest (B.M.Load<uint64_t> (I), {I, 0x4228, 0, 0, Response, Size, 0}), efi::DeviceError);
  EXPECT_EQ (B.M.Load<uint16_t> (Response), 0x1234);
  EXPECT_EQ (B.M.Load<uint8_t> (Size), 2);
  EXPECT_FALSE (B.M.Faulted ()) << B.FaultReport ();
}

TEST (AcpiTablesModel, ThisMustBeTheInstalledInstance) {
  Board B;
  uint64_t Key = B.Scratch (8);
  uint64_t Uninstall = B.M.Load<uint64_t> (B.Acpi.TableProtocol + 8);
  B.Fw.CallGuest (Uninstall, {B.Acpi.SdtProtocol, 1, 0, Key});
  ASSERT_TRUE (B.M.Faulted ());
  EXPECT_EQ (B.M.LastFault ().Kind, FaultKind::ServiceMisuse);
  EXPECT_EQ (B.Acpi.Count ("SPCR"), 1u);
}

TEST (BmcModel, SelRulesOfIpmi2) {
  Bmc Bmc;
  auto Send = [&] (uint8_t Cmd, std::vector<uint8_t> Request = {}) { return *Bmc.Exchange (ipmi::NetFnStorage, 0, Cmd, Request); };
  auto Clear = [&] (uint16_t Id, uint8_t Action) {
    return Send (ipmi::CmdClearSel, {uint8_t (Id), uint8_t (Id >> 8), 'C', 'L', 'R', Action});
  };
  // Reservation IDs: never 0, consecutive ones differ in both bytes; a new
  // one cancels the old.
  uint16_t Last = 0;
  for (int I = 0; I < 64; I++) {
    IpmiReply R = Send (ipmi::CmdReserveSel);
    ASSERT_EQ (R.CompletionCode, ipmi::CcOk);
    uint16_t Id = static_cast<uint16_t> (R.Data[0] | R.Data[1] << 8);
    EXPECT_TRUE ((Id & 0xFF) != (Last & 0xFF) && (Id >> 8) != (Last >> 8)) << Id;
    Last = Id;
  }
  EXPECT_EQ (Clear (Bmc.Reservations[62], 0xAA).CompletionCode, ipmi::CcReservationInvalid);

  // During an erase: 81h for the SEL commands, junk in the reserved bits.
  Bmc.ErasePolls = 2;
  Bmc.ProgressJunk = 0x50;
  IpmiReply Started = Clear (Last, 0xAA);
  EXPECT_EQ (Started.Data, std::vector<uint8_t>{0x50});
  EXPECT_EQ (Send (ipmi::CmdGetSelInfo).CompletionCode, 0x81);
  EXPECT_EQ (Send (ipmi::CmdReserveSel).CompletionCode, 0x81);
  EXPECT_EQ (Send (ipmi::CmdAddSelEntry, std::vector<uint8_t> (16, 0)).CompletionCode, 0x81);
  EXPECT_EQ (Clear (Last, 0x00).Data, std::vector<uint8_t>{0x50});
  EXPECT_EQ (Clear (Last, 0x00).Data, std::vector<uint8_t>{0x51}) << "completed";
  // The erase cancelled the reservation; an added entry cancels the next one.
  EXPECT_EQ (Clear (Last, 0x00).CompletionCode, ipmi::CcReservationInvalid);
  IpmiReply R = Send (ipmi::CmdReserveSel);
  uint16_t Id = static_cast<uint16_t> (R.Data[0] | R.Data[1] << 8);
  EXPECT_EQ (Send (ipmi::CmdAddSelEntry, std::vector<uint8_t> (16, 0)).CompletionCode, ipmi::CcOk);
  EXPECT_EQ (Clear (Id, 0xAA).CompletionCode, ipmi::CcReservationInvalid);
}

TEST (ServiceLog, RecordsArgumentsPointeesGuidsAndStrings) {
  Board B;
  ASSERT_EQ (B.Run (test::ModuleImage ("Tallyvault")), efi::Success) << B.FaultReport ();
  const ServiceCall *Install = nullptr, *Locate = nullptr;
  for (const auto &C : B.Fw.Calls) {
    if (C.Caller != "Tallyvault") continue;
    if (C.Name == "BS.InstallProtocolInterface") Install = &C;
    if (C.Name == "BS.LocateProtocol" && C.GuidArg (0) == "gFlashAccessProtocolGuid") Locate = &C;
  }
  ASSERT_NE (Install, nullptr);
  ASSERT_NE (Locate, nullptr) << "the flash-access library's look-up";
  EXPECT_EQ (Install->GuidArg (1), "gGpnvEventLogProtocolGuid");
  EXPECT_EQ (Install->Arg (2), 0u) << "EFI_NATIVE_INTERFACE";
  EXPECT_EQ (Install->Args[0].PointedU64 (), 0u) << "a new handle: the handle variable held NULL";
  EXPECT_EQ (Install->Arg (3), *B.Fw.FindProtocol (names::Named ("gGpnvEventLogProtocolGuid")));
}

}  // namespace
}  // namespace vboard
