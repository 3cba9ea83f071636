// A PL011 UART as the debug output sees it: the data register at +0x00 and
// the flag register at +0x18. Transmitted bytes are captured per port. The
// transmit FIFO can be made to report "full" for a number of flag reads after
// each byte, or full for good (a transmitter that never drains, as a UART
// held off for ever, or a flag register that reads busy whatever happens);
// a byte written while it reports full is dropped and counted, as a real
// FIFO would drop it.
//
// The registers are 32 bits wide and accessed as words (the Arm generic-UART
// subset of the PL011). The UART is set up by earlier firmware, so a DXE
// module writes only the data register: an access of another width, or a
// write to any other register (a control, baud-rate or interrupt register),
// is reported through OnMisuse (the board stops with a fault) and recorded
// in Misuses; the write is not carried out.
#pragma once

#include "cpu/Machine.h"

#include <functional>
#include <string>
#include <vector>

namespace vboard {

class Pl011 : public MmioDevice {
 public:
  static constexpr uint64_t kDr = 0x00;
  static constexpr uint64_t kFr = 0x18;
  static constexpr uint32_t kFrTxff = 1u << 5;
  static constexpr uint32_t kFrRxfe = 1u << 4;
  static constexpr uint32_t kFrTxfe = 1u << 7;
  static constexpr uint32_t kFrBusy = 1u << 3;

  explicit Pl011 (uint64_t Base) : mBase (Base) {}
  uint64_t Base () const { return mBase; }

  uint64_t Read (uint64_t Offset, unsigned Size) override;
  void Write (uint64_t Offset, unsigned Size, uint64_t Value) override;

  const std::string &Text () const { return mText; }
  void Clear () { mText.clear (); }
  // After each transmitted byte the FIFO reports full for this many flag reads.
  void SetBusyReads (unsigned Reads) { mBusyReads = Reads; }
  // The transmitter stops: the FIFO takes AfterBytes more bytes, then
  // reports full (and busy) on every flag read from then on.
  void NeverDrain (unsigned AfterBytes = 0) {
    mStuck = true;
    mBytesBeforeStuck = AfterBytes;
  }
  unsigned FlagReads () const { return mFlagReads; }
  unsigned Dropped () const { return mDropped; }

  std::vector<std::string> Misuses;
  std::function<void (const std::string &)> OnMisuse;

 private:
  void Report (const std::string &What);

  uint64_t mBase;
  std::string mText;
  unsigned mBusyReads = 0;
  bool mStuck = false;
  unsigned mBytesBeforeStuck = 0;
  unsigned mBusyLeft = 0;
  unsigned mFlagReads = 0;
  unsigned mDropped = 0;
};

}  // namespace vboard
