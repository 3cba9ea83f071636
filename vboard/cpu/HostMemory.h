// Host memory behind guest regions, mapped so that the host pays only for
// the pages the guest (or the board) actually touches.
//
// A region filled with a constant byte (an erased flash reads 0xFF) is a
// private mapping of one shared, process-wide image of that byte: every
// page reads the fill from the same physical pages, and a page is copied
// only when it is first written. A zero fill is plain anonymous memory,
// whose zero pages the kernel provides on first touch.
//
// Plain RAM regions come and go all through a boot (a pool block and its
// guard page each are one). Their host pages are recycled: a region that is
// unmapped gives its pages back, and the next region of that size takes
// them, cleared, instead of asking the kernel for fresh memory (an mmap,
// page faults, and an munmap with TLB shootdowns each time).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace vboard {

class HostMapping {
 public:
  HostMapping () = default;
  // Size bytes (a multiple of the host page size) that read Fill until
  // written. Throws std::runtime_error when the host refuses the mapping.
  HostMapping (size_t Size, uint8_t Fill);
  ~HostMapping ();
  HostMapping (HostMapping &&Other) noexcept;
  HostMapping &operator= (HostMapping &&Other) noexcept;
  HostMapping (const HostMapping &) = delete;
  HostMapping &operator= (const HostMapping &) = delete;

  // Every byte reads the fill the mapping was made with again, until
  // written (a region used again).
  void Reset ();

  uint8_t *Data () const { return mData; }
  size_t Size () const { return mSize; }

 private:
  uint8_t *mData = nullptr;
  size_t mSize = 0;
};

// Size bytes (a multiple of the host page size) of zeroed host memory for
// a RAM region, until given back with the same size.
uint8_t *TakeRamPages (size_t Size);
void GiveRamPages (uint8_t *Pages, size_t Size);
// Keeps freed host heap with the process instead of returning it to the
// kernel after every board (once per process).
void KeepFreedHeap ();
// Zeroes Size bytes of RAM pages for a region's next use.
void ClearRamPages (uint8_t *Pages, size_t Size);

// One bit per page of a range of Pages pages, all clear at first; host
// memory only for the words a bit was set in (the kernel's zero pages
// until then). A page beyond the range tests clear.
class PageBits {
 public:
  explicit PageBits (uint64_t Pages);
  void Set (uint64_t Page, bool On);
  bool Test (uint64_t Page) const {
    return Page < mPages && ((mWords.get ()[Page / 64] >> (Page % 64)) & 1) != 0;
  }
  uint64_t Pages () const { return mPages; }

 private:
  uint64_t mPages;
  std::unique_ptr<uint64_t[], void (*) (void *)> mWords;
};

}  // namespace vboard
