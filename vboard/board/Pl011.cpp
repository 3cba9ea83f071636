#include "board/Pl011.h"

namespace vboard {

uint64_t Pl011::Read (uint64_t Offset, unsigned) {
  if (Offset == kFr) {
    mFlagReads++;
    if (mBusyLeft > 0) {
      mBusyLeft--;
      return kFrTxff | kFrRxfe;
    }
    return kFrRxfe | kFrTxfe;
  }
  return 0;   // no receive data; control registers read as reset values
}

void Pl011::Write (uint64_t Offset, unsigned, uint64_t Value) {
  if (Offset != kDr) {
    return;
  }
  if (mBusyLeft > 0) {
    mDropped++;
    return;
  }
  mText.push_back (static_cast<char> (Value & 0xFF));
  mBusyLeft = mBusyReads;
}

}  // namespace vboard
