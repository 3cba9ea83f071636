#include "board/SpiNorFlash.h"

#include "host/Files.h"

#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>

namespace vboard {

namespace {
// Status-register bits a Write Status Register instruction can change:
// SR1 BP0-2, TB, SEC, SRP; SR2 SRL, QE, CMP; SR3 WPS, DRV0-1, HOLD/RST.
constexpr uint8_t kWritable[3] = {0xFC, 0x43, 0xE4};
}  // namespace

size_t SpiNorFlash::LockIndex (uint64_t Address) {
  uint64_t Block = (Address % kSize) / kBlockSize;
  uint64_t Sector = (Address / kSectorSize) % (kBlockSize / kSectorSize);
  constexpr uint64_t kTop = kSize / kBlockSize - 1;
  if (Block == 0) return Sector;
  if (Block == kTop) return 16 + (kTop - 1) + Sector;
  return 16 + (Block - 1);
}

bool SpiNorFlash::StatusWritable () const {
  if ((mSr[1] & kSr2Srl) != 0) return false;
  bool PinProtects = (mSr[1] & kSr2Qe) == 0 && WriteProtectPinLow;
  return !((mSr[0] & kSr1Srp) != 0 && PinProtects);
}

void SpiNorFlash::PowerOn () {
  mLocks.fill (true);
  mSr[1] &= static_cast<uint8_t> (~kSr2Srl);
  mWel = false;
  mBusyUntil = 0;
  mOnDone = nullptr;
}

void SpiNorFlash::Settle () {
  if (mOnDone && mNow () >= mBusyUntil) {
    auto Done = std::move (mOnDone);
    mOnDone = nullptr;
    Done ();
  }
}

void SpiNorFlash::StartBusy (uint64_t Ns, std::function<void ()> Done) {
  uint64_t Now = mNow ();
  mBusyUntil = Ns > std::numeric_limits<uint64_t>::max () - Now ? std::numeric_limits<uint64_t>::max () : Now + Ns;
  mOnDone = std::move (Done);
}

bool SpiNorFlash::Busy () {
  Settle ();
  return mOnDone != nullptr;
}

uint8_t SpiNorFlash::Status (int Register) {
  bool IsBusy = Busy ();
  if (Register == 1) {
    return static_cast<uint8_t> ((mSr[0] & ~(kSr1Busy | kSr1Wel)) | (IsBusy ? kSr1Busy : 0) | (mWel ? kSr1Wel : 0));
  }
  return mSr[Register == 2 ? 1 : 2];
}

bool SpiNorFlash::AnyProtected (uint64_t Address, uint64_t Size) const {
  for (uint64_t A = Address & ~(kSectorSize - 1); A < Address + Size; A += kSectorSize) {
    if (Protected (A)) return true;
  }
  return false;
}

void SpiNorFlash::ProgramCells (uint64_t Address, const uint8_t *Data, size_t Size) {
  for (size_t I = 0; I < Size; I++) {
    uint64_t A = Address + I;
    if (A < kMappedFrom || A >= kSize) continue;
    uint8_t Cell = mMachine.Load<uint8_t> (A);
    mMachine.Store<uint8_t> (A, Cell & Data[I]);   // programming only clears bits
  }
}

void SpiNorFlash::EraseCells (uint64_t Address, uint64_t Size) {
  uint64_t From = Address < kMappedFrom ? kMappedFrom : Address;
  if (From >= Address + Size) return;
  std::vector<uint8_t> Erased (Address + Size - From, 0xFF);
  mMachine.Write (From, Erased.data (), Erased.size ());
}

std::vector<uint8_t> SpiNorFlash::Execute (uint8_t Opcode, std::optional<uint32_t> Address,
                                           const std::vector<uint8_t> &Out, size_t InBytes) {
  std::vector<uint8_t> In (InBytes, 0xFF);
  Instruction Record{Opcode, Address, Out, false, mNow ()};
  bool IsBusy = Busy ();
  auto NeedsWel = [&] { return !mWel || IsBusy; };

  switch (Opcode) {
    case 0x05: case 0x35: case 0x15: {
      // Status reads work while busy; a longer read repeats the register.
      uint8_t Value = Status (Opcode == 0x05 ? 1 : Opcode == 0x35 ? 2 : 3);
      In.assign (InBytes, Value);
      break;
    }
    case 0x9F:
      if (IsBusy) { Record.Ignored = true; break; }
      for (size_t I = 0; I < InBytes && I < 3; I++) In[I] = static_cast<uint8_t> (JedecId >> (8 * I));
      break;
    case 0x06:
      if (IsBusy || IgnoreWriteEnable) { Record.Ignored = true; break; }
      mWel = true;
      break;
    case 0x04:
      if (IsBusy) { Record.Ignored = true; break; }
      mWel = false;
      break;
    case 0x01: case 0x31: case 0x11: {
      if (NeedsWel () || Out.empty () || !StatusWritable ()) { Record.Ignored = true; break; }
      int Index = Opcode == 0x01 ? 0 : Opcode == 0x31 ? 1 : 2;
      uint8_t Value = static_cast<uint8_t> ((mSr[Index] & ~kWritable[Index]) | (Out[0] & kWritable[Index]));
      // The new value is in force once the non-volatile write completes.
      StartBusy (StatusWriteNs, [this, Index, Value] {
        mSr[Index] = Value;
        mWel = false;
      });
      break;
    }
    case 0x36: case 0x39:
      if (NeedsWel () || !Address) { Record.Ignored = true; break; }
      mLocks[LockIndex (*Address)] = Opcode == 0x36;   // WEL stays set
      break;
    case 0x7E: case 0x98:
      if (NeedsWel ()) { Record.Ignored = true; break; }
      mLocks.fill (Opcode == 0x7E);
      break;
    case 0x3D:
      if (IsBusy || !Address) { Record.Ignored = true; break; }
      In.assign (InBytes, Locked (*Address) ? 1 : 0);
      break;
    case 0x02: {
      if (NeedsWel () || !Address) { Record.Ignored = true; break; }
      // A page program wraps within its 256-byte page.
      uint64_t Page = *Address & ~(kPageSize - 1);
      if (AnyProtected (Page, kPageSize)) { Record.Ignored = true; break; }
      for (size_t I = 0; I < Out.size (); I++) {
        uint64_t A = Page + ((*Address + I) & (kPageSize - 1));
        ProgramCells (A, &Out[I], 1);
      }
      StartBusy (kPageProgramNs, [this] { mWel = false; });
      break;
    }
    case 0x20: case 0xD8: {
      if (NeedsWel () || !Address) { Record.Ignored = true; break; }
      uint64_t Unit = Opcode == 0x20 ? kSectorSize : kBlockSize;
      uint64_t Base = *Address & ~(Unit - 1) & (kSize - 1);
      if (AnyProtected (Base, Unit)) { Record.Ignored = true; break; }
      EraseCells (Base, Unit);
      StartBusy (Opcode == 0x20 ? kSectorEraseNs : kBlockEraseNs, [this] { mWel = false; });
      break;
    }
    default:
      Record.Ignored = true;   // not an instruction this part knows
      break;
  }
  Instructions.push_back (std::move (Record));
  return In;
}

bool SpiNorFlash::ProgramRange (uint64_t Address, const std::vector<uint8_t> &Data) {
  if (Busy ()) mWait (mBusyUntil - mNow ());
  Settle ();
  bool AllDone = true;
  size_t Done = 0;
  while (Done < Data.size ()) {
    uint64_t A = Address + Done;
    size_t Chunk = static_cast<size_t> (std::min<uint64_t> (kPageSize - (A & (kPageSize - 1)), Data.size () - Done));
    if (AnyProtected (A, Chunk)) {
      AllDone = false;
    } else {
      ProgramCells (A, Data.data () + Done, Chunk);
    }
    Done += Chunk;
  }
  return AllDone;
}

bool SpiNorFlash::EraseBlock (uint64_t Address) {
  if (Busy ()) mWait (mBusyUntil - mNow ());
  Settle ();
  uint64_t Block = Address & ~(kBlockSize - 1);
  if (AnyProtected (Block, kBlockSize)) return false;
  EraseCells (Block, kBlockSize);
  return true;
}

void SpiNorFlash::SaveState (const std::string &Path) const {
  char Text[64];
  std::snprintf (Text, sizeof (Text), "sr1=0x%02x\nsr2=0x%02x\nsr3=0x%02x\n", mSr[0], mSr[1], mSr[2]);
  WriteWholeFile (Path, std::string (Text));
}

bool SpiNorFlash::LoadStateIfPresent (const std::string &Path) {
  std::ifstream In (Path);
  if (!In) return false;
  std::array<uint8_t, 3> Sr = mSr;
  std::array<bool, 3> Seen{};
  std::string Line;
  while (std::getline (In, Line)) {
    unsigned Index = 0, Value = 0;
    if (Line.empty ()) continue;
    if (std::sscanf (Line.c_str (), "sr%u=0x%x", &Index, &Value) != 2 || Index < 1 || Index > 3 || Value > 0xFF) {
      throw std::runtime_error ("bad line in the flash status file " + Path + ": " + Line);
    }
    Sr[Index - 1] = static_cast<uint8_t> (Value);
    Seen[Index - 1] = true;
  }
  if (!Seen[0] || !Seen[1] || !Seen[2]) throw std::runtime_error ("the flash status file " + Path + " lacks a register");
  mSr = Sr;
  mSr[0] &= static_cast<uint8_t> (~(kSr1Busy | kSr1Wel));   // volatile bits
  mSr[1] &= static_cast<uint8_t> (~kSr2Srl);                // cleared by the power cycle
  return true;
}

}  // namespace vboard
