// Tablegraft on the virtual board: the OSDM and LPBT tables the package build
// compiled, completed from the default flash and installed (checked byte by
// byte and with iasl), the LPBT hand-off buffer, and the loader's behaviour
// on firmware volumes built by EDK II's tools with other sections.
#include "board/ExtraAcpiData.h"
#include "tests/ConsoleTestSupport.h"
#include "uefi/GuidNames.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <sstream>
#include <unistd.h>

namespace vboard {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kRuntimeServicesData = 6;
constexpr size_t kOsdmDataOffset = 113, kLpbtArguments = 52;

uint32_t Le32 (const std::vector<uint8_t> &B, size_t Off) { return B[Off] | B[Off + 1] << 8 | B[Off + 2] << 16 | uint32_t (B[Off + 3]) << 24; }
uint64_t Le64 (const std::vector<uint8_t> &B, size_t Off) { return Le32 (B, Off) | uint64_t (Le32 (B, Off + 4)) << 32; }
void Put (std::vector<uint8_t> &B, size_t Off, uint64_t V, size_t Width) {
  for (size_t I = 0; I < Width; I++) B[Off + I] = static_cast<uint8_t> (V >> (8 * I));
}

Guid TableFile () { return names::Named ("gExtraAcpiTableFileGuid"); }

// The RAW sections of the extra-ACPI-table file in the package volume, in
// their order: the tables as the build compiled them.
std::vector<std::vector<uint8_t>> CompiledSections () {
  FirmwareVolume Fv (ReadWholeFile (test::PackageVolume ()), "package");
  const FfsFile *F = Fv.FindFile (TableFile ());
  std::vector<std::vector<uint8_t>> Sections;
  if (F == nullptr) return Sections;
  for (const FfsSection &S : F->Sections) {
    if (S.Type == ffs::SectionRaw) Sections.push_back (S.Data);
  }
  return Sections;
}

std::vector<uint8_t> Compiled (const std::string &Signature) {
  for (const auto &S : CompiledSections ()) {
    if (std::string (S.begin (), S.begin () + 4) == Signature) return S;
  }
  ADD_FAILURE () << "no compiled " << Signature;
  return {};
}

// A table of Length bytes with a valid checksum whose other bytes differ
// from each other and from everything the loader writes.
std::vector<uint8_t> Table (const std::string &Signature, uint32_t Length, uint8_t Seed = 0x5A) {
  std::vector<uint8_t> T (Length);
  for (size_t I = 0; I < T.size (); I++) T[I] = static_cast<uint8_t> (Seed + I * 29);
  std::copy (Signature.begin (), Signature.end (), T.begin ());
  Put (T, 4, Length, 4);
  T[9] = 0;
  T[9] = static_cast<uint8_t> (0x100 - test::Sum8 (T));
  return T;
}

// Tablegraft started by itself on a board that holds Volume (or the
// package volume) as a firmware volume.
struct Loaded {
  Board B;
  uint64_t Status = 0;
  explicit Loaded (const std::vector<uint8_t> &Volume, const std::function<void (Board &)> &Prepare = nullptr) {
    if (Volume.empty ()) {
      B.Fw.Dxe.AddVolume (test::PackageVolume ());
    } else {
      B.Fw.Dxe.AddVolume (Volume, "test volume");
    }
    if (Prepare) Prepare (B);
    Status = B.Run (test::ModuleImage ("Tablegraft"));
    EXPECT_FALSE (B.M.Faulted ()) << B.FaultReport ();
  }
  std::vector<uint8_t> Installed (const std::string &Signature, size_t Nth = 0) {
    const AcpiTable *T = B.Acpi.Find (Signature, Nth);
    if (T == nullptr) return {};
    EXPECT_TRUE (B.Acpi.Intact (*T));
    EXPECT_TRUE (T->ChecksumAsGiven) << Signature << ": the loader's checksum does not cover the header Length";
    EXPECT_EQ (T->Installer, "Tablegraft");
    return B.Acpi.Bytes (*T);
  }
  size_t SectionReads () const {
    size_t N = 0;
    for (const ServiceCall &C : B.Fw.Calls) N += C.Name == "FV2.ReadSection" && C.Caller == "Tablegraft";
    return N;
  }
  // Pool blocks Tablegraft still holds (section buffers must all be gone).
  std::vector<Allocation> Held () {
    std::vector<Allocation> Blocks;
    for (const auto &A : B.Fw.Pool.Live ()) {
      if (B.Fw.CallerName (A.second.Caller) == "Tablegraft") Blocks.push_back (A.second);
    }
    return Blocks;
  }
};

// The debug lines of one pass: for each entry the lines of an installed
// OSDM or LPBT ("LPBT!": with the hand-off allocation failing), or the text.
std::string Messages (const std::vector<std::string> &Updates, bool Exit = true) {
  const int Osdm = test::LineOf ("Acpi/Tablegraft/Tablegraft.cpp", "Osdm.asl update");
  const int Lpbt = test::LineOf ("Acpi/Tablegraft/Tablegraft.cpp", "Lpbt.asl update");
  std::string Text = "enter load qx acpi node\r\n";
  for (const std::string &U : Updates) {
    if (U == "OSDM") {
      Text += "UpdateAcpiTable()," + std::to_string (Osdm) + ",Osdm.asl update\r\nStatus update OSDM Table\r\nLoad qx acpi node\r\n";
    } else if (U == "LPBT" || U == "LPBT!") {
      Text += "UpdateAcpiTable()," + std::to_string (Lpbt) + ",Lpbt.asl update\r\nStatus Update LPBT Table\r\n" +
              (U == "LPBT!" ? "for LPBT Bin AllocatePool fail\r\n" : "") + "Load qx acpi node\r\n";
    } else {
      Text += U;
    }
  }
  return Exit ? Text + "exit load qx acpi node\r\n" : Text;
}

// The installed OSDM against its section: flash bytes at 113-240, the rest
// unchanged but for the checksum.
void ExpectOsdm (const std::vector<uint8_t> &Installed, const std::vector<uint8_t> &Section, const std::vector<uint8_t> &Flash) {
  ASSERT_EQ (Installed.size (), Le32 (Section, 4));
  for (size_t I = 0; I < Installed.size (); I++) {
    if (I == 9) continue;
    bool FromFlash = I >= kOsdmDataOffset && I < kOsdmDataOffset + kOsdmDataArea.Size;
    EXPECT_EQ (+Installed[I], FromFlash ? +Flash[I - kOsdmDataOffset] : +Section[I]) << "OSDM byte " << I;
  }
  EXPECT_EQ (test::Sum8 (Installed), 0);
}

// The installed LPBT against its section, with the hand-off fields set to
// Buffer (none: as the section holds them).
void ExpectLpbt (const std::vector<uint8_t> &Installed, const std::vector<uint8_t> &Section, std::optional<uint64_t> Buffer,
                 const std::vector<uint8_t> &Arguments) {
  ASSERT_EQ (Installed.size (), Le32 (Section, 4));
  std::vector<uint8_t> Want = Section;
  Want.resize (Installed.size ());
  if (Buffer) {
    Put (Want, 36, kLpbtBinaryArea.Size, 4);
    Put (Want, 40, *Buffer, 8);
    Put (Want, 50, kLpbtArgumentsArea.Size, 2);
    std::copy (Arguments.begin (), Arguments.end (), Want.begin () + kLpbtArguments);
  }
  Want[9] = Installed[9];
  for (size_t I = 0; I < Installed.size (); I++) EXPECT_EQ (+Installed[I], +Want[I]) << "LPBT byte " << I;
  EXPECT_EQ (test::Sum8 (Installed), 0);
}

// The bytes of iasl's "Raw Table Data" listing.
std::vector<uint8_t> RawTableData (const std::string &Dsl) {
  std::vector<uint8_t> Bytes;
  std::istringstream In (Dsl.substr (Dsl.find ("Raw Table Data")));
  std::string Line;
  while (std::getline (In, Line)) {
    size_t Colon = Line.find (": ");
    if (Colon == std::string::npos || Line.find ("Raw Table Data") != std::string::npos) continue;
    std::istringstream Hex (Line.substr (Colon + 2, Line.find ("//") - Colon - 2));
    unsigned V;
    while (Hex >> std::hex >> V) Bytes.push_back (static_cast<uint8_t> (V));
  }
  return Bytes;
}

TEST (Tablegraft, PackageVolumeOnTheDefaultBoardInstallsBothTablesFromFlash) {
  Board B;
  B.BootVolumes ({test::PackageVolume ()});
  ASSERT_FALSE (B.M.Faulted ()) << B.FaultReport ();
  const auto *D = B.Fw.Dxe.Find ("Tablegraft");
  ASSERT_NE (D, nullptr);
  EXPECT_EQ (D->State, Dispatcher::DriverState::Dispatched);
  EXPECT_EQ (D->Status, efi::Success);
  ASSERT_EQ (B.Acpi.Count ("OSDM"), 1u);
  ASSERT_EQ (B.Acpi.Count ("LPBT"), 1u);

  // The build puts the tables in file-name order.
  auto Sections = CompiledSections ();
  ASSERT_EQ (Sections.size (), 2u);
  EXPECT_EQ (std::string (Sections[0].begin (), Sections[0].begin () + 4), "LPBT");
  EXPECT_EQ (Sections[0].size (), 59u);
  EXPECT_EQ (Sections[1].size (), 241u);

  const AcpiTable &Osdm = *B.Acpi.Find ("OSDM"), &Lpbt = *B.Acpi.Find ("LPBT");
  EXPECT_TRUE (Osdm.ChecksumAsGiven && Lpbt.ChecksumAsGiven);
  ExpectOsdm (B.Acpi.Bytes (Osdm), Sections[1], B.Flash.Read (kOsdmDataArea.Address, kOsdmDataArea.Size));
  std::vector<uint8_t> LpbtBytes = B.Acpi.Bytes (Lpbt);
  uint64_t Buffer = Le64 (LpbtBytes, 40);
  ExpectLpbt (LpbtBytes, Sections[0], Buffer, B.Flash.Read (kLpbtArgumentsArea.Address, kLpbtArgumentsArea.Size));

  // The hand-off buffer: a runtime-services pool block of 9440 bytes holding
  // the flash binary, owned through the table (no leak), and the only block
  // Tablegraft still holds.
  const Allocation *A = B.Fw.Pool.Find (Buffer);
  ASSERT_NE (A, nullptr) << std::hex << Buffer;
  EXPECT_TRUE (A->Pool);
  EXPECT_EQ (A->MemoryType, kRuntimeServicesData);
  EXPECT_EQ (A->Size, kLpbtBinaryArea.Size);
  EXPECT_EQ (B.M.ReadBytes (Buffer, A->Size), DefaultExtraAcpiData (kLpbtBinaryArea));
  EXPECT_EQ (B.Fw.CallerName (A->Caller), "Tablegraft");
  EXPECT_TRUE (B.Fw.FindLeaks ().empty ());
  size_t Held = 0;
  for (const auto &L : B.Fw.Pool.Live ()) Held += B.Fw.CallerName (L.second.Caller) == "Tablegraft";
  EXPECT_EQ (Held, 1u) << "a section buffer was not freed";

  // iasl reads both tables with a good checksum and the same bytes.
  fs::path Dir = fs::temp_directory_path () / ("asfp-tablegraft-" + std::to_string (getpid ()));
  fs::remove_all (Dir);
  fs::create_directories (Dir);
  B.Acpi.Dump (Dir.string ());
  struct Check {
    const char *File;
    const AcpiTable &T;
    std::vector<std::string> Fields;
  } Checks[] = {{"osdm.dat", Osdm, {"Signature : \"OSDM\"", "Table Length : 000000F1", "Oem Table ID : \"ASRVOSDM\""}},
                {"lpbt.dat", Lpbt, {"Signature : \"LPBT\"", "Table Length : 0000003B", "Oem Table ID : \"ASRVLPBT\""}}};
  for (const Check &C : Checks) {
    std::string Dsl = test::Disassemble (Dir.string (), C.File);
    EXPECT_EQ (Dsl.find ("Incorrect checksum"), std::string::npos) << Dsl;
    for (const std::string &F : C.Fields) EXPECT_NE (Dsl.find (F), std::string::npos) << F << "\n" << Dsl;
    EXPECT_EQ (RawTableData (Dsl), B.Acpi.Bytes (C.T)) << Dsl;
  }
  fs::remove_all (Dir);
}

TEST (Tablegraft, MessagesAndTheEndOfTheSearch) {
  // Alone with the package volume: the messages in order, then the volume
  // built by the tools with a third table behind the two it stops at.
  Loaded Package ({});
  EXPECT_EQ (Package.Status, efi::Success);
  EXPECT_EQ (Package.B.UartText (), Messages ({"LPBT", "OSDM"}));
  EXPECT_EQ (Package.SectionReads (), 2u);

  // Without the ACPI table protocol nothing is read.
  Loaded NoAcpi ({}, [] (Board &B) {
    B.Fw.UninstallProtocol (B.Acpi.Handle, guids::AcpiTableProtocol, B.Acpi.TableProtocol);
  });
  EXPECT_EQ (NoAcpi.Status, efi::Aborted);
  EXPECT_EQ (NoAcpi.B.UartText (), "enter load qx acpi node\r\n");
  EXPECT_EQ (NoAcpi.SectionReads (), 0u);
  EXPECT_TRUE (NoAcpi.Held ().empty ());
  // Booted from the volume it waits for the protocol instead.
  Board Dormant;
  Dormant.Fw.UninstallProtocol (Dormant.Acpi.Handle, guids::AcpiTableProtocol, Dormant.Acpi.TableProtocol);
  Dormant.BootVolumes ({test::PackageVolume ()});
  EXPECT_EQ (Dormant.Fw.Dxe.WaitingFor (*Dormant.Fw.Dxe.Find ("Tablegraft")), "waits for gEfiAcpiTableProtocolGuid");
}

TEST (Tablegraft, SectionOrderAndCountDecideWhatIsInstalled) {
  const std::vector<uint8_t> Osdm = Compiled ("OSDM"), Lpbt = Compiled ("LPBT");
  const std::vector<uint8_t> Flash = DefaultExtraAcpiData (kOsdmDataArea), Arguments = DefaultExtraAcpiData (kLpbtArgumentsArea);
  std::vector<uint8_t> Osdm2 = Osdm;
  Osdm2[24] = 2;   // OEM revision
  const std::vector<uint8_t> Unknown = Table ("TEST", 64);

  {
    SCOPED_TRACE ("unrecognised, LPBT, OSDM");
    Loaded R (test::RawSectionVolume (TableFile (), {Unknown, Lpbt, Osdm}));
    EXPECT_EQ (R.Status, efi::Success);
    EXPECT_EQ (R.SectionReads (), 3u);
    EXPECT_EQ (R.B.UartText (), Messages ({"LPBT", "OSDM"}));   // nothing about the unrecognised one
    EXPECT_EQ (R.B.Acpi.Tables ().size (), 3u);                  // with the platform's SPCR
    ExpectOsdm (R.Installed ("OSDM"), Osdm, Flash);
    std::vector<uint8_t> L = R.Installed ("LPBT");
    ExpectLpbt (L, Lpbt, Le64 (L, 40), Arguments);
    EXPECT_EQ (R.Held ().size (), 1u);
    EXPECT_TRUE (R.B.Fw.FindLeaks ().empty ());
  }
  {
    SCOPED_TRACE ("two OSDM, then LPBT");
    Loaded R (test::RawSectionVolume (TableFile (), {Osdm, Osdm2, Lpbt}));
    EXPECT_EQ (R.Status, efi::Success);
    EXPECT_EQ (R.SectionReads (), 2u) << "the count of installed tables ends the search";
    EXPECT_EQ (R.B.UartText (), Messages ({"OSDM", "OSDM"}));
    ExpectOsdm (R.Installed ("OSDM", 0), Osdm, Flash);
    ExpectOsdm (R.Installed ("OSDM", 1), Osdm2, Flash);
    EXPECT_EQ (R.B.Acpi.Count ("LPBT"), 0u);
    EXPECT_TRUE (R.Held ().empty ()) << "no hand-off buffer without an LPBT";
    EXPECT_TRUE (R.B.Fw.FindLeaks ().empty ());
  }
  for (const auto &Sections : {std::vector<std::vector<uint8_t>>{Osdm, Unknown}, std::vector<std::vector<uint8_t>>{Unknown}}) {
    SCOPED_TRACE (Sections.size () == 2 ? "OSDM, unrecognised" : "unrecognised only");
    Loaded R (test::RawSectionVolume (TableFile (), Sections));
    EXPECT_EQ (R.Status, efi::NotFound);
    EXPECT_EQ (R.B.UartText (), Messages (Sections.size () == 2 ? std::vector<std::string>{"OSDM"} : std::vector<std::string>{}, false));
    EXPECT_EQ (R.B.Acpi.Count ("OSDM"), Sections.size () == 2 ? 1u : 0u);
    EXPECT_TRUE (R.Held ().empty ());
    EXPECT_TRUE (R.B.Fw.FindLeaks ().empty ());
  }
}

TEST (Tablegraft, ChecksumCoversTheHeaderLengthOfALargerSection) {
  // Trailing bytes that do not sum to 0: a checksum over the section would
  // leave the table's own sum wrong.
  std::vector<uint8_t> Osdm = Compiled ("OSDM"), Lpbt = Compiled ("LPBT");
  std::vector<uint8_t> LongOsdm = Osdm, LongLpbt = Lpbt;
  LongOsdm.insert (LongOsdm.end (), {0x11, 0x22, 0x33, 0x44, 0x55});
  LongLpbt.insert (LongLpbt.end (), 20, 0x7E);
  Loaded R (test::RawSectionVolume (TableFile (), {LongOsdm, LongLpbt}));
  EXPECT_EQ (R.Status, efi::Success);
  std::vector<uint8_t> O = R.Installed ("OSDM"), L = R.Installed ("LPBT");
  EXPECT_EQ (O.size (), 241u);
  EXPECT_EQ (L.size (), 59u);
  ExpectOsdm (O, Osdm, DefaultExtraAcpiData (kOsdmDataArea));
  ExpectLpbt (L, Lpbt, Le64 (L, 40), DefaultExtraAcpiData (kLpbtArgumentsArea));
  EXPECT_TRUE (R.B.Fw.FindLeaks ().empty ());
}

TEST (Tablegraft, LpbtAllocationFailingLeavesTheHandOffFieldsAsTheSectionHoldsThem) {
  // Non-zero hand-off fields, so that any write to them shows.
  std::vector<uint8_t> Lpbt = Table ("LPBT", 59);
  Loaded R (test::RawSectionVolume (TableFile (), {Lpbt, Compiled ("OSDM")}),
            [] (Board &B) { B.Fw.Pool.FailMemoryType = kRuntimeServicesData; });
  EXPECT_EQ (R.Status, efi::Success);
  ExpectLpbt (R.Installed ("LPBT"), Lpbt, std::nullopt, {});
  ExpectOsdm (R.Installed ("OSDM"), Compiled ("OSDM"), DefaultExtraAcpiData (kOsdmDataArea));
  EXPECT_EQ (R.B.UartText (), Messages ({"LPBT!", "OSDM"}));
  EXPECT_TRUE (R.Held ().empty ());
  EXPECT_TRUE (R.B.Fw.FindLeaks ().empty ());
}

TEST (Tablegraft, TablesThatCannotTakeTheirFlashDataAreRefused) {
  // Each would have the loader write or read outside its section buffer:
  // too short for the flash bytes, a header Length past the section, a
  // section shorter than a header, or than a signature.
  std::vector<uint8_t> Overlong = Table ("OSDM", 241), Headless = Table ("LPBT", 59);
  Put (Overlong, 4, 300, 4);
  Headless.resize (20);
  struct Bad {
    std::vector<uint8_t> Section;
    std::string Message;
  } Cases[] = {
      {Table ("OSDM", 240), "OSDM table refused: Length 240 in a section of 240 bytes; it needs 241 bytes within its section"},
      {Table ("LPBT", 58), "LPBT table refused: Length 58 in a section of 58 bytes; it needs 59 bytes within its section"},
      {Overlong, "OSDM table refused: Length 300 in a section of 241 bytes; it needs 241 bytes within its section"},
      {Headless,
       "LPBT table refused: Length 0 in a section of 20 bytes; it needs 59 bytes within its section"},
      {{'O', 'S', 'D'}, ""},
  };
  std::vector<std::vector<uint8_t>> Sections;
  std::string Refusals;
  for (const Bad &C : Cases) {
    Sections.push_back (C.Section);
    if (!C.Message.empty ()) Refusals += "ExtraTableFits: " + C.Message + "\r\n";
  }
  Sections.push_back (Compiled ("LPBT"));
  Sections.push_back (Compiled ("OSDM"));
  Loaded R (test::RawSectionVolume (TableFile (), Sections));
  EXPECT_EQ (R.Status, efi::Success);
  EXPECT_EQ (R.B.UartText (), Messages ({Refusals, "LPBT", "OSDM"}));
  ExpectOsdm (R.Installed ("OSDM"), Compiled ("OSDM"), DefaultExtraAcpiData (kOsdmDataArea));
  EXPECT_EQ (R.B.Acpi.Count ("OSDM") + R.B.Acpi.Count ("LPBT"), 2u);
  EXPECT_EQ (R.Held ().size (), 1u);
  EXPECT_TRUE (R.B.Fw.FindLeaks ().empty ());
}

TEST (Tablegraft, AFailedInstallStillCountsAndFreesItsHandOffBuffer) {
  Loaded R (test::RawSectionVolume (TableFile (), {Compiled ("LPBT"), Compiled ("OSDM"), Compiled ("OSDM")}),
            [] (Board &B) { B.Acpi.FailInstall = efi::OutOfResources; });
  EXPECT_EQ (R.Status, efi::Success);
  EXPECT_EQ (R.SectionReads (), 2u);
  EXPECT_EQ (R.B.Acpi.Count ("OSDM") + R.B.Acpi.Count ("LPBT"), 0u);
  std::string Text = R.B.UartText ();
  for (const char *Name : {"LPBT", "OSDM"}) {
    EXPECT_NE (Text.find (std::string ("InstallExtraTable: InstallAcpiTable (") + Name + ") - Out of Resources\r\nLoad qx acpi node\r\n"),
               std::string::npos) << Text;
  }
  EXPECT_NE (Text.find ("exit load qx acpi node"), std::string::npos);
  EXPECT_TRUE (R.Held ().empty ()) << "the hand-off buffer of a table nobody installed";
  EXPECT_TRUE (R.B.Fw.FindLeaks ().empty ());
}

}  // namespace
}  // namespace vboard
