#include "board/NorFlashController.h"

#include <cstdio>

namespace vboard {

namespace {
constexpr NorFlashController::Command kCommands[] = {
    {0x9F000020, false, 3, 0},   // Read JEDEC ID
    {0x00000501, false, 1, 0},   // Read Status Register-1
    {0x00003501, false, 1, 0},   // Read Status Register-2
    {0x00001501, false, 1, 0},   // Read Status Register-3
    {0x00000101, false, 0, 1},   // Write Status Register-1
    {0x00003101, false, 0, 1},   // Write Status Register-2
    {0x00001101, false, 0, 1},   // Write Status Register-3
    {0x00000600, false, 0, 0},   // Write Enable
    {0x00000400, false, 0, 0},   // Write Disable
    {0x00007E00, false, 0, 0},   // Global Block Lock
    {0x00009800, false, 0, 0},   // Global Block Unlock
    {0x00000244, true, 0, 4},    // Page Program
    {0x00002044, true, 0, 0},    // Sector Erase
    {0x0000D844, true, 0, 0},    // Block Erase
    {0x00003644, true, 0, 0},    // Individual Block/Sector Lock
    {0x00003944, true, 0, 0},    // Individual Block/Sector Unlock
    {0x00003D44, true, 1, 0},    // Read Block Lock
};

std::string Hex (uint64_t V) {
  char Buf[24];
  std::snprintf (Buf, sizeof (Buf), "0x%llx", static_cast<unsigned long long> (V));
  return Buf;
}

std::string RegisterName (uint64_t Offset) {
  switch (Offset) {
    case NorFlashController::kCmd: return "NOR_CMD_REG";
    case NorFlashController::kDataHi: return "NOR_DATA_HI_REG";
    case NorFlashController::kDataLo: return "NOR_DATA_LO_REG";
    case NorFlashController::kAddrCmd: return "NOR_ADDR_CMD_REG";
    case NorFlashController::kAddr: return "NOR_ADDR_REG";
    default: return "+" + Hex (Offset);
  }
}
}  // namespace

const NorFlashController::Command *NorFlashController::Find (uint32_t Word) {
  for (const Command &C : kCommands) {
    if (C.Word == Word) return &C;
  }
  return nullptr;
}

void NorFlashController::Report (const std::string &What) {
  std::string Text = "NOR flash controller at " + Hex (kBase) + ": " + What;
  Misuses.push_back (Text);
  if (OnMisuse) OnMisuse (Text);
}

bool NorFlashController::Written () const {
  for (const Access &A : Accesses) {
    if (A.Write) return true;
  }
  return false;
}

uint32_t NorFlashController::Transfer (const Command &C, bool ReadStart, uint32_t Value) {
  std::optional<uint32_t> Address;
  if (C.Addressed) Address = mAddr;
  std::vector<uint8_t> Out;
  for (size_t I = 0; !ReadStart && I < C.WriteBytes; I++) Out.push_back (static_cast<uint8_t> (Value >> (8 * I)));
  std::vector<uint8_t> In = mPart.Execute (OpcodeOf (C.Word), Address, Out, ReadStart ? C.ReadBytes : 0);
  mPassTime (kSetupNs + kBitNs * 8 * (1 + (Address ? 3 : 0) + Out.size () + In.size ()));
  uint32_t Response = 0;
  for (size_t I = 0; I < In.size () && I < 4; I++) Response |= static_cast<uint32_t> (In[I]) << (8 * I);
  return Response;
}

uint64_t NorFlashController::Read (uint64_t Offset, unsigned Size) {
  if (Size != 4 || (Offset & 3) != 0) {
    Report (std::to_string (Size) + "-byte read at +" + Hex (Offset) + " (the registers are read as 32-bit words)");
    return 0;
  }
  uint32_t Value = 0;
  switch (Offset) {
    case kCmd: Value = mCmd; break;
    case kDataHi: Value = mDataHi; break;
    case kAddrCmd: Value = mAddrCmd; break;
    case kAddr: Value = mAddr; break;
    case kDataLo: {
      // A read instruction runs when its response is read; otherwise the
      // register still holds the last response.
      const Command *C = Find (mAddressed ? mAddrCmd : mCmd);
      if (C != nullptr && C->ReadBytes != 0) mResponse = Transfer (*C, true, 0);
      Value = mResponse;
      break;
    }
    default:
      Report ("read of +" + Hex (Offset) + ", which is not a register of the controller");
      return 0;
  }
  Accesses.push_back ({false, Offset, Value});
  return Value;
}

void NorFlashController::Write (uint64_t Offset, unsigned Size, uint64_t Value) {
  if (Size != 4 || (Offset & 3) != 0) {
    Report (std::to_string (Size) + "-byte write of " + Hex (Value) + " at +" + Hex (Offset) +
            " (the registers are written as 32-bit words)");
    return;
  }
  uint32_t V = static_cast<uint32_t> (Value);
  switch (Offset) {
    case kCmd:
    case kAddrCmd: {
      const Command *C = Find (V);
      bool Addressed = Offset == kAddrCmd;
      if (C == nullptr || C->Addressed != Addressed) {
        Report ("command word " + Hex (V) + " written to " + RegisterName (Offset) + " is not " +
                (Addressed ? "an addressed" : "an unaddressed") + " command the controller runs");
        return;
      }
      (Addressed ? mAddrCmd : mCmd) = V;
      mAddressed = Addressed;
      break;
    }
    case kDataHi: mDataHi = V; break;
    case kAddr:
      if (V > 0xFFFFFF) {
        Report ("flash address " + Hex (V) + " written to NOR_ADDR_REG does not fit the 3-byte address phase");
        return;
      }
      mAddr = V;
      break;
    case kDataLo: {
      uint32_t Word = mAddressed ? mAddrCmd : mCmd;
      const Command *C = Find (Word);
      if (C == nullptr) {
        Report ("NOR_DATA_LO_REG written with no command word loaded");
        return;
      }
      if (C->ReadBytes != 0) {
        Report ("NOR_DATA_LO_REG written for the read command " + Hex (Word) + " (a read starts when the register is read)");
        return;
      }
      if (mDataHi != 0) {
        Report ("transfer of command " + Hex (Word) + " started with NOR_DATA_HI_REG = " + Hex (mDataHi) +
                " (it must be 0: the instruction sends at most the 4 bytes of NOR_DATA_LO_REG)");
        return;
      }
      if (C->WriteBytes == 0 && V != 1) {
        Report ("transfer of command " + Hex (Word) + ", which has no data, started with " + Hex (V) + " instead of 1");
        return;
      }
      Accesses.push_back ({true, Offset, V});
      Transfer (*C, false, V);
      return;
    }
    default:
      Report ("write of " + Hex (V) + " to +" + Hex (Offset) + ", which is not a register of the controller");
      return;
  }
  Accesses.push_back ({true, Offset, V});
}

}  // namespace vboard
