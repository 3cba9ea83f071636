#include "board/PlatformRegisters.h"

#include <cstdio>

namespace vboard {

class PlatformRegisters::Page : public MmioDevice {
 public:
  Page (PlatformRegisters &Regs, uint64_t Base) : mRegs (Regs), mBase (Base) {}
  uint64_t Base () const { return mBase; }

  uint64_t Read (uint64_t Offset, unsigned Size) override {
    uint64_t Address = mBase + Offset;
    auto It = mRegs.mValues.find (Address);
    if (It == mRegs.mValues.end () || Size != 4) {
      Stray ("read", Address, Size);
      return 0;
    }
    mRegs.Accesses.push_back ({false, Address, It->second});
    return It->second;
  }

  void Write (uint64_t Offset, unsigned Size, uint64_t Value) override {
    uint64_t Address = mBase + Offset;
    auto It = mRegs.mValues.find (Address);
    if (It == mRegs.mValues.end () || Size != 4) {
      Stray ("write", Address, Size);
      return;
    }
    It->second = static_cast<uint32_t> (Value);
    mRegs.Accesses.push_back ({true, Address, It->second});
  }

 private:
  void Stray (const char *What, uint64_t Address, unsigned Size) {
    char Text[96];
    std::snprintf (Text, sizeof (Text), "%u-byte %s at 0x%llx", Size, What, static_cast<unsigned long long> (Address));
    mRegs.Stray.push_back (Text);
  }

  PlatformRegisters &mRegs;
  uint64_t mBase;
};

PlatformRegisters::PlatformRegisters (Machine &M) : mMachine (M) {
  mValues = {{kReg2000A000, kReset2000A000}, {kReg2000A004, kReset2000A004}, {kReg380031D0, kReset380031D0}};
  for (uint64_t Base : {kReg2000A000 & ~0xFFFULL, kReg380031D0 & ~0xFFFULL}) {
    mPages.push_back (std::make_unique<Page> (*this, Base));
    mMachine.MapDevice (Base, 0x1000, mPages.back ().get ());
  }
}

PlatformRegisters::~PlatformRegisters () {
  for (auto &P : mPages) {
    mMachine.Unmap (P->Base (), 0x1000);
  }
}

}  // namespace vboard
