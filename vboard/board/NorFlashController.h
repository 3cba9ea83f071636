// The NOR flash controller at 0x1A100000, in front of the boot-flash part.
// Software sends one SPI instruction at a time through 32-bit registers:
//   0x10 NOR_CMD_REG       command word of an instruction without address
//   0x18 NOR_DATA_HI_REG   upper data word (0 for the one-byte status writes)
//   0x1C NOR_DATA_LO_REG   write: starts the transfer (the data of an
//                          instruction with data, else 1); read: starts a
//                          read instruction and returns its response, first
//                          byte lowest
//   0x20 NOR_ADDR_CMD_REG  command word of an addressed instruction
//   0x24 NOR_ADDR_REG      flash byte address of an addressed instruction
// A command word carries the opcode and, in its low bits, how the
// controller runs the instruction (its data phase, its address phase), so
// each instruction has exactly one word:
//   0x9F000020  9Fh Read JEDEC ID (reads 3 bytes; the opcode in bits 31:24)
//   0x00000501  05h, 0x00003501 35h, 0x00001501 15h: read one status byte
//   0x00000101  01h, 0x00003101 31h, 0x00001101 11h: write one status byte
//   0x00000600  06h, 0x00000400 04h, 0x00007E00 7Eh, 0x00009800 98h: no data
// and in NOR_ADDR_CMD_REG, with a 3-byte address (0x44 in bits 7:0):
//   0x00000244  02h page program (the 4 bytes of NOR_DATA_LO_REG)
//   0x00002044  20h, 0x0000D844 D8h, 0x00003644 36h, 0x00003944 39h: no data
//   0x00003D44  3Dh Read Block Lock (reads 1 byte)
//
// The controller takes single aligned 32-bit accesses to these registers
// only. An access of another width, to another offset, a command word it
// does not know (a wrong opcode or wrong low bits, or a word in the wrong
// command register), an address beyond 24 bits, a transfer started with a
// non-zero NOR_DATA_HI_REG or (without data) with a value other than 1, and
// a write of NOR_DATA_LO_REG for a read instruction are reported through
// OnMisuse (the board stops with a device-misuse fault) and recorded in
// Misuses; the access is not carried out and a read returns 0.
//
// Every transfer takes SPI-bus time (25 MHz, plus a fixed set-up time),
// which passes in simulated time, so status polls see a busy part finish.
#pragma once

#include "board/SpiNorFlash.h"
#include "cpu/Machine.h"

#include <cstdint>
#include <functional>
#include <string>
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
  std::vector<Access> Accesses;     // every register access carried out, in order
  bool Written () const;            // any register write at all

  std::vector<std::string> Misuses;
  std::function<void (const std::string &)> OnMisuse;

  // How the controller runs one command word's instruction.
  struct Command {
    uint32_t Word;
    bool Addressed;
    size_t ReadBytes;     // bytes the instruction reads back
    size_t WriteBytes;    // bytes of NOR_DATA_LO_REG it sends
  };
  // The command word's entry, or nullptr for a word the controller does not run.
  static const Command *Find (uint32_t Word);
  static uint8_t OpcodeOf (uint32_t Word) { return static_cast<uint8_t> ((Word >> 24) != 0 ? Word >> 24 : Word >> 8); }

 private:
  void Report (const std::string &What);
  uint32_t Transfer (const Command &C, bool ReadStart, uint32_t Value);

  SpiNorFlash &mPart;
  std::function<void (uint64_t)> mPassTime;
  uint32_t mCmd = 0, mAddrCmd = 0, mAddr = 0, mDataHi = 0, mResponse = 0;
  bool mAddressed = false;
};

}  // namespace vboard
