// Stampread on the virtual board: the firmware-ID block found in the
// memory-mapped flash and its strings in the platform's PcdFirmwareIdData
// buffer, which the driver reaches by name through PcdLib.
#include "board/FirmwareIdBlock.h"
#include "tests/EventLogSupport.h"

#include <gtest/gtest.h>

#include <iostream>
#include <optional>

namespace vboard {
namespace {

using namespace platform;

// One board with the PCD buffer (reached by the token the build assigned),
// filled with recognisable platform bytes, and the default block erased.
struct Rig {
  Board B;
  std::vector<uint8_t> Initial;

  // BufferSize: the PCD's declared maximum; CurSize: its initial size.
  explicit Rig (uint64_t BufferSize = 138, std::optional<uint64_t> CurSize = std::nullopt) {
    B.Fw.DefineLocalPcd ("PcdFirmwareIdData", PcdType::Ptr, 0, BufferSize, CurSize);
    Initial.assign (BufferSize, 0);
    for (size_t I = 0; I < BufferSize; I++) Initial[I] = static_cast<uint8_t> (0xA0 + I);
    Reset ();
    B.Flash.EraseBlock (kDefaultFirmwareIdAddress);
  }
  void Reset () { B.M.Write (Buffer (), Initial.data (), Initial.size ()); }
  uint64_t Buffer () { return B.Fw.LocalPcd ("PcdFirmwareIdData")->Buffer; }
  std::vector<uint8_t> Bytes () { return B.M.ReadBytes (Buffer (), Initial.size ()); }
  uint64_t Run (const std::string &Image = test::ModuleImage ("Stampread")) {
    uint64_t Status = B.Run (Image);
    EXPECT_FALSE (B.M.Faulted ()) << B.FaultReport ();
    return Status;
  }
  void Place (uint64_t Address, const FirmwareId &Id, char Eighth = 0x01) {
    auto Block = FirmwareIdBlockBytes (Id);
    Block[7] = static_cast<uint8_t> (Eighth);
    EXPECT_TRUE (B.Flash.Program (Address, Block));
  }
  // What the buffer must hold after the copies that succeed: each copied
  // string with its terminator over the platform's bytes, nothing else.
  std::vector<uint8_t> Expect (const FirmwareId &Id, bool Ascii = true, bool Unicode = true, bool Short = true,
                               std::vector<uint8_t> Out = {}) {
    if (Out.empty ()) Out = Initial;
    if (Ascii) {
      std::copy (Id.Ascii.begin (), Id.Ascii.end (), Out.begin () + kFirmwareIdAsciiOffset);
      Out[kFirmwareIdAsciiOffset + Id.Ascii.size ()] = 0;
    }
    if (Unicode) {
      for (size_t I = 0; I <= Id.Unicode.size (); I++) {
        char16_t C = I < Id.Unicode.size () ? Id.Unicode[I] : 0;
        Out[kFirmwareIdUnicodeOffset + 2 * I] = static_cast<uint8_t> (C);
        Out[kFirmwareIdUnicodeOffset + 2 * I + 1] = static_cast<uint8_t> (C >> 8);
      }
    }
    if (Short) {
      std::copy (Id.ShortAscii.begin (), Id.ShortAscii.end (), Out.begin () + kFirmwareIdShortOffset);
      Out[kFirmwareIdShortOffset + Id.ShortAscii.size ()] = 0;
    }
    return Out;
  }
};

TEST (StampreadTest, DefaultFlashPublishesItsStringsAndKeepsBytesZeroToNine) {
  Board Default;   // the default board, its block at 0x600000 untouched
  std::vector<uint8_t> Platform (10, 0x5A);
  uint64_t P = Default.Fw.LocalPcd ("PcdFirmwareIdData")->Buffer;
  Default.M.Write (P, Platform.data (), Platform.size ());
  ASSERT_EQ (Default.Run (test::ModuleImage ("Stampread")), efi::Success) << Default.FaultReport ();
  EXPECT_EQ (Default.M.ReadAscii (P + 10, 32), kDefaultFirmwareId.Ascii);
  EXPECT_EQ (Default.M.ReadUcs2 (P + 42, 38), kDefaultFirmwareId.Unicode);
  EXPECT_EQ (Default.M.ReadAscii (P + 118, 20), kDefaultFirmwareId.ShortAscii);
  EXPECT_EQ (Default.M.ReadBytes (P, 10), Platform);
  EXPECT_EQ (Default.Uart0.Text (), "");
  EXPECT_TRUE (Default.Fw.FindLeaks ().empty ());
}

TEST (StampreadTest, SearchWindowEndsAlignmentAndTheHigherOfTwoBlocks) {
  const FirmwareId Low{"LOW", u"low", "l"}, High{"HIGH", u"high", "h"};
  struct Case {
    std::vector<uint64_t> At;   // blocks, the last one placed with High
    bool Found;
    char Eighth;
  };
  const Case Cases[] = {
      {{0x650000}, true, 0x01},             // the top candidate
      {{0x500010}, true, 0x01},             // the lowest candidate
      {{0x500008}, false, 0x01},            // just below the window
      {{0x500000}, false, 0x01},
      {{0x650008}, false, 0x01},            // above the window
      {{0x600004}, false, 0x01},            // not on an 8-byte step
      {{0x5FFFFE}, false, 0x01},
      {{0x600000}, true, 'Z'},              // the eighth byte is not compared
      {{0x500010, 0x64FFF8}, true, 0x01},   // two blocks: the higher wins
  };
  for (const Case &C : Cases) {
    Rig R;
    for (size_t I = 0; I < C.At.size (); I++) R.Place (C.At[I], I + 1 == C.At.size () ? High : Low, C.Eighth);
    EXPECT_EQ (R.Run (), C.Found ? efi::Success : efi::NotFound) << std::hex << C.At.back ();
    EXPECT_EQ (R.Bytes (), C.Found ? R.Expect (High) : R.Initial) << std::hex << C.At.back ();
  }
}

TEST (StampreadTest, StringsThatDoNotFitLeaveTheirFieldAndTheOthersAreCopied) {
  Rig R;
  const std::string A31 (31, 'a'), A32 (32, 'a'), S19 (19, 's'), S20 (20, 's');
  const std::u16string U37 (37, u'u'), U38 (38, u'u');
  struct Case {
    FirmwareId Id;
    bool Ascii, Unicode, Short;
  };
  const Case Cases[] = {
      {{A31, U37, S19}, true, true, true},     // each at its longest
      {{A31, U38, S19}, true, false, true},    // the CHAR16 field has no terminator
      {{A32, U37, S19}, false, true, true},
      {{A31, U37, S20}, true, true, false},
      {{A32, U38, S20}, false, false, false},
  };
  for (const Case &C : Cases) {
    R.Reset ();
    R.B.Flash.EraseBlock (0x640000);
    R.Place (0x640000, C.Id);
    EXPECT_EQ (R.Run (), efi::Success);
    EXPECT_EQ (R.Bytes (), R.Expect (C.Id, C.Ascii, C.Unicode, C.Short))
        << C.Id.Ascii.size () << "/" << C.Id.Unicode.size () << "/" << C.Id.ShortAscii.size ();
  }
}

TEST (StampreadTest, BufferSmallerThanTheLayoutIsLeftAlone) {
  Rig R (100);   // a platform that declared the PCD too small
  R.Place (0x640000, kDefaultFirmwareId);
  EXPECT_EQ (R.Run (), efi::BadBufferSize);
  EXPECT_EQ (R.Bytes (), R.Initial);
  EXPECT_EQ (R.B.Uart0.Text (), "StampreadEntryPoint: PcdFirmwareIdData holds 100 bytes, 138 needed; not written\r\n");
}

TEST (StampreadTest, ShorterInitialValueGrowsWithinTheDeclaredMaximum) {
  // The platform declares room for the layout (or more) but a shorter
  // initial value: the strings go in, the value's own bytes stay, the gap
  // up to the layout is zero, and the PCD's current size becomes 138.
  for (uint64_t Max : {138u, 200u}) {
    SCOPED_TRACE (Max);
    Rig R (Max, 40);
    R.Place (0x640000, kDefaultFirmwareId);
    EXPECT_EQ (R.Run (), efi::Success);
    std::vector<uint8_t> Grown = R.Initial;
    std::fill (Grown.begin () + 40, Grown.begin () + 138, 0);
    EXPECT_EQ (R.Bytes (), R.Expect (kDefaultFirmwareId, true, true, true, Grown));
    EXPECT_EQ (R.B.Fw.LocalPcd ("PcdFirmwareIdData")->CurSize, 138u);
    ASSERT_EQ (R.B.Fw.PcdSets ().size (), 1u);
    EXPECT_EQ (R.B.Fw.PcdSets ()[0].Name, "PcdFirmwareIdData");
    EXPECT_EQ (R.B.Uart0.Text (), "");
  }
  // A maximum one byte short is refused by the PCD database: nothing
  // changes and the driver says what the PCD can hold.
  Rig Short (137, 40);
  Short.Place (0x640000, kDefaultFirmwareId);
  EXPECT_EQ (Short.Run (), efi::BadBufferSize);
  EXPECT_EQ (Short.Bytes (), Short.Initial);
  EXPECT_EQ (Short.B.Fw.LocalPcd ("PcdFirmwareIdData")->CurSize, 40u);
  EXPECT_EQ (Short.B.Uart0.Text (), "StampreadEntryPoint: PcdFirmwareIdData holds 137 bytes, 138 needed; not written\r\n");
}

TEST (StampreadTest, ScanCostInEmulatedInstructions) {
  // The cost of the scan with the block at the bottom of the window (every
  // candidate compared) and with no block at all, DEBUG and RELEASE images.
  // Measured: 4.99 million (DEBUG) and 3.27 million (RELEASE) either way;
  // the bounds leave 10%, so a scan that compares more per candidate or
  // walks the window twice fails.
  for (const std::string &Image : {test::ModuleImage ("Stampread"), test::ReleaseImage ("Stampread")}) {
    const bool Release = Image.find ("RELEASE") != std::string::npos;
    for (bool WithBlock : {true, false}) {
      Rig R;
      if (WithBlock) R.Place (0x500010, kDefaultFirmwareId);
      uint64_t Before = R.B.M.Instructions ();
      EXPECT_EQ (R.Run (Image), WithBlock ? efi::Success : efi::NotFound);
      uint64_t Cost = R.B.M.Instructions () - Before;
      std::cout << "Stampread scan (" << (Image.find ("RELEASE") != std::string::npos ? "RELEASE" : "DEBUG") << ", "
                << (WithBlock ? "block at 0x500010" : "no block") << "): " << Cost << " instructions\n";
      EXPECT_LE (Cost, Release ? 3600000u : 5500000u);
    }
  }
}

}  // namespace
}  // namespace vboard
