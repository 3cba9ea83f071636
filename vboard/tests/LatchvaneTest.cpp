// Latchvane on the virtual board: the W25Q part behind the NOR flash
// controller, read back through the controller as a flash tool would, across
// ReadyToBoot signals and power cycles, and with parts that misbehave.
#include "board/FirmwareIdBlock.h"
#include "tests/EventLogSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include <unistd.h>

namespace vboard {
namespace {

using namespace platform;

constexpr uint64_t kProtectedFrom = 0x500000, kProtectedTo = 0x910000;

bool InVolumes (uint64_t A) { return A >= kProtectedFrom && A < kProtectedTo; }

// Every lock unit of the part: the 16 sectors of the bottom and the top
// block, one address per block in between.
std::vector<uint64_t> LockUnits () {
  std::vector<uint64_t> Units;
  for (uint64_t Block = 0; Block < 0x1000000; Block += 0x10000) {
    if (Block == 0 || Block == 0xFF0000) {
      for (uint64_t S = Block; S < Block + 0x10000; S += 0x1000) Units.push_back (S);
    } else {
      Units.push_back (Block);
    }
  }
  return Units;
}

// Read Block Lock (3Dh) through the controller's registers.
bool ReadLock (Board &B, uint64_t Address) {
  B.NorController.Write (NorFlashController::kAddrCmd, 4, 0x00003D44);
  B.NorController.Write (NorFlashController::kAddr, 4, Address);
  return (B.NorController.Read (NorFlashController::kDataLo, 4) & 1) != 0;
}

struct TempFlash {
  std::string Path = (std::filesystem::temp_directory_path () / ("latchvane-" + std::to_string (::getpid ()) + ".bin")).string ();
  ~TempFlash () {
    std::remove (Path.c_str ());
    std::remove (SpiNorFlash::StatePath (Path).c_str ());
  }
};

// The controller's register accesses as the operations they make up, each
// exactly as the driver must send it: "I" JEDEC ID, "1"/"3" status reads,
// "E"/"D" Write Enable/Disable each followed by its status read, "W<hex>"
// Write Status Register-3 (data-high 0, then the value), "U<hex>" an
// Individual Block/Sector Unlock. Repeated polls collapse into one token.
// Any other access fails the test.
std::string Operations (const Board &B, size_t From = 0) {
  using Nor = NorFlashController;
  const auto &A = B.NorController.Accesses;
  auto Is = [&] (size_t I, bool Write, uint64_t Offset, std::optional<uint32_t> Value = {}) {
    return I < A.size () && A[I].Write == Write && A[I].Offset == Offset && (!Value || A[I].Value == *Value);
  };
  std::vector<std::string> Ops;
  auto Push = [&] (const std::string &Op) {
    // A poll repeats {command, status read}: keep one.
    if (Op == "1" && !Ops.empty () && (Ops.back () == "E" || Ops.back () == "D" || Ops.back () == "1")) return;
    Ops.push_back (Op);
  };
  char Hex[16];
  for (size_t I = From; I < A.size ();) {
    if (Is (I, true, Nor::kCmd, 0x9F000020) && Is (I + 1, false, Nor::kDataLo)) {
      Push ("I"), I += 2;
    } else if (Is (I, true, Nor::kCmd, 0x00000501) && Is (I + 1, false, Nor::kDataLo)) {
      Push ("1"), I += 2;
    } else if (Is (I, true, Nor::kCmd, 0x00001501) && Is (I + 1, false, Nor::kDataLo)) {
      Push ("3"), I += 2;
    } else if ((Is (I, true, Nor::kCmd, 0x00000600) || Is (I, true, Nor::kCmd, 0x00000400)) && Is (I + 1, true, Nor::kDataLo, 1)) {
      std::string Op = A[I].Value == 0x00000600 ? "E" : "D";
      if (Ops.empty () || Ops.back () != Op) Ops.push_back (Op);
      I += 2;
    } else if (Is (I, true, Nor::kCmd, 0x00001101) && Is (I + 1, true, Nor::kDataHi, 0) && Is (I + 2, true, Nor::kDataLo)) {
      std::snprintf (Hex, sizeof (Hex), "W%x", A[I + 2].Value);
      Push (Hex), I += 3;
    } else if (Is (I, true, Nor::kAddrCmd, 0x00003944) && Is (I + 1, true, Nor::kAddr) && Is (I + 2, true, Nor::kDataLo, 1)) {
      std::snprintf (Hex, sizeof (Hex), "U%x", A[I + 1].Value);
      Push (Hex), I += 3;
    } else {
      ADD_FAILURE () << "access " << I << " (" << (A[I].Write ? "write of 0x" : "read of 0x") << std::hex << A[I].Value
                     << " at +0x" << A[I].Offset << ") is not part of a command the driver sends";
      return "";
    }
  }
  std::string Text;
  for (const std::string &Op : Ops) Text += (Text.empty () ? "" : " ") + Op;
  return Text;
}

// The unlock pass over everything outside the volumes, as Operations shows it.
std::string UnlockPass () {
  std::string Text;
  char Op[16];
  for (uint64_t A : LockUnits ()) {
    if (A >= kProtectedFrom && A < kProtectedTo) continue;
    std::snprintf (Op, sizeof (Op), " E U%llx D", static_cast<unsigned long long> (A));
    Text += Op;
  }
  return Text;
}

size_t CountOpcode (const Board &B, uint8_t Opcode) {
  size_t N = 0;
  for (const auto &I : B.NorFlash.Instructions) N += I.Opcode == Opcode && !I.Ignored;
  return N;
}

class LatchvaneTest : public ::testing::Test {
 protected:
  Board B;
  uint64_t Boot (Board &On, unsigned ReadyToBoot = 1) {
    auto R = On.DefaultBoot ({test::ModuleImage ("Latchvane")}, ReadyToBoot);
    EXPECT_FALSE (On.M.Faulted ()) << On.FaultReport ();
    return R.empty () ? ~0ULL : R[0].Status;
  }
  void ExpectVolumesLocked (Board &On) {
    for (uint64_t A : LockUnits ()) {
      EXPECT_EQ (ReadLock (On, A), InVolumes (A)) << std::hex << "lock unit at 0x" << A;
    }
  }
};

TEST_F (LatchvaneTest, DefaultBootLocksTheVolumesAndTheNextPowerOnKeepsWps) {
  // The entry point runs the pass (ReadyToBoot repeats it; see below).
  ASSERT_EQ (B.Run (test::ModuleImage ("Latchvane")), efi::Success);
  ASSERT_FALSE (B.M.Faulted ()) << B.FaultReport ();

  // Every command word and data value on the controller, in order: the ID,
  // Status Register-3 twice, WEL set, the status write, the BUSY poll, the
  // read-back, and each unlock between its Write Enable and Write Disable.
  EXPECT_EQ (Operations (B), "I 3 3 E W64 1 3" + UnlockPass ());

  // Status Register-3 went from its factory 0x60 to 0x64 with one write.
  EXPECT_EQ (B.NorFlash.Status (3), 0x64);
  EXPECT_EQ (CountOpcode (B, 0x11), 1u);
  ExpectVolumesLocked (B);

  // 221 unlocks, each inside its own Write Enable / Write Disable pair, the
  // bottom and top blocks by sector, in ascending order.
  std::vector<uint32_t> Unlocked;
  uint8_t Last = 0;
  bool Enabled = false;
  for (const auto &I : B.NorFlash.Instructions) {
    if (I.Opcode == 0x05 || I.Opcode == 0x15 || I.Opcode == 0x3D) continue;
    if (I.Opcode == 0x39) {
      EXPECT_TRUE (Enabled && Last == 0x06) << "unlock without its own Write Enable";
      Unlocked.push_back (*I.Address);
      Enabled = false;
    } else if (I.Opcode == 0x04 && Last == 0x39) {
      Enabled = false;
    } else if (I.Opcode == 0x06) {
      Enabled = true;
    }
    if (I.Opcode != 0x06 || Last != 0x06) Last = I.Opcode;   // repeated Write Enables collapse
  }
  ASSERT_EQ (Unlocked.size (), 221u);
  std::vector<uint32_t> Expected;
  for (uint64_t A : LockUnits ()) {
    if (!InVolumes (A)) Expected.push_back (static_cast<uint32_t> (A));
  }
  EXPECT_EQ (Unlocked, Expected);
  EXPECT_EQ (B.Uart0.Text (),
             "FvSectionProtect(" + std::to_string (test::LineOf ("Flash/Latchvane/Latchvane.cpp", "mNorFlashControlBase = %lx")) +
                 ") mNorFlashControlBase = 1A100000\r\n"
                 "FvSectionProtect(" + std::to_string (test::LineOf ("Flash/Latchvane/Latchvane.cpp", "Reg = 0x%x")) +
                 ") Reg = 0x1840EF\r\n" +
                 [] {
                   std::string Gap = "FvSectionProtect(" +
                                     std::to_string (test::LineOf ("Flash/Latchvane/Latchvane.cpp", "W25QSectionProtect = %r")) +
                                     ")  W25QSectionProtect = Success\r\n";
                   return Gap + Gap + Gap;
                 }() +
                 "FvProtectServiceEvent(" + std::to_string (test::LineOf ("Flash/Latchvane/Latchvane.cpp", "FvSectionProtect = %r")) +
                 ") FvSectionProtect = Success\r\n");

  // ReadyToBoot runs the pass again: the unlocks only.
  size_t FirstPass = B.NorController.Accesses.size ();
  B.SignalReadyToBoot ();
  ASSERT_FALSE (B.M.Faulted ()) << B.FaultReport ();
  EXPECT_EQ (Operations (B, FirstPass), "I 3" + UnlockPass ());
  EXPECT_EQ (CountOpcode (B, 0x11), 1u);
  EXPECT_EQ (CountOpcode (B, 0x39), 442u);
  ExpectVolumesLocked (B);

  // Next power-on from the same flash file: WPS is kept, every lock is set
  // again until Latchvane runs, and no status write is sent.
  TempFlash File;
  B.Flash.Save (File.Path);
  Board Next;
  ASSERT_TRUE (Next.Flash.LoadIfPresent (File.Path));
  EXPECT_EQ (Next.NorFlash.Status (3), 0x64);
  for (uint64_t A : LockUnits ()) ASSERT_TRUE (ReadLock (Next, A)) << std::hex << A;
  Next.NorFlash.Instructions.clear ();
  EXPECT_EQ (Boot (Next), efi::Success);
  EXPECT_EQ (CountOpcode (Next, 0x11), 0u);
  EXPECT_EQ (CountOpcode (Next, 0x39), 442u);
  EXPECT_NE (Next.Uart0.Text ().find ("Reg = 0x1840EF\r\nFlash has been write protection status.\r\nFvSectionProtect("),
             std::string::npos);
  ExpectVolumesLocked (Next);
}

TEST_F (LatchvaneTest, WrongPartGetsOnlyTheIdCommand) {
  // Each byte of the ID wrong in turn, and no part at all (bus reads 0).
  for (uint32_t Id : {0x001940EFu, 0x001841EFu, 0x001840C2u, 0u}) {
    Board W;
    W.NorFlash.JedecId = Id;
    EXPECT_EQ (Boot (W), efi::Success);
    std::vector<NorFlashController::Access> Writes;
    for (const auto &A : W.NorController.Accesses) {
      if (A.Write) Writes.push_back (A);
    }
    // One ID command per pass (at dispatch and at ReadyToBoot), nothing else.
    ASSERT_EQ (Writes.size (), 2u) << std::hex << Id;
    for (const auto &W : Writes) {
      EXPECT_EQ (W.Offset, NorFlashController::kCmd);
      EXPECT_EQ (W.Value, 0x9F000020u);
    }
    EXPECT_NE (W.Uart0.Text ().find (") FvSectionProtect = Unsupported\r\n"), std::string::npos);
    EXPECT_EQ (W.NorFlash.Status (3), 0x60);
  }
}

TEST_F (LatchvaneTest, SecondReadyToBootRepeatsTheUnlocksOnly) {
  EXPECT_EQ (Boot (B, 2), efi::Success);
  EXPECT_EQ (CountOpcode (B, 0x11), 1u);
  EXPECT_EQ (CountOpcode (B, 0x39), 663u);   // entry and two ReadyToBoot passes
  EXPECT_NE (B.Uart0.Text ().find ("Flash has been write protection status.\r\n"), std::string::npos);
  ExpectVolumesLocked (B);
}

TEST_F (LatchvaneTest, PartThatNeverSetsWelTimesOutAndStaysProtected) {
  B.NorFlash.IgnoreWriteEnable = true;
  uint64_t Start = B.Fw.NowNs ();
  EXPECT_EQ (Boot (B), efi::Success);
  uint64_t Spent = B.Fw.NowNs () - Start;
  // One bounded wait for WEL in each pass (at dispatch and at ReadyToBoot);
  // the Write Disable that follows is answered.
  EXPECT_GE (Spent, 200000000u);
  EXPECT_LT (Spent, 300000000u);
  EXPECT_EQ (CountOpcode (B, 0x11), 0u);
  EXPECT_EQ (CountOpcode (B, 0x39), 0u);
  EXPECT_EQ (B.NorFlash.Status (3), 0x60);
  EXPECT_NE (B.Uart0.Text ().find ("NorPollStatus1: timed out waiting for WEL set, Status Register-1 = 0x0\r\n"),
             std::string::npos);
  EXPECT_NE (B.Uart0.Text ().find (") FvSectionProtect = Time out\r\n"), std::string::npos);

  // With WPS already set, the same part leaves every block locked.
  Board Set;
  TempFlash File;
  {
    Board First;
    Boot (First);
    First.Flash.Save (File.Path);
  }
  ASSERT_TRUE (Set.Flash.LoadIfPresent (File.Path));
  Set.NorFlash.IgnoreWriteEnable = true;
  Boot (Set);
  for (uint64_t A : LockUnits ()) ASSERT_TRUE (ReadLock (Set, A)) << std::hex << A;
  EXPECT_EQ (CountOpcode (Set, 0x39), 0u);
}

TEST_F (LatchvaneTest, PartThatStaysBusyTimesOutWithoutUnlocking) {
  B.NorFlash.StatusWriteNs = 10ULL * 1000000000;   // far beyond any W25Q
  EXPECT_EQ (Boot (B), efi::Success);
  EXPECT_NE (B.Uart0.Text ().find ("timed out waiting for BUSY clear, Status Register-1 = 0x3\r\n"), std::string::npos);
  EXPECT_NE (B.Uart0.Text ().find (") FvSectionProtect = Time out\r\n"), std::string::npos);
  EXPECT_EQ (CountOpcode (B, 0x39), 0u);
  EXPECT_LT (B.Fw.NowNs (), 200000000u) << "one bounded wait";
  // Once the write completes, WPS is in force and nothing was unlocked.
  B.Fw.PassTime (10ULL * 1000000000);
  EXPECT_EQ (B.NorFlash.Status (3), 0x64);
  for (uint64_t A : LockUnits ()) ASSERT_TRUE (B.NorFlash.Protected (A)) << std::hex << A;
}

TEST_F (LatchvaneTest, PartWithLockedStatusRegistersIsReportedNotProtected) {
  // WPS clear and the status registers locked, so the write that would set
  // WPS is ignored by the part: by SRP with /WP held low, or by a lock-down
  // (SRL) that earlier firmware set in this power cycle.
  struct Case {
    const char *What;
    std::function<void (Board &)> Lock;
  } Cases[] = {
      {"SRP with /WP low",
       [] (Board &W) {
         W.NorFlash.SetNonVolatileStatus ({SpiNorFlash::kSr1Srp, 0, SpiNorFlash::kFactorySr3});
         W.NorFlash.WriteProtectPinLow = true;
       }},
      {"SRL lock-down",
       [] (Board &W) {
         W.NorController.Write (NorFlashController::kCmd, 4, 0x00000600);
         W.NorController.Write (NorFlashController::kDataLo, 4, 1);
         W.NorController.Write (NorFlashController::kCmd, 4, 0x00003101);
         W.NorController.Write (NorFlashController::kDataLo, 4, SpiNorFlash::kSr2Srl);
         W.Fw.PassTime (2 * SpiNorFlash::kStatusWriteNs);
         W.NorController.Accesses.clear ();
         W.NorFlash.Instructions.clear ();
       }},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE (C.What);
    Board W;
    C.Lock (W);
    EXPECT_EQ (Boot (W), efi::Success);
    EXPECT_EQ (W.NorFlash.Status (3), 0x60) << "the part took the status write";
    // Each pass (dispatch, ReadyToBoot) tries once, finds WPS still clear,
    // clears WEL again, unlocks nothing and says the volumes are unprotected.
    std::string Pass = "I 3 3 E W64 1 3 D";
    EXPECT_EQ (Operations (W), Pass + " " + Pass);
    EXPECT_EQ (W.NorFlash.Status (1) & SpiNorFlash::kSr1Wel, 0);
    EXPECT_EQ (CountOpcode (W, 0x39), 0u);
    for (uint64_t A : LockUnits ()) ASSERT_FALSE (W.NorFlash.Protected (A)) << std::hex << A;
    std::string Uart = W.Uart0.Text ();
    EXPECT_NE (Uart.find ("FvSectionProtect: the part did not take WPS (Status Register-3 = 0x60, status registers "
                          "locked?): the firmware volumes are not write-protected\r\n"),
               std::string::npos)
        << Uart;
    EXPECT_NE (Uart.find (") FvSectionProtect = Device Error\r\n"), std::string::npos) << Uart;
    EXPECT_EQ (Uart.find ("W25QSectionProtect"), std::string::npos) << Uart;
  }
}

TEST_F (LatchvaneTest, LockedBlocksRefuseProgramAndEraseThroughEveryPath) {
  Boot (B);
  // Through the controller: a page program and erases in the volume change
  // nothing; in an erased unprotected block they work.
  auto Command = [this] (uint32_t Word, uint64_t Address, uint32_t Data) {
    B.NorController.Write (NorFlashController::kCmd, 4, 0x00000600);
    B.NorController.Write (NorFlashController::kDataLo, 4, 1);
    B.NorController.Write (NorFlashController::kAddrCmd, 4, Word);
    B.NorController.Write (NorFlashController::kAddr, 4, Address);
    B.NorController.Write (NorFlashController::kDataLo, 4, Data);
    B.Fw.PassTime (200000000);   // longer than any erase
  };
  auto Volume = B.Flash.Read (kDefaultFirmwareIdAddress, 0x1000);
  Command (0x00000244, kDefaultFirmwareIdAddress, 0);
  Command (0x00002044, kDefaultFirmwareIdAddress, 1);
  Command (0x0000D844, kDefaultFirmwareIdAddress, 1);
  EXPECT_EQ (B.Flash.Read (kDefaultFirmwareIdAddress, 0x1000), Volume);
  Command (0x00000244, 0x9A0000, 0x11223344);
  EXPECT_EQ (B.Flash.Read (0x9A0000, 4), (std::vector<uint8_t>{0x44, 0x33, 0x22, 0x11}));
  Command (0x00002044, 0x9A0000, 1);
  EXPECT_EQ (B.Flash.Read (0x9A0000, 4), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST_F (LatchvaneTest, AfterAPowerCycleTheEventLogIsWritableFromDispatchOn) {
  // With WPS set from an earlier boot the part powers up fully locked: an
  // event-log write before Latchvane runs is refused; once it is dispatched
  // (long before ReadyToBoot) the same write goes through.
  ASSERT_EQ (Boot (B), efi::Success);
  TempFlash File;
  B.Flash.Save (File.Path);
  Board Next;
  ASSERT_TRUE (Next.Flash.LoadIfPresent (File.Path));
  test::EventLogClient Log (Next);
  ASSERT_EQ (Log.Start (), efi::Success);
  EXPECT_EQ (Log.WriteData (0x0B, {}), efi::WriteProtected);
  ASSERT_EQ (Next.Run (test::ModuleImage ("Latchvane")), efi::Success);
  EXPECT_EQ (Log.WriteData (0x0B, {}), efi::Success);
  EXPECT_EQ (Next.Flash.Read (test::kGpnvBase, 2), (std::vector<uint8_t>{0x0B, 8}));
  ExpectVolumesLocked (Next);
}

TEST_F (LatchvaneTest, EventLogStaysWritableAndTheVolumesRefuseTheFlashProtocol) {
  test::EventLogClient Log (B);
  ASSERT_EQ (Log.Start (), efi::Success);
  ASSERT_EQ (B.Run (test::ModuleImage ("Latchvane")), efi::Success);
  B.SignalReadyToBoot ();
  ASSERT_FALSE (B.M.Faulted ()) << B.FaultReport ();

  EXPECT_EQ (Log.WriteData (0x10, {1, 2, 3, 4}), efi::Success);
  EXPECT_EQ (B.Flash.Read (test::kGpnvBase, 2), (std::vector<uint8_t>{0x10, 12}));

  // The flash-access protocol's Write (slot 6) and Erase (slot 4) into each
  // protected volume fail and leave the bytes alone.
  uint64_t Protocol = B.Fw.FindProtocol (kFlashAccessProtocol).value ();
  uint64_t Zeros = B.Fw.HostCopy (std::vector<uint8_t> (64, 0).data (), 64);
  for (uint64_t A : {kProtectedFrom, kDefaultFirmwareIdAddress, uint64_t{0x650000}, kProtectedTo - 64}) {
    auto Before = B.Flash.Read (A & ~0xFFFFULL, 0x10000);
    EXPECT_EQ (B.Fw.CallGuest (B.M.Load<uint64_t> (Protocol + 6 * 8), {A, Zeros, 64}), efi::WriteProtected);
    EXPECT_EQ (B.Fw.CallGuest (B.M.Load<uint64_t> (Protocol + 4 * 8), {A}), efi::WriteProtected);
    EXPECT_EQ (B.Flash.Read (A & ~0xFFFFULL, 0x10000), Before) << std::hex << A;
  }
  // Just outside the volumes the same calls succeed.
  EXPECT_EQ (B.Fw.CallGuest (B.M.Load<uint64_t> (Protocol + 6 * 8), {kProtectedTo, Zeros, 64}), efi::Success);
  EXPECT_EQ (B.Fw.CallGuest (B.M.Load<uint64_t> (Protocol + 6 * 8), {kProtectedFrom - 64, Zeros, 64}), efi::Success);
}

}  // namespace
}  // namespace vboard
