// Finds the instruction that made a data access fault. After an unmapped
// access the emulator reports the start of the translated block, while the
// registers already hold the state just before the faulting instruction (the
// translator saves them before every access that can fault). So the faulting
// instruction is the first load or store from the block start whose
// effective address, computed from those registers, covers the address.
#pragma once

#include <cstdint>

namespace vboard {

class Machine;

// The address of the faulting instruction, or BlockStart when none of the
// first instructions of the block matches.
uint64_t RefineFaultPc (const Machine &M, uint64_t BlockStart, uint64_t FaultAddress);

// Effective address and access size of one AArch64 load/store instruction;
// false when Insn is not one this decoder knows.
bool LoadStoreAddress (uint32_t Insn, uint64_t Pc, const uint64_t Regs[32], uint64_t &Address, uint64_t &Size);

}  // namespace vboard
