// EDK II's own DXE phase on the board: the board's platform firmware (the
// real DXE core, PcdDxe, SmbiosDxe, AcpiTableDxe, the variable driver, BDS,
// ... with the package integrated as the README says) boots from its volume
// on the board's devices, and what it publishes is compared with the
// board's own core booting the package volume.
#include "edk2/Edk2Dxe.h"
#include "board/BoardMap.h"
#include "tests/TestSupport.h"
#include "tools/Scenario.h"
#include "uefi/GuidNames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

namespace vboard {
namespace {

using namespace test;
using platform::kSystemSetupConfig;

const std::vector<std::string> kPackageDrivers = {
    "Redirwarden", "Serialnote", "Ledgermark", "Tallyvault", "Latchvane", "Rescuetab", "Stampread", "Logsweep",
    "Mainsrestore", "Vfswitch", "Wattkeep", "Gatewarden", "Mapplate", "Portplate", "Heatwatch", "Tablegraft"};

// A factory-state board serving the test build's network-boot probe.
void FactoryBoard (Board &B) {
  boardmap::ApplyFactoryState (B);
  scenario::ApplyNetwork (B, "serve:" + TestImage ("NetBootProbe"));
}

// The SMBIOS structures of a dump (entry point at 0, table at 0x20), each
// whole with its strings, in table order. Normalised, as each core's
// allocator chooses them: the handles (but see the end-of-table check), and
// the event log's access-method address (Type 15, offset 0x10), where the
// log's runtime copy landed.
std::vector<std::vector<uint8_t>> Structures (const std::vector<uint8_t> &Dump) {
  std::vector<std::vector<uint8_t>> Out;
  size_t At = 0x20;
  while (At + 4 <= Dump.size ()) {
    uint8_t Type = Dump[At], Length = Dump[At + 1];
    size_t End = At + Length;
    while (End + 1 < Dump.size () && (Dump[End] != 0 || Dump[End + 1] != 0)) End++;
    std::vector<uint8_t> S (Dump.begin () + At, Dump.begin () + std::min (End + 2, Dump.size ()));
    S[2] = S[3] = 0;
    if (Type == 15 && S.size () >= 0x14) std::fill (S.begin () + 0x10, S.begin () + 0x14, 0);
    Out.push_back (S);
    if (Type == 127) break;
    At = End + 2;
  }
  return Out;
}

TEST (Edk2Core, BootsThePackageThroughBdsToTheNetworkBootedProgram) {
  Board B;
  FactoryBoard (B);
  Edk2Dxe Dxe (B);
  Dxe.Boot ({BoardPlatformVolume ()});
  ASSERT_FALSE (B.M.Faulted ()) << B.FaultReport () << Dxe.Where (B.M.LastFault ()) << B.Uart0.Text ();
  // Every driver of the package dispatched by its dependency expression
  // under the real dispatcher, and its entry point returned Success.
  for (const std::string &Name : kPackageDrivers) {
    SCOPED_TRACE (Name);
    const Edk2Dxe::Image *I = Dxe.FindImage (Name);
    ASSERT_NE (I, nullptr);
    EXPECT_TRUE (I->Started && I->Returned);
    EXPECT_EQ (I->Status, efi::Success) << efi::StatusName (I->Status);
  }
  for (const char *Name : {"PcdDxe", "RuntimeDxe", "VariableRuntimeDxe", "SmbiosDxe", "AcpiTableDxe", "BdsDxe"}) {
    EXPECT_NE (Dxe.FindImage (Name), nullptr) << Name;
  }
  // BDS registered Wirelaunch first, waited its two seconds on the board's
  // timer, and Wirelaunch booted the served program over PXE IPv4, which
  // powered the board off.
  EXPECT_EQ (B.M.HaltReason (), "ResetSystem (EfiResetShutdown) from NetBootProbe");
  std::string Screen;
  for (const std::string &Row : B.Console.Screen ()) Screen += Row + "\n";
  EXPECT_NE (Screen.find ("NetBootProbe: ran"), std::string::npos) << Screen;
  EXPECT_NE (B.Uart0.Text ().find ("[Bds]Booting Wirelaunch"), std::string::npos);
  EXPECT_GE (Dxe.Ticks (), 200u) << "two seconds of 10 ms ticks";
  std::map<std::u16string, std::vector<uint8_t>> Vars;
  for (const VariableRecord &V : Dxe.Variables ()) Vars[V.Name] = V.Data;
  EXPECT_EQ (Vars[u"BootOrder"], (std::vector<uint8_t>{0, 0, 1, 0, 2, 0}));
  ASSERT_TRUE (Vars.count (u"Boot0000"));
}

// The package volume booted under both cores from the factory state.
class BothCores : public ::testing::Test {
 protected:
  void SetUp () override {
    FactoryBoard (Real);
    Dxe.Boot ({BoardPlatformVolume ()});
    ASSERT_FALSE (Real.M.Faulted ()) << Real.FaultReport ();
    FactoryBoard (Own);
    Own.BootVolumes (std::vector<std::string>{PackageVolume ()});
    ASSERT_FALSE (Own.M.Faulted ()) << Own.FaultReport ();
  }
  Board Real, Own;
  Edk2Dxe Dxe{Real};
};

TEST_F (BothCores, SmbiosRecordsAreTheSameUpToHandles) {
  std::vector<uint8_t> RealDump = Dxe.SmbiosDump ();
  ASSERT_FALSE (RealDump.empty ());
  EXPECT_EQ (Structures (RealDump), Structures (Own.Smbios.DumpImage ()));
  // The end-of-table structure, handle included, as SmbiosDxe writes it.
  std::vector<uint8_t> OwnDump = Own.Smbios.DumpImage ();
  ASSERT_GE (RealDump.size (), 6u);
  EXPECT_EQ (std::vector<uint8_t> (RealDump.end () - 6, RealDump.end ()), (std::vector<uint8_t>{127, 4, 0xFF, 0xFE, 0, 0}));
  EXPECT_EQ (std::vector<uint8_t> (OwnDump.end () - 6, OwnDump.end ()), (std::vector<uint8_t>{127, 4, 0xFF, 0xFE, 0, 0}));
}

TEST_F (BothCores, AcpiTablesAreTheSame) {
  // The platform's SPCR as Serialnote patched it, and Tablegraft's OSDM and
  // LPBT with the flash data: byte for byte, checksums included, as
  // AcpiTableDxe keeps them and as the board's own table driver does.
  // Normalised: LPBT's address of Tablegraft's hand-off buffer (offset 40,
  // eight bytes), which each core's allocator chooses, and the checksum
  // that covers it.
  auto Normalise = [] (const std::string &Signature, std::vector<uint8_t> Bytes) {
    if (Signature == "LPBT" && Bytes.size () >= 48) {
      std::fill (Bytes.begin () + 40, Bytes.begin () + 48, 0);
      Bytes[9] = 0;
    }
    return Bytes;
  };
  std::map<std::string, std::vector<uint8_t>> Mine;
  for (const AcpiTable &T : Own.Acpi.Tables ()) Mine[T.Signature] = Normalise (T.Signature, Own.M.ReadBytes (T.Address, T.Size));
  std::map<std::string, std::vector<uint8_t>> Theirs;
  for (const auto &[Signature, Bytes] : Dxe.AcpiTables ()) Theirs[Signature] = Normalise (Signature, Bytes);
  for (const char *Signature : {"SPCR", "OSDM", "LPBT"}) {
    SCOPED_TRACE (Signature);
    ASSERT_TRUE (Mine.count (Signature) && Theirs.count (Signature));
    EXPECT_EQ (Theirs[Signature], Mine[Signature]);
  }
}

TEST_F (BothCores, ThePackagesPcdsAreTheSameWhenTheBoardPowersOff) {
  // Read from EDK II's PCD driver through EFI_PCD_PROTOCOL as the board
  // powers off, and from the board core's database.
  const std::map<std::string, uint64_t> &Theirs = Dxe.PcdsAtPowerOff ();
  ASSERT_EQ (Theirs.size (), 3u);
  EXPECT_EQ (Theirs.at ("PcdSerialPortBaseAddress"),
             Own.Fw.PcdValue (platform::kPlatformTokenSpace, platform::kPcdSerialPortBaseAddress));
  EXPECT_EQ (Theirs.at ("PcdCpuTemperature"), Own.Fw.PcdValue (platform::kThermalTokenSpace, platform::kPcdCpuTemperature));
  EXPECT_EQ (Theirs.at ("PcdCpuTemperature"), 47000u) << "the hotter socket of the factory state, in millidegrees";
  EXPECT_EQ (Theirs.at ("PcdRecoveryParameter"),
             Own.Fw.PcdValue (platform::kRecoveryParamTokenSpace, platform::kPcdRecoveryParameter));
}

TEST_F (BothCores, VariablesAreTheSameExceptWhatEdk2sOwnDriversAdd) {
  // What the package and the boot manager left in the non-volatile store.
  // EDK II's BDS and drivers keep variables of their own (Timeout, Lang,
  // PlatformLang, MTC, VarErrorFlag, the console variables) that the board's
  // core has no driver for; they are named here, not compared.
  const std::set<std::u16string> Edk2Own = {u"Timeout", u"Lang", u"PlatformLang", u"MTC", u"VarErrorFlag",
                                            u"ConOut", u"ConIn", u"ErrOut"};
  std::map<std::u16string, std::vector<uint8_t>> Theirs, Mine;
  for (const VariableRecord &V : Dxe.Variables ()) {
    if (!Edk2Own.count (V.Name)) Theirs[V.Name] = V.Data;
  }
  for (const VariableRecord &V : Own.Fw.Variables ()) {
    if (V.Attributes & 1) Mine[V.Name] = V.Data;
  }
  EXPECT_EQ (Theirs.size (), Mine.size ());
  for (const auto &[Name, Data] : Mine) {
    SCOPED_TRACE (Narrow (Name));
    ASSERT_TRUE (Theirs.count (Name));
    if (Name == u"Boot0000") continue;   // the path names each platform's own volume
    EXPECT_EQ (Theirs[Name], Data);
  }
}

TEST (BothCoresGating, TheGatedProbesStartInTheSameOrderOrStayDormantAlike) {
  // Gatewarden's markers for a setup record gate the probe drivers of a
  // second volume; each core dispatches them by their real expressions
  // (BEFORE, AFTER, OR, NOT). The probes that start, and their order, are
  // EDK II's under the board's core too. DepexNotOptionB (NOT option B)
  // comes after Gatewarden, which may install option B in the batch that
  // makes the probe ready: EDK II starts it all the same.
  const std::vector<std::string> Probes = {"GatedMode1", "GatedMode2", "GatedOptionA", "GatedOptionB", "GatedUndi",
                                           "GatedMode1OptionA", "DepexAnyOption", "DepexOptionAOnly", "DepexAfterMode1",
                                           "DepexBeforeUndi", "DepexNotOptionB"};
  const std::vector<std::map<size_t, uint8_t>> Records = {
      {{64, 0}, {65, 1}, {67, 1}}, {{64, 1}}, {{64, 1}, {65, 1}, {67, 1}}, {{64, 1}, {65, 1}, {68, 1}},
      {{64, 2}, {65, 1}, {66, 0}, {68, 1}}, {{64, 3}, {65, 1}, {66, 1}, {67, 1}, {68, 1}}};
  auto IsProbe = [&] (const std::string &Name) { return std::find (Probes.begin (), Probes.end (), Name) != Probes.end (); };
  for (const auto &Bytes : Records) {
    std::vector<uint8_t> Record (184, 0);
    std::string What;
    for (const auto &[Offset, Value] : Bytes) {
      Record[Offset] = Value;
      What += std::to_string (Offset) + "=" + std::to_string (Value) + " ";
    }
    SCOPED_TRACE (What);
    Board Own;
    Own.SetSetup (kSystemSetupConfig, Record);
    Own.BootVolumes (std::vector<std::string>{PackageVolume (), GatedProbesVolume ()});
    ASSERT_FALSE (Own.M.Faulted ()) << Own.FaultReport ();
    std::vector<std::string> OwnStarted;
    for (const std::string &Name : Own.Fw.Dxe.Order ()) {
      if (IsProbe (Name)) OwnStarted.push_back (Name);
    }

    Board Real;
    Real.SetSetup (kSystemSetupConfig, Record);
    Edk2Dxe Dxe (Real);
    Dxe.Boot ({BoardPlatformVolume (), GatedProbesVolume ()});
    ASSERT_FALSE (Real.M.Faulted ()) << Real.FaultReport () << Dxe.Where (Real.M.LastFault ());
    std::vector<std::string> RealStarted;
    for (const Edk2Dxe::Image &I : Dxe.Images ()) {
      if (IsProbe (I.Name) && I.Started) RealStarted.push_back (I.Name);
    }
    EXPECT_EQ (OwnStarted, RealStarted);
  }
}

}  // namespace
}  // namespace vboard
