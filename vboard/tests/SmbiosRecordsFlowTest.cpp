// The flash-layout and type 251 records as a tool nobody here wrote sees
// them: Debian's dmidecode reads the board's SMBIOS dump and prints every
// type 203 and 251 structure as an OEM-specific type with its header and
// data bytes, which must be exactly the bytes the records are laid out with
// (built here from the HOB contents and the setup byte, not taken from the
// board's copy). Both through the board in-process and through the vboard
// command line, which fills the HOBs and the setup variable itself.
#include "board/FlashLayout.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>

namespace vboard {
namespace {

using namespace test;
using platform::FlashLayoutEntry;

struct Decoded {
  unsigned Type = 0;
  std::vector<uint8_t> Bytes;   // "Header and Data"
};

// dmidecode's view of the structures of one type, by handle.
std::map<uint16_t, Decoded> Dmidecode (const std::string &Dump, unsigned Type) {
  std::string Output;
  EXPECT_EQ (RunCommand ("dmidecode --from-dump " + Dump + " -t " + std::to_string (Type), Output), 0) << Output;
  std::map<uint16_t, Decoded> Out;
  std::istringstream In (Output);
  std::string Line;
  Decoded *Current = nullptr;
  bool InData = false;
  while (std::getline (In, Line)) {
    unsigned Handle, T, Size;
    if (std::sscanf (Line.c_str (), "Handle 0x%X, DMI type %u, %u bytes", &Handle, &T, &Size) == 3) {
      Current = &Out[static_cast<uint16_t> (Handle)];
      Current->Type = T;
      InData = false;
    } else if (Current != nullptr && Line == "\tHeader and Data:") {
      InData = true;
    } else if (Current != nullptr && InData && Line.rfind ("\t\t", 0) == 0) {
      std::istringstream Hex (Line);
      for (unsigned B; Hex >> std::hex >> B;) Current->Bytes.push_back (static_cast<uint8_t> (B));
    } else {
      InData = false;
    }
  }
  return Out;
}

std::vector<uint8_t> Le (uint32_t V, unsigned N = 4) {
  std::vector<uint8_t> Out;
  for (unsigned I = 0; I < N; I++) Out.push_back (static_cast<uint8_t> (V >> (8 * I)));
  return Out;
}

std::vector<uint8_t> Concat (std::initializer_list<std::vector<uint8_t>> Parts) {
  std::vector<uint8_t> Out;
  for (const auto &P : Parts) Out.insert (Out.end (), P.begin (), P.end ());
  return Out;
}

// Formatted areas as the layout says (dmidecode shows no terminator).
std::vector<uint8_t> SummaryArea (uint16_t Handle, uint32_t G0, uint32_t G1) {
  return Concat ({{0xCB, 0x0C}, Le (Handle, 2), Le (G0), Le (G1)});
}
std::vector<uint8_t> EntryArea (uint16_t Handle, const FlashLayoutEntry &E) {
  return Concat ({{0xCB, 0x11}, Le (Handle, 2), Le (E.Word0), Le (E.Word1), Le (E.Word2), Le (E.Word3 & 0xFF, 1)});
}
std::vector<uint8_t> Type251Area (uint16_t Handle, uint32_t Mask) {
  return Concat ({{0xFB, 0x30}, Le (Handle, 2), {'U', 'D', 'S', 'R'}, Le (1), std::vector<uint8_t> (8, 0xFF),
                  std::vector<uint8_t> (16, 0), std::vector<uint8_t> (4, 0xFF), {0x08, 0x00, 0xFF, 0xFF}, Le (Mask)});
}

// Checks dmidecode's type 203 and 251 output: one summary (any handle not
// an entry's), entries at 0x00CB + i, one type 251 record with Mask.
void ExpectDecoded (const std::string &Dump, const std::vector<FlashLayoutEntry> &Layout, uint32_t G0, uint32_t G1,
                    uint32_t Mask) {
  auto Layouts = Dmidecode (Dump, 203);
  ASSERT_EQ (Layouts.size (), 1 + Layout.size ());
  for (size_t I = 0; I < Layout.size (); I++) {
    uint16_t Handle = static_cast<uint16_t> (0xCB + I);
    ASSERT_EQ (Layouts.count (Handle), 1u) << "handle " << Handle;
    EXPECT_EQ (Layouts[Handle].Type, 203u);
    EXPECT_EQ (Layouts[Handle].Bytes, EntryArea (Handle, Layout[I])) << "entry " << I;
    Layouts.erase (Handle);
  }
  ASSERT_EQ (Layouts.size (), 1u);
  EXPECT_EQ (Layouts.begin ()->second.Bytes, SummaryArea (Layouts.begin ()->first, G0, G1));
  auto Oem = Dmidecode (Dump, 251);
  ASSERT_EQ (Oem.size (), 1u);
  EXPECT_EQ (Oem.begin ()->second.Type, 251u);
  EXPECT_EQ (Oem.begin ()->second.Bytes, Type251Area (Oem.begin ()->first, Mask));
}

TEST (SmbiosRecordsFlow, DmidecodeShowsTheDefaultLayoutAndTheType251Record) {
  Board B;
  B.SetSetupByte (platform::kSystemSetupConfig, 21, 2);
  for (const auto &R : B.DefaultBoot ({ModuleImage ("Mapplate"), ModuleImage ("Portplate")})) {
    ASSERT_EQ (R.Status, efi::Success) << R.Image << "\n" << B.FaultReport ();
  }
  EXPECT_TRUE (B.Fw.FindLeaks ().empty ());
  TempFile Dump ("dmi");
  B.Smbios.WriteDump (Dump.Path);
  ExpectDecoded (Dump.Path, platform::DefaultFlashLayout (), platform::kDefaultLayoutGlobal0,
                 platform::kDefaultLayoutGlobal1, 0x01);
  // Handles as EDK II's SMBIOS driver assigns them for 0xFFFE: the lowest
  // free one (the summary first, then Portplate's record), and the
  // end-of-table structure on the highest valid handle.
  auto Layouts = Dmidecode (Dump.Path, 203);
  EXPECT_EQ (Layouts.count (0x0000), 1u) << "the summary";
  EXPECT_EQ (Dmidecode (Dump.Path, 251).count (0x0001), 1u);
  std::string Output;
  ASSERT_EQ (RunCommand ("dmidecode --from-dump " + Dump.Path + " -t 127", Output), 0) << Output;
  EXPECT_NE (Output.find ("Handle 0xFEFF, DMI type 127, 4 bytes"), std::string::npos) << Output;
}

TEST (SmbiosRecordsFlow, CommandLineFillsTheHobsAndTheSetup) {
  TempFile Dump ("dmi");
  std::string Output;
  std::string Tool = std::string (VBOARD_TOOL) +
                     " --flash-layout 0x1000:0x2000:0x3:0x105,0xFFFFFFFF:0:0x80000000:0xABCDEF42"
                     " --flash-layout-summary 0x12345678:0x9ABCDEF0 --setup SystemSetupConfig.21=0"
                     " --dump-smbios " + Dump.Path + " " + ModuleImage ("Mapplate") + " " + ModuleImage ("Portplate");
  ASSERT_EQ (RunCommand (Tool, Output), 0) << Output;
  EXPECT_NE (Output.find ("image Mapplate: entry point returned Success\n"), std::string::npos) << Output;
  ExpectDecoded (Dump.Path, {{0x1000, 0x2000, 3, 0x105}, {0xFFFFFFFF, 0, 0x80000000, 0xABCDEF42}}, 0x12345678,
                 0x9ABCDEF0, 0x0F);

  // Without the summary HOB nothing of the layout is published.
  ASSERT_EQ (RunCommand (std::string (VBOARD_TOOL) + " --flash-layout-summary none " + ModuleImage ("Mapplate"), Output), 0)
      << Output;
  EXPECT_NE (Output.find ("image Mapplate: entry point returned Not Found (unloaded)\n"), std::string::npos) << Output;
  EXPECT_EQ (Output.find ("added SMBIOS type 203"), std::string::npos) << Output;
}

}  // namespace
}  // namespace vboard
