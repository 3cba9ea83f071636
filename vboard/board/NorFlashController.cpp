#include "board/NorFlashController.h"

namespace vboard {

namespace {
size_t ReadBytesOf (uint8_t Opcode) {
  switch (Opcode) {
    case 0x9F: return 3;
    case 0x05: case 0x35: case 0x15: case 0x3D: return 1;
    default: return 0;
  }
}

size_t WriteBytesOf (uint8_t Opcode) {
  switch (Opcode) {
    case 0x01: case 0x31: case 0x11: return 1;
    case 0x02: return 4;
    default: return 0;
  }
}
}  // namespace

bool NorFlashController::Written () const {
  for (const Access &A : Accesses) {
    if (A.Write) return true;
  }
  return false;
}

uint32_t NorFlashController::Transfer (bool ReadStart, uint32_t Value) {
  uint8_t Opcode = OpcodeOf (mAddressed ? mAddrCmd : mCmd);
  std::optional<uint32_t> Address;
  if (mAddressed) Address = mAddr & 0xFFFFFF;
  std::vector<uint8_t> Out;
  if (!ReadStart) {
    for (size_t I = 0; I < WriteBytesOf (Opcode); I++) Out.push_back (static_cast<uint8_t> (Value >> (8 * I)));
  }
  size_t InBytes = ReadStart ? ReadBytesOf (Opcode) : 0;
  std::vector<uint8_t> In = mPart.Execute (Opcode, Address, Out, InBytes);
  mPassTime (kSetupNs + kBitNs * 8 * (1 + (Address ? 3 : 0) + Out.size () + In.size ()));
  uint32_t Response = 0;
  for (size_t I = 0; I < In.size () && I < 4; I++) Response |= static_cast<uint32_t> (In[I]) << (8 * I);
  return Response;
}

uint64_t NorFlashController::Read (uint64_t Offset, unsigned Size) {
  uint32_t Value = 0;
  switch (Offset) {
    case kCmd: Value = mCmd; break;
    case kDataHi: Value = mDataHi; break;
    case kAddrCmd: Value = mAddrCmd; break;
    case kAddr: Value = mAddr; break;
    case kDataLo:
      // A read instruction runs when its response is read; otherwise the
      // register still holds the last response.
      if (ReadBytesOf (OpcodeOf (mAddressed ? mAddrCmd : mCmd)) != 0) mResponse = Transfer (true, 0);
      Value = mResponse;
      break;
    default: break;
  }
  Accesses.push_back ({false, Offset, Value});
  return Value;
}

void NorFlashController::Write (uint64_t Offset, unsigned Size, uint64_t Value) {
  uint32_t V = static_cast<uint32_t> (Value);
  Accesses.push_back ({true, Offset, V});
  switch (Offset) {
    case kCmd: mCmd = V; mAddressed = false; break;
    case kDataHi: mDataHi = V; break;
    case kAddrCmd: mAddrCmd = V; mAddressed = true; break;
    case kAddr: mAddr = V; break;
    case kDataLo:
      if (ReadBytesOf (OpcodeOf (mAddressed ? mAddrCmd : mCmd)) == 0) Transfer (false, V);
      break;
    default: break;
  }
}

}  // namespace vboard
