// The NOR flash controller and the W25Q part behind it, driven through the
// controller's registers as firmware drives them: the controller refuses
// what the hardware would not run, and the part keeps WEL and its
// status-register protection as its datasheet describes.
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace vboard {
namespace {

using Nor = NorFlashController;

// One controller command, as a driver sends it.
void Command (Board &B, uint32_t Word, uint32_t Data = 1) {
  B.NorController.Write (Nor::kCmd, 4, Word);
  B.NorController.Write (Nor::kDataLo, 4, Data);
}
void Addressed (Board &B, uint32_t Word, uint32_t Address, uint32_t Data = 1) {
  B.NorController.Write (Nor::kAddrCmd, 4, Word);
  B.NorController.Write (Nor::kAddr, 4, Address);
  B.NorController.Write (Nor::kDataLo, 4, Data);
}
uint32_t ReadStatus (Board &B, uint32_t Word) {
  B.NorController.Write (Nor::kCmd, 4, Word);
  return B.NorController.Read (Nor::kDataLo, 4);
}
bool Wel (Board &B) { return (ReadStatus (B, 0x00000501) & SpiNorFlash::kSr1Wel) != 0; }
// Write Enable, then one status-register write, then the write time.
void WriteStatus (Board &B, uint32_t Word, uint8_t Value) {
  Command (B, 0x00000600);
  B.NorController.Write (Nor::kCmd, 4, Word);
  B.NorController.Write (Nor::kDataHi, 4, 0);
  B.NorController.Write (Nor::kDataLo, 4, Value);
  B.Fw.PassTime (2 * SpiNorFlash::kStatusWriteNs);
}

TEST (NorFlashControllerModel, RefusesWhatTheControllerDoesNotRun) {
  struct Case {
    const char *What;
    std::function<void (Board &)> Access;
    const char *Report;
  } Cases[] = {
      {"unknown offset written", [] (Board &B) { B.NorController.Write (0x14, 4, 0); }, "+0x14, which is not a register"},
      {"unknown offset read", [] (Board &B) { B.NorController.Read (0x28, 4); }, "+0x28, which is not a register"},
      {"JEDEC ID word with wrong low bits", [] (Board &B) { B.NorController.Write (Nor::kCmd, 4, 0x9F000000); },
       "command word 0x9f000000"},
      {"status read without its data-phase bits", [] (Board &B) { B.NorController.Write (Nor::kCmd, 4, 0x00000500); },
       "command word 0x500"},
      {"Write Enable word with a data phase", [] (Board &B) { B.NorController.Write (Nor::kCmd, 4, 0x00000601); },
       "command word 0x601"},
      {"opcode in the wrong byte", [] (Board &B) { B.NorController.Write (Nor::kCmd, 4, 0x06000000); },
       "command word 0x6000000"},
      {"unlock without its address bits", [] (Board &B) { B.NorController.Write (Nor::kAddrCmd, 4, 0x00003900); },
       "command word 0x3900"},
      {"addressed word in the unaddressed register", [] (Board &B) { B.NorController.Write (Nor::kCmd, 4, 0x00003944); },
       "not an unaddressed command"},
      {"unaddressed word in the addressed register", [] (Board &B) { B.NorController.Write (Nor::kAddrCmd, 4, 0x00000600); },
       "not an addressed command"},
      {"address beyond 24 bits", [] (Board &B) { B.NorController.Write (Nor::kAddr, 4, 0x01000000); }, "3-byte address"},
      {"status write with the data-high register set",
       [] (Board &B) {
         Command (B, 0x00000600);
         B.NorController.Write (Nor::kCmd, 4, 0x00001101);
         B.NorController.Write (Nor::kDataHi, 4, 0x64);
         B.NorController.Write (Nor::kDataLo, 4, 0x64);
       },
       "NOR_DATA_HI_REG = 0x64"},
      {"command without data started with 0", [] (Board &B) { Command (B, 0x00000600, 0); }, "instead of 1"},
      {"read command started by a write", [] (Board &B) { Command (B, 0x00000501, 1); }, "a read starts when the register is read"},
      {"transfer with no command loaded", [] (Board &B) { B.NorController.Write (Nor::kDataLo, 4, 1); },
       "no command word loaded"},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE (C.What);
    Board B;
    C.Access (B);
    ASSERT_TRUE (B.M.Faulted ());
    EXPECT_EQ (B.M.LastFault ().Kind, FaultKind::DeviceMisuse);
    ASSERT_EQ (B.NorController.Misuses.size (), 1u);
    EXPECT_NE (B.NorController.Misuses[0].find (C.Report), std::string::npos) << B.NorController.Misuses[0];
  }
  // The refused status write was not carried out.
  Board B;
  Command (B, 0x00000600);
  B.NorController.Write (Nor::kCmd, 4, 0x00001101);
  B.NorController.Write (Nor::kDataHi, 4, 1);
  B.NorController.Write (Nor::kDataLo, 4, 0x64);
  B.Fw.PassTime (2 * SpiNorFlash::kStatusWriteNs);
  EXPECT_EQ (B.NorFlash.Status (3), SpiNorFlash::kFactorySr3);
}

TEST (NorFlashControllerModel, TakesOnlyAlignedWordAccesses) {
  // Byte, halfword and doubleword accesses from guest code to NOR_CMD_REG.
  constexpr uint64_t kCode = 0x3E000000;
  struct Case {
    const char *What;
    uint32_t Instruction;
    const char *Report;
  } Cases[] = {
      {"byte write", 0x39000001, "1-byte write"},        // strb w1, [x0]
      {"halfword write", 0x79000001, "2-byte write"},    // strh w1, [x0]
      // The emulator hands a doubleword store to the device as two words;
      // the upper one lands past NOR_CMD_REG, where there is no register.
      {"doubleword write", 0xF9000001, "to +0x14, which is not a register"},   // str x1, [x0]
      {"byte read", 0x39400000, "1-byte read"},          // ldrb w0, [x0]
      {"word write", 0xB9000001, nullptr},               // str w1, [x0]
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE (C.What);
    Board B;
    B.M.MapRam (kCode, 0x1000, true, true);
    uint32_t Code[] = {C.Instruction, 0xD65F03C0};
    B.M.Write (kCode, Code, sizeof (Code));
    B.Fw.CallGuest (kCode, {Nor::kBase + Nor::kCmd, 0x00000600});
    if (C.Report == nullptr) {
      EXPECT_FALSE (B.M.Faulted ()) << B.FaultReport ();
      EXPECT_TRUE (B.NorController.Misuses.empty ());
      continue;
    }
    ASSERT_TRUE (B.M.Faulted ());
    EXPECT_EQ (B.M.LastFault ().Kind, FaultKind::DeviceMisuse);
    ASSERT_EQ (B.NorController.Misuses.size (), 1u);
    EXPECT_NE (B.NorController.Misuses[0].find (C.Report), std::string::npos) << B.NorController.Misuses[0];
  }
}

TEST (W25QModel, OnlyWriteDisableProgramEraseAndStatusWritesClearWel) {
  struct Case {
    const char *What;
    std::function<void (Board &)> After;   // sent after Write Enable
    bool Wel;
  } Cases[] = {
      {"Individual Block Unlock", [] (Board &B) { Addressed (B, 0x00003944, 0x9A0000); }, true},
      {"Individual Block Lock", [] (Board &B) { Addressed (B, 0x00003644, 0x9A0000); }, true},
      {"Global Block Unlock", [] (Board &B) { Command (B, 0x00009800); }, true},
      {"Global Block Lock", [] (Board &B) { Command (B, 0x00007E00); }, true},
      {"Read Block Lock",
       [] (Board &B) {
         B.NorController.Write (Nor::kAddrCmd, 4, 0x00003D44);
         B.NorController.Write (Nor::kAddr, 4, 0x9A0000);
         B.NorController.Read (Nor::kDataLo, 4);
       },
       true},
      {"Write Disable", [] (Board &B) { Command (B, 0x00000400); }, false},
      {"Page Program", [] (Board &B) { Addressed (B, 0x00000244, 0x9A0000, 0x11223344); }, false},
      {"Sector Erase", [] (Board &B) { Addressed (B, 0x00002044, 0x9A0000); }, false},
      {"Block Erase", [] (Board &B) { Addressed (B, 0x0000D844, 0x9A0000); }, false},
      {"Write Status Register-3",
       [] (Board &B) {
         B.NorController.Write (Nor::kCmd, 4, 0x00001101);
         B.NorController.Write (Nor::kDataHi, 4, 0);
         B.NorController.Write (Nor::kDataLo, 4, 0x60);
       },
       false},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE (C.What);
    Board B;
    Command (B, 0x00000600);
    ASSERT_TRUE (Wel (B));
    C.After (B);
    B.Fw.PassTime (SpiNorFlash::kBlockEraseNs * 2);   // let a program, erase or write complete
    EXPECT_EQ (Wel (B), C.Wel);
    EXPECT_FALSE (B.M.Faulted ()) << B.FaultReport ();
  }
}

TEST (W25QModel, StatusRegisterProtectBitsAndTheWpPinRefuseStatusWrites) {
  constexpr uint8_t kSrp = SpiNorFlash::kSr1Srp, kQe = SpiNorFlash::kSr2Qe;
  struct Case {
    const char *What;
    uint8_t Sr1, Sr2;
    bool WpLow;
    bool Accepted;
  } Cases[] = {
      {"SRP 0: software protection, /WP ignored", 0, 0, true, true},
      {"SRP 1, /WP high: hardware unprotected", kSrp, 0, false, true},
      {"SRP 1, /WP low: hardware protected", kSrp, 0, true, false},
      {"SRP 1, /WP low, QE 1: the pin is IO2 and does not protect", kSrp, kQe, true, true},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE (C.What);
    Board B;
    B.NorFlash.SetNonVolatileStatus ({C.Sr1, C.Sr2, SpiNorFlash::kFactorySr3});
    B.NorFlash.WriteProtectPinLow = C.WpLow;
    WriteStatus (B, 0x00001101, 0x64);
    EXPECT_EQ (B.NorFlash.Status (3), C.Accepted ? 0x64 : 0x60);
    // A refused write changes nothing, WEL included.
    EXPECT_EQ (Wel (B), !C.Accepted);
    EXPECT_FALSE (B.M.Faulted ()) << B.FaultReport ();
  }

  // SRL: power-supply lock-down. Once set, every status write is refused,
  // /WP high or not, until the part powers up again with SRL clear.
  Board B;
  WriteStatus (B, 0x00003101, SpiNorFlash::kSr2Srl);
  ASSERT_EQ (B.NorFlash.Status (2) & SpiNorFlash::kSr2Srl, SpiNorFlash::kSr2Srl);
  WriteStatus (B, 0x00001101, 0x64);
  WriteStatus (B, 0x00003101, 0x00);
  EXPECT_EQ (B.NorFlash.Status (3), 0x60);
  EXPECT_EQ (B.NorFlash.Status (2) & SpiNorFlash::kSr2Srl, SpiNorFlash::kSr2Srl);
  Board Next;
  Next.NorFlash.SetNonVolatileStatus (B.NorFlash.NonVolatileStatus ());
  EXPECT_EQ (Next.NorFlash.Status (2) & SpiNorFlash::kSr2Srl, 0);
  WriteStatus (Next, 0x00001101, 0x64);
  EXPECT_EQ (Next.NorFlash.Status (3), 0x64);
}

// The saved file is the image, written a piece at a time: bytes on either
// side of a piece boundary, and a shadowed range across one, come out as
// the board holds them (the shadowed range as the image was loaded).
TEST (BootFlashFile, SavedFileIsTheImageAcrossPieceBoundaries) {
  Board B;
  std::vector<uint8_t> Loaded (BootFlash::kSize, 0xFF);
  for (size_t I = 0x1FF000; I < 0x201000; I++) Loaded[I] = static_cast<uint8_t> (I * 7);
  B.Flash.SetImage (Loaded);
  B.Flash.Shadow (0x1FF000, 0x2000);
  std::vector<uint8_t> Window (0x2000, 0x5A);
  ASSERT_TRUE (B.M.Write (0x1FF000, Window.data (), Window.size ()));   // what the board sees there
  std::vector<uint8_t> Programmed = {1, 2, 3, 4, 5, 6, 7, 8};
  ASSERT_TRUE (B.Flash.Program (0xFFFFC, Programmed));
  test::TempFile File ("flash");
  B.Flash.Save (File.Path);
  std::vector<uint8_t> Saved = ReadWholeFile (File.Path);
  ASSERT_EQ (Saved.size (), BootFlash::kSize);
  EXPECT_TRUE (Saved == B.Flash.Image ());
  EXPECT_EQ (std::vector<uint8_t> (Saved.begin () + 0xFFFFC, Saved.begin () + 0x100004), Programmed);
  EXPECT_TRUE (std::equal (Saved.begin () + 0x1FF000, Saved.begin () + 0x201000, Loaded.begin () + 0x1FF000));
  EXPECT_EQ (Saved[0], 0xFF);   // page 0 is not on the board: erased as loaded
}

}  // namespace
}  // namespace vboard
