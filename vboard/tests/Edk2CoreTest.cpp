// EDK II's own DXE phase on the board: the board's platform firmware (the
// real DXE core, PcdDxe, SmbiosDxe, AcpiTableDxe, the variable driver, BDS,
// ... with the package integrated as the README says) boots from its volume
// on the board's devices, and what it publishes is compared with the
// board's own core booting the package volume.
#include "edk2/Edk2Dxe.h"
#include "board/BoardMap.h"
#include "board/FirmwareIdBlock.h"
#include "tests/TestSupport.h"
#include "tools/Scenario.h"
#include "uefi/GuidNames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

namespace vboard {
namespace {

using namespace test;
using platform::kSystemSetupConfig;

// The SMBIOS structures of a dump (entry point at 0, table at 0x20), each
// whole with its strings, in table order. Normalised: the handles (compared
// on their own), and the event log's access-method address (Type 15, offset
// 0x10), where each core's allocator put the log's runtime copy.
std::vector<std::vector<uint8_t>> Structures (const std::vector<uint8_t> &Dump) {
  std::vector<std::vector<uint8_t>> Out = DumpStructures (Dump);
  for (std::vector<uint8_t> &S : Out) {
    S[2] = S[3] = 0;
    if (S[0] == 15 && S.size () >= 0x14) std::fill (S.begin () + 0x10, S.begin () + 0x14, 0);
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

// What the OS finds from an RSDP: the XSDT's and the RSDT's entries by
// signature ("" for a NULL entry), the FADT and the FACS and DSDT its
// pointers lead to.
struct AcpiRoots {
  std::vector<std::string> Listed, RsdtListed;
  std::vector<uint8_t> XsdtOem, RsdpOemId;   // XSDT bytes 10-27, RSDP bytes 9-14
  std::vector<uint8_t> Fadt, Facs, Dsdt;
  uint32_t FirmwareCtrl = 0, Dsdt32 = 0;
  uint64_t XFirmwareCtrl = 0, XDsdt = 0;
};
uint8_t ByteSum (const std::vector<uint8_t> &Bytes) {
  uint8_t S = 0;
  for (uint8_t B : Bytes) S = static_cast<uint8_t> (S + B);
  return S;
}

AcpiRoots ReadAcpiRoots (Machine &M, uint64_t Rsdp) {
  AcpiRoots R;
  uint64_t Xsdt = M.Load<uint64_t> (Rsdp + 24);
  R.XsdtOem = M.ReadBytes (Xsdt + 10, 18);
  R.RsdpOemId = M.ReadBytes (Rsdp + 9, 6);
  for (uint64_t At = Xsdt + 36; At + 8 <= Xsdt + M.Load<uint32_t> (Xsdt + 4); At += 8) {
    uint64_t Table = M.Load<uint64_t> (At);
    R.Listed.push_back (Table == 0 ? "" : M.ReadAscii (Table, 4).substr (0, 4));
    if (R.Listed.back () == "FACP") R.Fadt = M.ReadBytes (Table, M.Load<uint32_t> (Table + 4));
  }
  uint32_t Rsdt = M.Load<uint32_t> (Rsdp + 16);
  for (uint64_t At = Rsdt + 36; Rsdt != 0 && At + 4 <= Rsdt + M.Load<uint32_t> (Rsdt + 4); At += 4) {
    uint32_t Table = M.Load<uint32_t> (At);
    R.RsdtListed.push_back (Table == 0 ? "" : M.ReadAscii (Table, 4).substr (0, 4));
  }
  if (R.Fadt.size () < 148) return R;
  std::memcpy (&R.FirmwareCtrl, &R.Fadt[36], 4);
  std::memcpy (&R.Dsdt32, &R.Fadt[40], 4);
  std::memcpy (&R.XFirmwareCtrl, &R.Fadt[132], 8);
  std::memcpy (&R.XDsdt, &R.Fadt[140], 8);
  if (R.FirmwareCtrl != 0) R.Facs = M.ReadBytes (R.FirmwareCtrl, M.Load<uint32_t> (R.FirmwareCtrl + 4));
  if (R.Dsdt32 != 0) R.Dsdt = M.ReadBytes (R.Dsdt32, M.Load<uint32_t> (R.Dsdt32 + 4));
  return R;
}

// The package volume booted under both cores from the factory state, with
// the SR-IOV setup byte at 0xFF (a value that means "on" without being
// TRUE); both declare the firmware-ID buffer shorter than its maximum, as
// the board's platform does. One boot of each serves every comparison (an EDK II
// boot costs about a second).
class BothCores : public ::testing::Test {
 protected:
  static void SetUpTestSuite () {
    sReal = new Board;
    sOwn = new Board;
    sDxe = new Edk2Dxe (*sReal);
    for (Board *B : {sReal, sOwn}) {
      FactoryBoard (*B);
      B->SetSetupByte (kSystemSetupConfig, kSrIovEnableOffset, 0xFF);
    }
    sDxe->Boot ({BoardPlatformVolume ()});
    sOwn->BootVolumes (std::vector<std::string>{PackageVolume ()});
  }
  static void TearDownTestSuite () {
    delete sDxe;
    delete sOwn;
    delete sReal;
    sDxe = nullptr;
    sOwn = sReal = nullptr;
  }
  void SetUp () override {
    ASSERT_FALSE (Real.M.Faulted ()) << Real.FaultReport () << Dxe.Where (Real.M.LastFault ());
    ASSERT_FALSE (Own.M.Faulted ()) << Own.FaultReport ();
  }
  static constexpr size_t kSrIovEnableOffset = 125;
  static Board *sReal, *sOwn;
  static Edk2Dxe *sDxe;
  Board &Real = *sReal, &Own = *sOwn;
  Edk2Dxe &Dxe = *sDxe;
};
Board *BothCores::sReal = nullptr;
Board *BothCores::sOwn = nullptr;
Edk2Dxe *BothCores::sDxe = nullptr;

TEST_F (BothCores, SmbiosRecordsAreTheSameAndSoAreTheirHandles) {
  std::vector<uint8_t> RealDump = Dxe.SmbiosDump ();
  ASSERT_FALSE (RealDump.empty ());
  EXPECT_EQ (Structures (RealDump), Structures (Own.Smbios.DumpImage ()));
  // The end-of-table structure, handle included, as SmbiosDxe writes it.
  std::vector<uint8_t> OwnDump = Own.Smbios.DumpImage ();
  ASSERT_GE (RealDump.size (), 6u);
  EXPECT_EQ (std::vector<uint8_t> (RealDump.end () - 6, RealDump.end ()), (std::vector<uint8_t>{127, 4, 0xFF, 0xFE, 0, 0}));
  EXPECT_EQ (std::vector<uint8_t> (OwnDump.end () - 6, OwnDump.end ()), (std::vector<uint8_t>{127, 4, 0xFF, 0xFE, 0, 0}));

  // Mapplate's entry structures ask for their own handles, its summary,
  // Portplate's record and Ledgermark's event log for any (0xFFFE): the
  // driver gives each the lowest free handle. Type and handle of every
  // structure, in table order, end of table included.
  auto Handles = [] (const std::vector<uint8_t> &Dump) {
    std::vector<std::pair<int, int>> Out;
    for (const std::vector<uint8_t> &S : DumpStructures (Dump)) Out.push_back ({S[0], S[2] | S[3] << 8});
    return Out;
  };
  std::vector<std::pair<int, int>> Theirs = Handles (Dxe.SmbiosDump ()), Mine = Handles (Own.Smbios.DumpImage ());
  EXPECT_EQ (Theirs, Mine);
  for (int Type : {203, 251, 15}) {
    EXPECT_TRUE (std::any_of (Theirs.begin (), Theirs.end (), [&] (const auto &P) { return P.first == Type; })) << Type;
  }
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
  // The roots: with no FADT the first XSDT entry, kept for one, is NULL;
  // with ACPI 5.0 tables only there is no RSDT and no ACPI 1.0 RSDP; the
  // SDT protocol says which versions it serves.
  AcpiRoots TheirRoots = ReadAcpiRoots (Real.M, *Dxe.ConfigurationTable (names::Named ("gEfiAcpi20TableGuid")));
  AcpiRoots MyRoots = ReadAcpiRoots (Own.M, Own.Acpi.Rsdp ());
  EXPECT_EQ (TheirRoots.Listed, (std::vector<std::string>{"", "SPCR", "LPBT", "OSDM"}));
  EXPECT_EQ (MyRoots.Listed, TheirRoots.Listed);
  EXPECT_TRUE (TheirRoots.RsdtListed.empty () && MyRoots.RsdtListed.empty ());
  EXPECT_FALSE (Dxe.ConfigurationTable (names::Named ("gEfiAcpi10TableGuid")).has_value ());
  // EFI_ACPI_SDT_PROTOCOL.AcpiVersion, as AcpiTableDxe installed it.
  uint64_t TheirSdt = 0;
  for (const Edk2Dxe::Install &I : Dxe.Installs ()) {
    if (I.Protocol == guids::AcpiSdtProtocol) TheirSdt = I.Interface;
  }
  ASSERT_NE (TheirSdt, 0u) << "AcpiTableDxe installed no SDT protocol";
  EXPECT_EQ (Own.M.Load<uint32_t> (Own.Acpi.SdtProtocol), Real.M.Load<uint32_t> (TheirSdt));
  EXPECT_EQ (Own.M.Load<uint32_t> (Own.Acpi.SdtProtocol), AcpiTables::kExposedVersions);
}

TEST_F (BothCores, ThePackagesPcdsAreTheSameWhenTheBoardPowersOff) {
  // Read from EDK II's PCD driver as the board powers off (the DynamicEx
  // PCDs through EFI_PCD_PROTOCOL, the platform build's dynamic ones through
  // PCD_PROTOCOL by their local token numbers), and from the board core's
  // database.
  const std::map<std::string, uint64_t> &Theirs = Dxe.PcdsAtPowerOff ();
  ASSERT_EQ (Theirs.size (), 6u);
  EXPECT_EQ (Theirs.at ("PcdSerialPortBaseAddress"),
             Own.Fw.PcdValue (platform::kPlatformTokenSpace, platform::kPcdSerialPortBaseAddress));
  EXPECT_EQ (Theirs.at ("PcdCpuTemperature"), Own.Fw.PcdValue (platform::kThermalTokenSpace, platform::kPcdCpuTemperature));
  EXPECT_EQ (Theirs.at ("PcdCpuTemperature"), 47000u) << "the hotter socket of the factory state, in millidegrees";
  EXPECT_EQ (Theirs.at ("PcdRecoveryParameter"),
             Own.Fw.PcdValue (platform::kRecoveryParamTokenSpace, platform::kPcdRecoveryParameter));
  // SR-IOV on: the switch reads back as TRUE (1), not as the setup byte
  // 0xFF; the flag cleared; the value 16.
  EXPECT_EQ (Theirs.at ("PcdSrIovEnable"), 1u);
  EXPECT_EQ (Theirs.at ("PcdSrIovPlatformFlag"), 0u);
  EXPECT_EQ (Theirs.at ("PcdSrIovPlatformValue"), 16u);
  for (const char *Name : {"PcdSrIovEnable", "PcdSrIovPlatformFlag", "PcdSrIovPlatformValue"}) {
    EXPECT_EQ (Theirs.at (Name), Own.Fw.LocalPcd (Name)->Value) << Name;
  }

  // The platform's 16 bytes are shorter than the firmware-ID layout: the
  // driver publishes them extended with zeros to the layout's 138 bytes,
  // with the flash block's three strings, each with its terminator, at
  // their offsets, and PCD_PROTOCOL's GetSize then says 138.
  std::vector<uint8_t> Expected = platform::kFirmwareIdPcdInitial;
  Expected.resize (kFirmwareIdBlockSize, 0);
  auto Put = [&] (uint64_t Offset, const std::vector<uint8_t> &Bytes) {
    std::copy (Bytes.begin (), Bytes.end (), Expected.begin () + Offset);
  };
  const FirmwareId &Id = kDefaultFirmwareId;
  Put (kFirmwareIdAsciiOffset, std::vector<uint8_t> (Id.Ascii.c_str (), Id.Ascii.c_str () + Id.Ascii.size () + 1));
  Put (kFirmwareIdShortOffset,
       std::vector<uint8_t> (Id.ShortAscii.c_str (), Id.ShortAscii.c_str () + Id.ShortAscii.size () + 1));
  std::vector<uint8_t> Wide;
  for (char16_t C : Id.Unicode + u'\0') {
    Wide.push_back (static_cast<uint8_t> (C));
    Wide.push_back (static_cast<uint8_t> (C >> 8));
  }
  Put (kFirmwareIdUnicodeOffset, Wide);

  ASSERT_TRUE (Dxe.PcdBuffersAtPowerOff ().count ("PcdFirmwareIdData"));
  EXPECT_EQ (Dxe.PcdBuffersAtPowerOff ().at ("PcdFirmwareIdData"), Expected);
  const PcdEntry *Mine = Own.Fw.LocalPcd ("PcdFirmwareIdData");
  EXPECT_EQ (Mine->CurSize, kFirmwareIdBlockSize);
  EXPECT_EQ (Own.M.ReadBytes (Mine->Buffer, Mine->CurSize), Expected);
  // Both cores started Stampread and saw it return Success.
  ASSERT_NE (Dxe.FindImage ("Stampread"), nullptr);
  EXPECT_EQ (Dxe.FindImage ("Stampread")->Status, efi::Success);
}

TEST_F (BothCores, EveryPcdSetOfAPackageDriverIsSeenAlikeUnderBoth) {
  // Each successful Set by a package driver, in the driver's order, with
  // the value as the PCD driver stores it (a Ptr set by its size): what the
  // EDK II watcher logs from PcdDxe's entry points against the board core's
  // own log, not normalised. The drivers themselves may start in another
  // order under each core.
  auto Sets = [] (const std::vector<PcdSet> &All) {
    std::vector<std::pair<std::string, std::string>> Out;
    for (const PcdSet &S : All) {
      if (std::find (kPackageDrivers.begin (), kPackageDrivers.end (), S.Caller) == kPackageDrivers.end ()) continue;
      Out.push_back ({S.Caller, S.Name + " = " + std::to_string (S.Value)});
    }
    std::stable_sort (Out.begin (), Out.end (), [] (const auto &A, const auto &B) { return A.first < B.first; });
    return Out;
  };
  auto Mine = Sets (Own.Fw.PcdSets ()), Theirs = Sets (Dxe.PcdSets ());
  EXPECT_FALSE (Mine.empty ());
  EXPECT_EQ (Theirs, Mine);
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

TEST (BothCoresAcpi, TheFadtLeadsToTheFacsAndTheDsdtAndComesFirst) {
  // A platform that installs a FACS, a FADT (pointing nowhere useful) and
  // a DSDT, in that order, after its SPCR. EDK II's table driver puts the
  // FADT first in the XSDT, lists neither the FACS nor the DSDT, points the
  // FADT at both (DSDT and X_DSDT alike) and leaves the FACS's bytes as
  // given (it has no checksum).
  auto Table = [] (const char *Signature, uint32_t Length, uint8_t Revision) {
    std::vector<uint8_t> T (Length, 0);
    std::copy (Signature, Signature + 4, T.begin ());
    std::memcpy (&T[4], &Length, 4);
    T[8] = Revision;
    std::copy_n ("ARMSVR", 6, T.begin () + 10);
    return T;
  };
  std::vector<uint8_t> Facs = Table ("FACS", 64, 0), Fadt = Table ("FACP", 276, 6), Dsdt = Table ("DSDT", 36, 2);
  Facs[8] = 0x78, Facs[9] = 0x56, Facs[10] = 0x34, Facs[11] = 0x12;   // hardware signature
  Facs[32] = 2;                                                       // version
  std::fill (Fadt.begin () + 36, Fadt.begin () + 44, 0xEE);          // FIRMWARE_CTRL, DSDT
  std::fill (Fadt.begin () + 132, Fadt.begin () + 148, 0xEE);        // X_FIRMWARE_CTRL, X_DSDT
  Fadt[112] = 0x10;                                                   // flags
  Fadt[131] = 6;                                                      // minor version
  std::copy_n ("FADTTBL1", 8, Fadt.begin () + 16);                     // OEM table ID
  Fadt[24] = 7;                                                       // OEM revision
  Board Real, Own;
  for (Board *B : {&Real, &Own}) {
    FactoryBoard (*B);
    for (const auto *T : {&Facs, &Fadt, &Dsdt}) ASSERT_NE (B->Acpi.Install (*T), 0u);
  }
  Edk2Dxe Dxe (Real);
  Dxe.Boot ({BoardPlatformVolume ()});
  ASSERT_FALSE (Real.M.Faulted ()) << Real.FaultReport () << Dxe.Where (Real.M.LastFault ());
  Own.BootVolumes (std::vector<std::string>{PackageVolume ()});
  ASSERT_FALSE (Own.M.Faulted ()) << Own.FaultReport ();

  AcpiRoots Theirs = ReadAcpiRoots (Real.M, *Dxe.ConfigurationTable (names::Named ("gEfiAcpi20TableGuid")));
  AcpiRoots Mine = ReadAcpiRoots (Own.M, Own.Acpi.Rsdp ());
  EXPECT_EQ (Theirs.Listed, (std::vector<std::string>{"FACP", "SPCR", "LPBT", "OSDM"}));
  EXPECT_EQ (Mine.Listed, Theirs.Listed);
  for (AcpiRoots *R : {&Theirs, &Mine}) {
    SCOPED_TRACE (R == &Theirs ? "EDK II" : "board core");
    ASSERT_EQ (R->Fadt.size (), 276u);
    // The roots carry the FADT's OEM identification.
    EXPECT_EQ (R->XsdtOem, std::vector<uint8_t> (Fadt.begin () + 10, Fadt.begin () + 28));
    EXPECT_EQ (R->RsdpOemId, std::vector<uint8_t> (Fadt.begin () + 10, Fadt.begin () + 16));
    EXPECT_EQ (ByteSum (R->Fadt), 0);
    EXPECT_EQ (R->Facs, Facs);
    ASSERT_EQ (R->Dsdt.size (), 36u);
    EXPECT_EQ (ByteSum (R->Dsdt), 0);
    EXPECT_EQ (R->XFirmwareCtrl, 0u);
    EXPECT_EQ (R->XDsdt, R->Dsdt32);
    // Apart from the pointers and the checksum, the FADT as given.
    std::vector<uint8_t> Rest = R->Fadt;
    for (size_t Offset : {9, 36, 37, 38, 39, 40, 41, 42, 43}) Rest[Offset] = Fadt[Offset];
    for (size_t Offset = 132; Offset < 148; Offset++) Rest[Offset] = Fadt[Offset];
    EXPECT_EQ (Rest, Fadt);
  }
  EXPECT_EQ (Theirs.Dsdt, Mine.Dsdt);
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
