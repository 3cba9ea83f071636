#include "cpu/FaultPc.h"

#include "cpu/Machine.h"

namespace vboard {

namespace {

int64_t SignExtend (uint64_t Value, unsigned Bits) {
  uint64_t Sign = 1ULL << (Bits - 1);
  return static_cast<int64_t> ((Value ^ Sign) - Sign);
}

uint64_t Extend (uint64_t Value, unsigned Option, unsigned Shift) {
  switch (Option) {
    case 2: Value = static_cast<uint32_t> (Value); break;               // UXTW
    case 6: Value = static_cast<uint64_t> (static_cast<int64_t> (static_cast<int32_t> (Value))); break;   // SXTW
    default: break;                                                     // LSL / SXTX
  }
  return Value << Shift;
}

}  // namespace

bool LoadStoreAddress (uint32_t Insn, uint64_t Pc, const uint64_t Regs[32], uint64_t &Address, uint64_t &Size) {
  unsigned Rn = (Insn >> 5) & 31;
  uint64_t Base = Regs[Rn];   // index 31 holds SP for these encodings
  unsigned SizeBits = Insn >> 30;
  bool Simd = (Insn >> 26) & 1;

  if ((Insn & 0x3B000000) == 0x39000000) {   // load/store register, unsigned immediate
    unsigned Scale = SizeBits;
    if (Simd && ((Insn >> 23) & 1)) Scale = 4;   // 128-bit SIMD register
    Size = 1ULL << Scale;
    Address = Base + (((Insn >> 10) & 0xFFF) << Scale);
    return true;
  }
  if ((Insn & 0x3B200000) == 0x38000000) {   // unscaled, pre/post-indexed, unprivileged
    Size = 1ULL << (Simd && ((Insn >> 23) & 1) ? 4 : SizeBits);
    int64_t Imm = SignExtend ((Insn >> 12) & 0x1FF, 9);
    unsigned Mode = (Insn >> 10) & 3;
    Address = Mode == 1 ? Base : Base + static_cast<uint64_t> (Imm);
    return true;
  }
  if ((Insn & 0x3B200C00) == 0x38200800) {   // register offset
    unsigned Scale = Simd && ((Insn >> 23) & 1) ? 4 : SizeBits;
    Size = 1ULL << Scale;
    unsigned Rm = (Insn >> 16) & 31;
    uint64_t Index = Rm == 31 ? 0 : Regs[Rm];
    Address = Base + Extend (Index, (Insn >> 13) & 7, ((Insn >> 12) & 1) ? Scale : 0);
    return true;
  }
  if ((Insn & 0x3A000000) == 0x28000000) {   // load/store pair
    unsigned Opc = Insn >> 30;
    unsigned Scale = Simd ? 2 + Opc : (Opc == 2 ? 3 : 2);
    Size = 2ULL << Scale;
    int64_t Imm = SignExtend ((Insn >> 15) & 0x7F, 7) * (1LL << Scale);
    unsigned Mode = (Insn >> 23) & 3;
    Address = Mode == 1 ? Base : Base + static_cast<uint64_t> (Imm);
    return true;
  }
  if ((Insn & 0x3B000000) == 0x18000000) {   // load literal
    Size = 8;
    Address = Pc + static_cast<uint64_t> (SignExtend ((Insn >> 5) & 0x7FFFF, 19) * 4);
    return true;
  }
  if ((Insn & 0x3F000000) == 0x08000000) {   // exclusive and acquire/release
    Size = 1ULL << SizeBits;
    Address = Base;
    return true;
  }
  return false;
}

uint64_t RefineFaultPc (const Machine &M, uint64_t BlockStart, uint64_t FaultAddress) {
  uint64_t Regs[32];
  for (unsigned I = 0; I < 31; I++) {
    Regs[I] = M.X (I);
  }
  Regs[31] = M.Sp ();
  for (unsigned K = 0; K < 128; K++) {
    uint64_t Pc = BlockStart + 4 * K;
    uint32_t Insn = 0;
    if (!M.Read (Pc, &Insn, 4)) {
      break;
    }
    uint64_t Address, Size;
    if (LoadStoreAddress (Insn, Pc, Regs, Address, Size) && FaultAddress >= Address && FaultAddress - Address < Size) {
      return Pc;
    }
  }
  return BlockStart;
}

}  // namespace vboard
