// Pool and page memory for the guest. Every allocation gets its own pages
// with an unmapped guard page after them, so an overrun past a page end or a
// use after free faults at the instruction that does it. Pool buffers are
// placed at the end of their pages (8-byte aligned); the slack after a buffer
// whose size is not a multiple of 8 holds a canary checked at FreePool.
// Fresh memory is poisoned with 0xAF so reads of uninitialised bytes show.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vboard {

class Machine;

struct Allocation {
  uint64_t Address = 0;     // what the guest got
  uint64_t Size = 0;        // what it asked for (bytes)
  uint64_t MapBase = 0;
  uint64_t MapSize = 0;
  uint32_t MemoryType = 0;
  bool Pool = true;
  uint64_t Caller = 0;      // return address of the allocating call
  uint64_t Serial = 0;      // allocation order
  std::vector<uint64_t> Frames;   // return addresses further up the guest's stack
};

class Heap {
 public:
  static constexpr uint64_t kBase = 0x60000000;
  static constexpr uint64_t kLimit = 0xC0000000;
  static constexpr uint8_t kPoison = 0xAF;
  static constexpr uint8_t kCanary = 0xCB;

  explicit Heap (Machine &M) : mMachine (M) {}

  // 0 when the region is exhausted (or a fault-injection limit says so).
  uint64_t AllocatePool (uint32_t Type, uint64_t Size, uint64_t Caller, std::vector<uint64_t> Frames = {});
  uint64_t AllocatePages (uint32_t Type, uint64_t Pages, uint64_t Caller, uint64_t MaxAddress = ~0ULL);

  enum class FreeResult { Ok, NotAllocated, WrongKind, Overrun };
  FreeResult Free (uint64_t Address, bool Pool, uint64_t Pages = 0);
  // Bytes written past the end of a pool buffer (0 when the canary is intact).
  uint64_t OverrunBytes (const Allocation &A) const;

  const std::map<uint64_t, Allocation> &Live () const { return mLive; }
  const Allocation *Find (uint64_t Address) const;            // exact start
  const Allocation *Containing (uint64_t Address) const;      // any byte

  // Fault injection: the next N allocations succeed, then every one fails.
  void FailAfter (int64_t Successes) { mFailAfter = Successes; }
  // Fault injection: every allocation of this memory type fails (the
  // runtime-services pool exhausted, say); the others are unaffected.
  std::optional<uint32_t> FailMemoryType;

 private:
  uint64_t MapFresh (uint64_t Bytes);
  Machine &mMachine;
  uint64_t mNext = kBase;
  uint64_t mSerial = 0;
  int64_t mFailAfter = -1;
  std::map<uint64_t, Allocation> mLive;   // by Address
};

}  // namespace vboard
