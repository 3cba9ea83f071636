// Serialnote on the virtual board, with a policy the test publishes: when the
// ReadyToBoot notification runs, which SPCR table it removes or patches, and
// exactly which bytes of the installed copy change.
#include "tests/ConsoleTestSupport.h"

#include <gtest/gtest.h>

#include <functional>

namespace vboard {
namespace {

using namespace platform;
using test::ByteChanges;
using test::CrPolicy;

// 115200 bit/s, parity byte 1 (none), one stop bit, VT-UTF8, second UART.
const CrPolicy kPolicy{1, 1, 1, 8, 1, 0, 3, 115200, 0, kUart1, 0, 0, 0, 0, 1, 0};

// An SPCR whose bytes all differ from their neighbours and from what an
// update writes, so a stray write shows; cut to Length bytes.
std::vector<uint8_t> NoisySpcr (uint32_t Length = 80, const char *Signature = "SPCR") {
  std::vector<uint8_t> T (80);
  for (size_t I = 0; I < T.size (); I++) T[I] = static_cast<uint8_t> (0xC3 ^ (I * 37));
  std::memcpy (T.data (), Signature, 4);
  std::memcpy (T.data () + spcr::kLength, &Length, 4);
  T.resize (Length);
  return T;
}

// What an update with kPolicy writes, plus Extra.
ByteChanges Update (ByteChanges Extra = {}) {
  ByteChanges C{{spcr::kBaudRate, 7}, {spcr::kParity, 0}, {spcr::kStopBits, 1}, {spcr::kTerminalType, 2}, {spcr::kIrq, 0}};
  test::Put64 (C, spcr::kBaseAddress, kUart1);
  for (const auto &E : Extra) C[E.first] = E.second;
  return C;
}

// Boots Serialnote on a board holding Tables (none from the platform) and
// the policy P (none when null), then signals ReadyToBoot.
struct Booted {
  Board B;
  std::vector<uint8_t> Before;   // the first SPCR before ReadyToBoot
  AcpiTable First;               // and where it was installed
  std::vector<uint8_t> TestBefore;   // the first "TEST" table before ReadyToBoot
  size_t CallsBefore = 0;        // services called before ReadyToBoot
  Booted (const std::vector<std::vector<uint8_t>> &Tables, const CrPolicy *P) {
    B.SetPlatformSpcrCount (0);
    for (const auto &T : Tables) EXPECT_NE (B.Acpi.Install (T), 0u);
    if (P != nullptr) test::InstallPolicy (B, *P);
    EXPECT_EQ (B.Run (test::ModuleImage ("Serialnote")), efi::Success) << B.FaultReport ();
    auto Events = B.Fw.EventsInGroup (guids::EventReadyToBoot);   // armed, untouched until ReadyToBoot
    EXPECT_TRUE (Events.size () == 1 && Events[0]->NotifyTpl == efi::TplNotify);
    Before = Spcr ();
    if (const AcpiTable *T = B.Acpi.Find ("SPCR")) First = *T;
    TestBefore = Table ("TEST");
    CallsBefore = B.Fw.Calls.size ();
    B.SignalReadyToBoot ();
    EXPECT_FALSE (B.M.Faulted ()) << B.FaultReport ();
  }
  std::vector<uint8_t> Table (const char *Signature) {
    const AcpiTable *T = B.Acpi.Find (Signature);
    return T == nullptr ? std::vector<uint8_t>{} : B.Acpi.Bytes (*T);
  }
  // The protocols Serialnote looked up at ReadyToBoot, in order.
  std::vector<std::string> Located () {
    std::vector<std::string> Out;
    for (size_t I = CallsBefore; I < B.Fw.Calls.size (); I++) {
      const ServiceCall &C = B.Fw.Calls[I];
      if (C.Caller == "Serialnote" && C.Name == "BS.LocateProtocol") Out.push_back (C.GuidArg (0));
    }
    return Out;
  }
  std::vector<uint8_t> Spcr (size_t Nth = 0) {
    const AcpiTable *T = B.Acpi.Find ("SPCR", Nth);
    if (T == nullptr) return {};
    EXPECT_TRUE (B.Acpi.Intact (*T)) << "written past the table";
    return B.Acpi.Bytes (*T);
  }
};

TEST (Serialnote, UpdatesTheInstalledCopyInPlaceOnce) {
  Booted R ({NoisySpcr ()}, &kPolicy);
  const AcpiTable T = *R.B.Acpi.Find ("SPCR");
  EXPECT_EQ (T.Key, R.First.Key) << "reinstalled";
  EXPECT_EQ (T.Address, R.First.Address) << "moved";
  test::ExpectPatched (R.Before, R.Spcr (), Update ());
  // Later ReadyToBoot signals find the event closed: a changed table stays.
  EXPECT_TRUE (R.B.Fw.EventsInGroup (guids::EventReadyToBoot).empty ());
  R.B.M.Store<uint8_t> (T.Address + spcr::kBaudRate, 0x44);
  std::vector<uint8_t> Changed = R.Spcr ();
  R.B.SignalReadyToBoot ();
  EXPECT_EQ (R.Spcr (), Changed);
  EXPECT_EQ (R.B.UartText (), "");
}

TEST (Serialnote, RemovedWithoutPolicyOrWithSpcrDisabledOnce) {
  CrPolicy Disabled = kPolicy;
  Disabled.SpcrEnable = 0;
  for (const CrPolicy *P : {static_cast<const CrPolicy *> (nullptr), static_cast<const CrPolicy *> (&Disabled)}) {
    Booted R ({NoisySpcr ()}, P);
    EXPECT_EQ (R.B.Acpi.Count ("SPCR"), 0u) << (P ? "SpcrEnable 0" : "no policy");
    EXPECT_EQ (R.B.M.Load<uint32_t> (R.B.Acpi.Xsdt () + 4), 44u) << "the XSDT still lists the table";
    // A table installed after the first boot attempt survives the next one.
    R.B.SetPlatformSpcrCount (1);
    R.B.SignalReadyToBoot ();
    EXPECT_EQ (R.B.Acpi.Count ("SPCR"), 1u);
  }
}

TEST (Serialnote, FieldValues) {
  // Each case: a change to the policy and the bytes it writes (-1: the
  // installed byte stays).
  struct Case {
    std::string What;
    std::function<void (CrPolicy &)> Set;
    std::map<size_t, int> Want;
  };
  std::vector<Case> Cases = {
      {"parity 0", [] (CrPolicy &P) { P.Parity = 0; }, {{spcr::kParity, 255}}},
      {"IRQ", [] (CrPolicy &P) { P.Irq = 0x2A; }, {{spcr::kIrq, 0x2A}}},
      {"PCI", [] (CrPolicy &P) { P.DeviceType = 1, P.Irq = 0x2A, P.PciBus = 0x11, P.PciDevice = 0x12, P.PciFunction = 3; },
       {{spcr::kIrq, -1}, {spcr::kPciBus, 0x11}, {spcr::kPciDevice, 0x12}, {spcr::kPciFunction, 3}}},
      {"device type 2", [] (CrPolicy &P) { P.DeviceType = 2, P.Irq = 0x2A, P.PciBus = 0x11; }, {{spcr::kIrq, -1}}},
  };
  // ANSI, VT100, VT100+, VT-UTF8, the fifth type; nothing for the others.
  for (int Type : {0, 1, 2, 4, 5, 255}) {
    int Want = Type < 5 ? std::vector<int>{3, 0, 1, 2, 4}[Type] : -1;
    Cases.push_back ({"terminal " + std::to_string (Type), [Type] (CrPolicy &P) { P.TerminalType = Type; }, {{spcr::kTerminalType, Want}}});
  }
  // A rate not among the eight (compared in full 64 bits) gives 8.
  for (uint64_t Rate : {1200ULL, 4800ULL, 38400ULL, 57600ULL, 0ULL, 14400ULL, (1ULL << 32) + 9600}) {
    int Want = Rate == 1200 ? 0 : Rate == 4800 ? 2 : Rate == 38400 ? 5 : Rate == 57600 ? 6 : 8;
    Cases.push_back ({"rate " + std::to_string (Rate), [Rate] (CrPolicy &P) { P.BaudRate = Rate; }, {{spcr::kBaudRate, Want}}});
  }
  for (const Case &C : Cases) {
    SCOPED_TRACE (C.What);
    CrPolicy P = kPolicy;
    C.Set (P);
    Booted R ({NoisySpcr ()}, &P);
    ByteChanges Want = Update ();
    for (const auto &W : C.Want) Want[W.first] = W.second < 0 ? R.Before[W.first] : static_cast<uint8_t> (W.second);
    test::ExpectPatched (R.Before, R.Spcr (), Want);
  }
}

TEST (Serialnote, ShortTablesArePatchedOnlyWithinTheirLength) {
  // The copy ends at an unmapped page (or, for a length that is not a
  // multiple of 8, at a canary), so a write past Length faults or shows.
  CrPolicy P = kPolicy;
  P.DeviceType = 1, P.PciBus = 0x11, P.PciDevice = 0x12, P.PciFunction = 3;
  for (uint32_t Length : {36u, 48u, 51u, 52u, 53u, 59u, 61u, 62u, 63u, 68u, 70u, 71u, 72u}) {
    SCOPED_TRACE (Length);
    Booted R ({NoisySpcr (Length)}, &P);
    ByteChanges Want = Update ({{spcr::kPciBus, 0x11}, {spcr::kPciDevice, 0x12}, {spcr::kPciFunction, 3}});
    Want.erase (spcr::kIrq);
    for (size_t I = 0; Length < spcr::kBaseAddress + 8 && I < 8; I++) Want.erase (spcr::kBaseAddress + I);
    test::ExpectPatched (R.Before, R.Spcr (), Want);
  }
}

TEST (Serialnote, OnlyTheFirstSpcrInEnumerationOrder) {
  std::vector<std::vector<uint8_t>> Tables = {NoisySpcr (80, "TEST"), PlatformSpcr (kUart0, kUart0Gsiv),
                                              PlatformSpcr (kUart1, kUart1Gsiv)};
  Booted Patched (Tables, &kPolicy);
  test::ExpectPatched (Patched.Before, Patched.Spcr (0), Update ());
  EXPECT_EQ (Patched.Spcr (1), Tables[2]);
  Booted Removed (Tables, nullptr);
  ASSERT_EQ (Removed.B.Acpi.Count ("SPCR"), 1u);
  EXPECT_EQ (Removed.Spcr (), Tables[2]) << "the second table was removed";
  EXPECT_EQ (Removed.B.Acpi.Count ("TEST"), 1u);
  EXPECT_EQ (Patched.Table ("TEST"), Patched.TestBefore) << "the table before the SPCR was written to";
  EXPECT_EQ (Removed.Table ("TEST"), Removed.TestBefore);
}

TEST (Serialnote, LocatesPolicyThenTableThenSdtAndTakesAnyNonzeroSpcrEnable) {
  const std::vector<std::string> Order = {"gConsoleRedirectionPolicyProtocolGuid", "gEfiAcpiTableProtocolGuid",
                                          "gEfiAcpiSdtProtocolGuid"};
  for (uint8_t Enable : {1, 0x80, 0xFF}) {
    SCOPED_TRACE (+Enable);
    CrPolicy P = kPolicy;
    P.SpcrEnable = Enable;
    Booted R ({NoisySpcr ()}, &P);
    test::ExpectPatched (R.Before, R.Spcr (), Update ());
    EXPECT_EQ (R.Located (), Order);
  }
  // Without a policy the table and SDT protocols are still located after it.
  Booted None ({NoisySpcr ()}, nullptr);
  EXPECT_EQ (None.Located (), Order);
}

TEST (Serialnote, FailedRemovalIsAWarning) {
  for (uint64_t Mask : {0x2ull, 0x80000040ull}) {
    SCOPED_TRACE (Mask);
    Board B;
    B.InstallDebugMask (Mask);
    B.Acpi.FailUninstall = efi::DeviceError;
    B.DefaultBoot ({test::ModuleImage ("Serialnote")});
    ASSERT_FALSE (B.M.Faulted ()) << B.FaultReport ();
    EXPECT_EQ (B.Acpi.Count ("SPCR"), 1u);
    EXPECT_EQ (B.UartText (), Mask == 0x2 ? "UpdateOrDeleteSpcrTable: failed to uninstall SPCR table - Device Error\r\n" : "");
  }
}

TEST (Serialnote, WithoutAcpiProtocolsOrSpcrNothingChanges) {
  for (const Guid *Missing : {&guids::AcpiTableProtocol, &guids::AcpiSdtProtocol}) {
    Board B;   // no policy: the decision would be to delete
    std::vector<uint8_t> Before = B.Acpi.Bytes (*B.Acpi.Find ("SPCR"));
    B.Fw.UninstallProtocol (B.Acpi.Handle, *Missing, *B.Fw.InterfaceOn (B.Acpi.Handle, *Missing));
    B.DefaultBoot ({test::ModuleImage ("Serialnote")});
    ASSERT_FALSE (B.M.Faulted ()) << B.FaultReport ();
    EXPECT_EQ (B.Acpi.Bytes (*B.Acpi.Find ("SPCR")), Before);
  }
  Booted None ({NoisySpcr (80, "TEST")}, &kPolicy);
  EXPECT_EQ (None.B.UartText (), "");
  EXPECT_EQ (None.Table ("TEST"), None.TestBefore);
  EXPECT_FALSE (None.TestBefore.empty ());
}

}  // namespace
}  // namespace vboard
