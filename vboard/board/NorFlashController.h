// The NOR flash controller at 0x1A100000, in front of the boot-flash part.
// Software sends one SPI instruction at a time through 32-bit registers:
//   0x10 NOR_CMD_REG       command word of an instruction without address
//   0x18 NOR_DATA_HI_REG   upper data word (written 0 before a status write)
//   0x1C NOR_DATA_LO_REG   write: starts the transfer (the data byte of an
//                          instruction with data, else any value, by custom 1);
//                          read: starts a read instruction and returns its
//                          response, first byte lowest
//   0x20 NOR_ADDR_CMD_REG  command word of an addressed instruction
//   0x24 NOR_ADDR_REG      flash byte address of an addressed instruction
// The opcode is bits 31:24 of a command word when they are not 0 (the ID
// read, 0x9F000020), else bits 15:8 (0x00000501 is 05h). The controller
// knows the length of each instruction's data phase from its opcode: 9Fh
// reads 3 bytes; 05h, 35h, 15h and 3Dh read 1; 01h, 31h and 11h write the
// low byte of NOR_DATA_LO_REG; 02h (page program) writes its 4 bytes; the
// rest have none. Addressed words carry 0x44 in bits 7:0 (3-byte address).
//
// Every transfer takes SPI-bus time (25 MHz, plus a fixed set-up time),
// which passes in simulated time, so status polls see a busy part finish.
#pragma once

#include "board/SpiNorFlash.h"
#include "cpu/Machine.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace vboard {

class NorFlashController : public MmioDevice {
 public:
  static constexpr uint64_t kBase = 0x1A100000;
  static constexpr uint64_t kCmd = 0x10, kDataHi = 0x18, kDataLo = 0x1C, kAddrCmd = 0x20, kAddr = 0x24;
  static constexpr uint64_t kWindow = 0x1000;
  static constexpr uint64_t kBitNs = 40;          // 25 MHz SPI clock
  static constexpr uint64_t kSetupNs = 200;       // chip select, controller set-up

  NorFlashController (SpiNorFlash &Part, std::function<void (uint64_t)> PassTime)
      : mPart (Part), mPassTime (std::move (PassTime)) {}

  uint64_t Read (uint64_t Offset, unsigned Size) override;
  void Write (uint64_t Offset, unsigned Size, uint64_t Value) override;

  struct Access {
    bool Write;
    uint64_t Offset;
    uint32_t Value;
  };
  std::vector<Access> Accesses;     // every register access, in order
  bool Written () const;            // any register write at all

  static uint8_t OpcodeOf (uint32_t Word) { return static_cast<uint8_t> ((Word >> 24) != 0 ? Word >> 24 : Word >> 8); }

 private:
  uint32_t Transfer (bool ReadStart, uint32_t Value);

  SpiNorFlash &mPart;
  std::function<void (uint64_t)> mPassTime;
  uint32_t mCmd = 0, mAddrCmd = 0, mAddr = 0, mDataHi = 0, mResponse = 0;
  bool mAddressed = false;
};

}  // namespace vboard
