// The three SoC registers the firmware adjusts once at ReadyToBoot:
// 0x2000A000 and 0x2000A004 (one 4 KiB page) and 0x380031D0 (socket 0's
// SCP register page). What they control is the SoC's business; the model
// keeps their values (from reset values with other bits set, so that a
// read-modify-write that loses them shows), logs every access, and records
// any access that is not a single aligned 32-bit access to one of them.
#pragma once

#include "cpu/Machine.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace vboard {

class PlatformRegisters {
 public:
  static constexpr uint64_t kReg2000A000 = 0x2000A000, kReg2000A004 = 0x2000A004, kReg380031D0 = 0x380031D0;
  static constexpr uint32_t kReset2000A000 = 0xF0F0F0F0, kReset2000A004 = 0x0F0F0F0F, kReset380031D0 = 0xA5A5A5B6;

  explicit PlatformRegisters (Machine &M);
  ~PlatformRegisters ();

  uint32_t Value (uint64_t Address) const { return mValues.at (Address); }
  void SetValue (uint64_t Address, uint32_t Value) { mValues.at (Address) = Value; }

  struct Access {
    bool Write;
    uint64_t Address;
    uint32_t Value;
  };
  std::vector<Access> Accesses;
  std::vector<std::string> Stray;   // accesses that are not to a register, or not 32-bit aligned

 private:
  class Page;
  Machine &mMachine;
  std::vector<std::unique_ptr<Page>> mPages;
  std::map<uint64_t, uint32_t> mValues;
};

}  // namespace vboard
