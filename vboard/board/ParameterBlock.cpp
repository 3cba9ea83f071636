#include "board/ParameterBlock.h"

namespace vboard {

void ParameterBlock::Install (BootFlash &Flash) {
  if (mMachine.IsMapped (kPage)) {
    mMachine.Unmap (kPage, kPageSize);
  }
  mMachine.MapRam (kPage, kPageSize, false, false);
  Flash.Shadow (kPage, kPageSize);
  std::vector<uint8_t> Zero (kPageSize, 0);
  mMachine.Write (kPage, Zero.data (), Zero.size ());
}

void ParameterBlock::Set (uint32_t Signature, uint32_t Size, uint8_t SocketCount) {
  mMachine.Store<uint32_t> (kAddress, Signature);
  mMachine.Store<uint32_t> (kAddress + 4, 0);
  mMachine.Store<uint32_t> (kAddress + 8, Size);
  mMachine.Store<uint8_t> (kAddress + 12, SocketCount);
}

void ParameterBlock::SetBytes (uint64_t Offset, const std::vector<uint8_t> &Bytes) {
  mMachine.Write (kAddress + Offset, Bytes.data (), Bytes.size ());
}

}  // namespace vboard
