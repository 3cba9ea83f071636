// The boot-flash part: a 16 MiB Winbond W25Q-family SPI NOR flash, behaving
// as its datasheet describes. Its array is the memory-mapped boot flash in
// guest memory; the NOR flash controller sends it instructions, and the
// flash-access protocol's program and erase go through the same protection.
//
// What is modelled:
//   9Fh Read JEDEC ID (settable, for a wrong or absent part)
//   05h/35h/15h Read Status Register-1/2/3
//   06h Write Enable, 04h Write Disable
//   01h/31h/11h Write Status Register-1/2/3 (non-volatile, busy for tW)
//   36h/39h Individual Block/Sector Lock/Unlock, 3Dh Read Block Lock,
//   7Eh/98h Global Block Lock/Unlock
//   02h Page Program (busy tPP), 20h Sector Erase (tSE), D8h Block Erase (tBE)
// Status Register-1 BUSY reads 1 until an operation's time has passed in
// simulated time; while busy the part ignores every instruction but the
// status reads. Status writes, program, erase and the lock instructions need
// WEL set. WEL is cleared by Write Disable, at power-on, and when a page
// program, an erase or a status-register write completes; the individual and
// global block lock and unlock instructions leave it set (the W25Q128JV
// datasheet lists the instructions that end in the write-disable state, and
// they are not among them).
//
// Status-register protection: SRP (Status Register-1 bit 7), SRL (Status
// Register-2 bit 0) and the /WP pin decide whether a Write Status Register
// instruction is accepted:
//   SRL = 1                    power-supply lock-down: every status write is
//                              refused until the next power-on, which clears
//                              SRL
//   SRL = 0, SRP = 1, /WP low  hardware protected: refused
//   otherwise                  accepted after Write Enable
// With QE (Status Register-2 bit 1) set the /WP pin is IO2 of the quad
// interface and does not protect. A refused write changes nothing and
// leaves WEL as it was.
//
// Protection: with Status Register-3 WPS = 1, each 64 KiB block has a lock
// bit, except the bottom and the top block, which have one per 4 KiB sector.
// The lock bits are volatile and all come up set at power-on (construction).
// A program or erase that touches a locked block or sector changes nothing.
// With WPS = 0 the lock bits exist but do not protect; the Status Register-1
// block-protect bits (BP, TB, SEC, CMP) are stored but not enforced.
//
// The status registers are non-volatile: SaveState/LoadState keep them in a
// small text file beside the flash image.
#pragma once

#include "cpu/Machine.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vboard {

class SpiNorFlash {
 public:
  static constexpr uint64_t kSize = 0x1000000;
  static constexpr uint64_t kBlockSize = 0x10000;
  static constexpr uint64_t kSectorSize = 0x1000;
  static constexpr uint64_t kPageSize = 0x100;
  static constexpr uint64_t kMappedFrom = 0x1000;    // page 0 of the array is not mapped: reads erased
  static constexpr uint8_t kSr1Busy = 0x01;
  static constexpr uint8_t kSr1Wel = 0x02;
  static constexpr uint8_t kSr3Wps = 0x04;
  static constexpr uint8_t kSr1Srp = 0x80;
  static constexpr uint8_t kSr2Srl = 0x01;
  static constexpr uint8_t kSr2Qe = 0x02;
  // Factory settings: nothing protected by BP bits, output drive 25%.
  static constexpr uint8_t kFactorySr1 = 0x00, kFactorySr2 = 0x00, kFactorySr3 = 0x60;
  // Typical times from the W25Q datasheet (tW, tPP, tSE, tBE1), in ns.
  static constexpr uint64_t kStatusWriteNs = 10000000;
  static constexpr uint64_t kPageProgramNs = 400000;
  static constexpr uint64_t kSectorEraseNs = 45000000;
  static constexpr uint64_t kBlockEraseNs = 150000000;

  // Now: simulated time in ns. Wait: lets simulated time pass (a host-side
  // flash driver waiting for BUSY).
  SpiNorFlash (Machine &M, std::function<uint64_t ()> Now, std::function<void (uint64_t)> Wait)
      : mMachine (M), mNow (std::move (Now)), mWait (std::move (Wait)) {
    PowerOn ();
  }

  // The three ID bytes, first byte lowest: manufacturer EFh, type 40h,
  // capacity 18h (128 Mbit).
  uint32_t JedecId = 0x1840EF;
  // Fault injection: Write Enable has no effect (WEL never sets); the next
  // status-register write stays busy this long instead of tW.
  bool IgnoreWriteEnable = false;
  uint64_t StatusWriteNs = kStatusWriteNs;
  // The /WP pin driven low by the board (boards usually pull it high).
  bool WriteProtectPinLow = false;
  // Whether a Write Status Register instruction would be accepted now (WEL
  // aside): SRP, SRL and the /WP pin as above.
  bool StatusWritable () const;

  // One instruction as the controller shifts it: opcode, address (for
  // addressed instructions), data bytes out to the part, and how many bytes
  // it reads back. Returns the bytes read (0xFF where the part drives
  // nothing, as while busy).
  std::vector<uint8_t> Execute (uint8_t Opcode, std::optional<uint32_t> Address, const std::vector<uint8_t> &Out,
                                size_t InBytes);

  struct Instruction {
    uint8_t Opcode;
    std::optional<uint32_t> Address;
    std::vector<uint8_t> Data;      // bytes sent to the part
    bool Ignored;                   // busy, WEL clear, protected, or unknown
    uint64_t TimeNs;
  };
  std::vector<Instruction> Instructions;   // every instruction received, in order

  // State, read without an instruction.
  uint8_t Status (int Register);           // 1, 2 or 3
  bool Busy ();
  bool Locked (uint64_t Address) const { return mLocks[LockIndex (Address)]; }
  bool Protected (uint64_t Address) const { return (mSr[2] & kSr3Wps) != 0 && Locked (Address); }

  // The flash-access protocol's operations, done as a host flash driver
  // does them (wait while busy, Write Enable, program page by page or erase,
  // wait): bytes in protected blocks or sectors are left as they are.
  // Return false when anything was refused for protection.
  bool ProgramRange (uint64_t Address, const std::vector<uint8_t> &Data);
  bool EraseBlock (uint64_t Address);

  // Power cycle: volatile state back to its power-on values (every lock bit
  // set, WEL clear, SRL clear, idle); the status registers keep their other
  // values.
  void PowerOn ();
  // The non-volatile status registers in a small text file. LoadStateIfPresent
  // leaves the factory values when the file is absent; both throw on a bad
  // file or an I/O error.
  void SaveState (const std::string &Path) const;
  // The same in memory, for a following boot on a new board.
  std::array<uint8_t, 3> NonVolatileStatus () const { return mSr; }
  void SetNonVolatileStatus (const std::array<uint8_t, 3> &Sr) {
    mSr = Sr;
    mSr[0] &= static_cast<uint8_t> (~(kSr1Busy | kSr1Wel));
    mSr[1] &= static_cast<uint8_t> (~kSr2Srl);   // a lock-down lasts until power-off
  }
  bool LoadStateIfPresent (const std::string &Path);
  static std::string StatePath (const std::string &ImagePath) { return ImagePath + ".status"; }

 private:
  static constexpr size_t kLockBits = 16 + (kSize / kBlockSize - 2) + 16;
  static size_t LockIndex (uint64_t Address);
  void Settle ();
  void StartBusy (uint64_t Ns, std::function<void ()> Done);
  bool AnyProtected (uint64_t Address, uint64_t Size) const;
  void ProgramCells (uint64_t Address, const uint8_t *Data, size_t Size);
  void EraseCells (uint64_t Address, uint64_t Size);

  Machine &mMachine;
  std::function<uint64_t ()> mNow;
  std::function<void (uint64_t)> mWait;
  std::array<uint8_t, 3> mSr{kFactorySr1, kFactorySr2, kFactorySr3};
  bool mWel = false;
  uint64_t mBusyUntil = 0;
  std::function<void ()> mOnDone;
  std::array<bool, kLockBits> mLocks{};
};

}  // namespace vboard
