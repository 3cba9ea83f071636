#include "board/Pl011.h"

#include <cstdio>

namespace vboard {

namespace {
std::string Hex (uint64_t V) {
  char Buf[24];
  std::snprintf (Buf, sizeof (Buf), "0x%llx", static_cast<unsigned long long> (V));
  return Buf;
}
}  // namespace

void Pl011::Report (const std::string &What) {
  std::string Text = "PL011 at " + Hex (mBase) + ": " + What;
  Misuses.push_back (Text);
  if (OnMisuse) {
    OnMisuse (Text);
  }
}

uint64_t Pl011::Read (uint64_t Offset, unsigned Size) {
  if (Size != 4 || (Offset & 3) != 0) {
    Report (std::to_string (Size) + "-byte read at +" + Hex (Offset) + " (the registers are read as 32-bit words)");
    return 0;
  }
  if (Offset == kFr) {
    mFlagReads++;
    if (mStuck && mBytesBeforeStuck == 0) {
      return kFrTxff | kFrBusy | kFrRxfe;
    }
    if (mBusyLeft > 0) {
      mBusyLeft--;
      return kFrTxff | kFrRxfe;
    }
    return kFrRxfe | kFrTxfe;
  }
  return 0;   // no receive data; control registers read as reset values
}

void Pl011::Write (uint64_t Offset, unsigned Size, uint64_t Value) {
  if (Size != 4 || (Offset & 3) != 0) {
    Report (std::to_string (Size) + "-byte write of " + Hex (Value) + " at +" + Hex (Offset) +
            " (the registers are written as 32-bit words)");
    return;
  }
  if (Offset != kDr) {
    Report ("write of " + Hex (Value) + " to the register at +" + Hex (Offset) +
            ": only the data register is written after the UART is set up");
    return;
  }
  if (mBusyLeft > 0 || (mStuck && mBytesBeforeStuck == 0)) {
    mDropped++;
    return;
  }
  if (mStuck) {
    mBytesBeforeStuck--;
  }
  mText.push_back (static_cast<char> (Value & 0xFF));
  mBusyLeft = mBusyReads;
}

}  // namespace vboard
