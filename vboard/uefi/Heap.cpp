#include "uefi/Heap.h"

#include "cpu/Machine.h"

#include <vector>

namespace vboard {

namespace {
constexpr uint64_t kPage = 0x1000;
uint64_t PagesFor (uint64_t Bytes) { return (Bytes + kPage - 1) / kPage; }
}  // namespace

uint64_t Heap::MapFresh (uint64_t Bytes) {
  uint64_t Size = PagesFor (Bytes == 0 ? 1 : Bytes) * kPage;
  if (mNext + Size + kPage > kLimit) {
    return 0;
  }
  if (mFailAfter == 0) {
    return 0;
  }
  if (mFailAfter > 0) {
    mFailAfter--;
  }
  uint64_t Base = mNext;
  mMachine.MapRam (Base, Size, true, true);
  std::vector<uint8_t> Poison (Size, kPoison);
  mMachine.Write (Base, Poison.data (), Size);
  mNext = Base + Size + kPage;   // leave one unmapped guard page
  return Base;
}

uint64_t Heap::AllocatePool (uint32_t Type, uint64_t Size, uint64_t Caller, std::vector<uint64_t> Frames) {
  if (FailMemoryType && *FailMemoryType == Type) {
    return 0;
  }
  uint64_t Rounded = (Size + 7) & ~7ULL;
  if (Rounded == 0) {
    Rounded = 8;
  }
  uint64_t Base = MapFresh (Rounded);
  if (Base == 0) {
    return 0;
  }
  uint64_t MapSize = PagesFor (Rounded) * kPage;
  Allocation A;
  A.Address = Base + MapSize - Rounded;
  A.Size = Size;
  A.MapBase = Base;
  A.MapSize = MapSize;
  A.MemoryType = Type;
  A.Pool = true;
  A.Caller = Caller;
  A.Frames = std::move (Frames);
  A.Serial = ++mSerial;
  if (Rounded > Size) {
    std::vector<uint8_t> Canary (Rounded - Size, kCanary);
    mMachine.Write (A.Address + Size, Canary.data (), Canary.size ());
  }
  mLive[A.Address] = A;
  return A.Address;
}

uint64_t Heap::AllocatePages (uint32_t Type, uint64_t Pages, uint64_t Caller, uint64_t MaxAddress) {
  if (Pages == 0 || Pages > (kLimit - kBase) / kPage || (FailMemoryType && *FailMemoryType == Type)) {
    return 0;
  }
  if (mNext + Pages * kPage > MaxAddress) {
    return 0;
  }
  uint64_t Base = MapFresh (Pages * kPage);
  if (Base == 0) {
    return 0;
  }
  Allocation A;
  A.Address = Base;
  A.Size = Pages * kPage;
  A.MapBase = Base;
  A.MapSize = Pages * kPage;
  A.MemoryType = Type;
  A.Pool = false;
  A.Caller = Caller;
  A.Serial = ++mSerial;
  mLive[A.Address] = A;
  return Base;
}

uint64_t Heap::OverrunBytes (const Allocation &A) const {
  if (!A.Pool) {
    return 0;
  }
  uint64_t Rounded = A.MapBase + A.MapSize - A.Address;
  std::vector<uint8_t> Slack = mMachine.ReadBytes (A.Address + A.Size, Rounded - A.Size);
  for (size_t I = Slack.size (); I > 0; I--) {
    if (Slack[I - 1] != kCanary) {
      return I;
    }
  }
  return 0;
}

Heap::FreeResult Heap::Free (uint64_t Address, bool Pool, uint64_t Pages) {
  auto It = mLive.find (Address);
  if (It == mLive.end ()) {
    return FreeResult::NotAllocated;
  }
  const Allocation &A = It->second;
  if (A.Pool != Pool || (!Pool && Pages * kPage != A.MapSize)) {
    return FreeResult::WrongKind;
  }
  FreeResult Result = OverrunBytes (A) != 0 ? FreeResult::Overrun : FreeResult::Ok;
  if (Result == FreeResult::Ok) {
    mMachine.Unmap (A.MapBase, A.MapSize);   // a later use faults
    mLive.erase (It);
  }
  return Result;
}

const Allocation *Heap::Find (uint64_t Address) const {
  auto It = mLive.find (Address);
  return It == mLive.end () ? nullptr : &It->second;
}

const Allocation *Heap::Containing (uint64_t Address) const {
  auto It = mLive.upper_bound (Address);
  if (It == mLive.begin ()) {
    return nullptr;
  }
  --It;
  const Allocation &A = It->second;
  return Address >= A.Address && Address < A.Address + (A.Size == 0 ? 1 : A.Size) ? &A : nullptr;
}

}  // namespace vboard
