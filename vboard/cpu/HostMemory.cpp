#include "cpu/HostMemory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <map>
#include <vector>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>

namespace vboard {

namespace {

// The shared image of a fill byte: one chunk, mapped as many times as a
// region needs. 1 MiB keeps both the one-time fill and the number of
// mappings per region small.
constexpr size_t kChunk = 1 << 20;

[[noreturn]] void Fail (const char *What) {
  throw std::runtime_error (std::string ("host memory: ") + What + ": " + std::strerror (errno));
}

int FillImage (uint8_t Fill) {
  static std::array<int, 256> Images = [] {
    std::array<int, 256> A;
    A.fill (-1);
    return A;
  } ();
  static std::mutex Lock;
  std::lock_guard<std::mutex> Guard (Lock);
  if (Images[Fill] >= 0) return Images[Fill];
  int Fd = memfd_create ("vboard-fill", MFD_CLOEXEC);
  if (Fd < 0) Fail ("memfd_create");
  if (ftruncate (Fd, kChunk) != 0) Fail ("ftruncate");
  void *P = mmap (nullptr, kChunk, PROT_READ | PROT_WRITE, MAP_SHARED, Fd, 0);
  if (P == MAP_FAILED) Fail ("mmap");
  std::memset (P, Fill, kChunk);
  munmap (P, kChunk);
  Images[Fill] = Fd;
  return Fd;
}

}  // namespace

HostMapping::HostMapping (size_t Size, uint8_t Fill) : mSize (Size) {
  if (Size == 0 || Size % static_cast<size_t> (sysconf (_SC_PAGESIZE)) != 0) {
    throw std::runtime_error ("host memory: a mapping is a whole number of pages");
  }
  void *P = mmap (nullptr, Size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (P == MAP_FAILED) Fail ("mmap");
  mData = static_cast<uint8_t *> (P);
  if (Fill == 0) return;
  int Fd = FillImage (Fill);
  for (size_t At = 0; At < Size; At += kChunk) {
    size_t Length = Size - At < kChunk ? Size - At : kChunk;
    if (mmap (mData + At, Length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_FIXED, Fd, 0) == MAP_FAILED) {
      int Saved = errno;
      munmap (mData, mSize);
      mData = nullptr;
      errno = Saved;
      Fail ("mmap of the fill image");
    }
  }
}

void HostMapping::Reset () {
  // Dropped pages of a private mapping read what is mapped under them
  // again: zeros, or the shared fill image.
  if (madvise (mData, mSize, MADV_DONTNEED) != 0) Fail ("madvise");
}

HostMapping::~HostMapping () {
  if (mData != nullptr) munmap (mData, mSize);
}

HostMapping::HostMapping (HostMapping &&Other) noexcept : mData (Other.mData), mSize (Other.mSize) {
  Other.mData = nullptr;
  Other.mSize = 0;
}

HostMapping &HostMapping::operator= (HostMapping &&Other) noexcept {
  if (this != &Other) {
    if (mData != nullptr) munmap (mData, mSize);
    mData = Other.mData;
    mSize = Other.mSize;
    Other.mData = nullptr;
    Other.mSize = 0;
  }
  return *this;
}

namespace {

// Recycled RAM pages, by size; new ones are carved from large reservations
// the kernel backs on first touch.
struct RamPages {
  std::mutex Lock;
  std::map<size_t, std::vector<uint8_t *>> Free;
  uint8_t *Next = nullptr;
  size_t Left = 0;
};

RamPages &Pages () {
  static RamPages *P = new RamPages;   // never destroyed: regions may outlive static destruction
  return *P;
}

constexpr size_t kReservation = size_t (1) << 30;

}  // namespace

uint8_t *TakeRamPages (size_t Size) {
  RamPages &P = Pages ();
  std::lock_guard<std::mutex> Guard (P.Lock);
  auto It = P.Free.find (Size);
  if (It != P.Free.end () && !It->second.empty ()) {
    uint8_t *Block = It->second.back ();
    It->second.pop_back ();
    ClearRamPages (Block, Size);
    return Block;
  }
  if (Size > kReservation / 16) {
    void *Own = mmap (nullptr, Size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (Own == MAP_FAILED) Fail ("mmap");
    return static_cast<uint8_t *> (Own);
  }
  if (P.Left < Size) {
    void *R = mmap (nullptr, kReservation, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (R == MAP_FAILED) Fail ("mmap");
    P.Next = static_cast<uint8_t *> (R);
    P.Left = kReservation;
  }
  uint8_t *Block = P.Next;
  P.Next += Size;
  P.Left -= Size;
  return Block;
}

void KeepFreedHeap () {
  static const bool kOnce = [] {
    // A board allocates and frees tens of MiB of host memory per boot
    // (device logs, images, tables). Handing the top of the heap back to
    // the kernel at each free makes the next board fault every page in
    // again: about 15% of a boot on the machines measured.
    mallopt (M_TRIM_THRESHOLD, 256 << 20);
    mallopt (M_TOP_PAD, 16 << 20);
    return true;
  } ();
  (void) kOnce;
}

void ClearRamPages (uint8_t *Pages_, size_t Size) {
  // A large region is mostly untouched: the kernel's zero pages are
  // cheaper than clearing it all.
  if (Size >= kChunk) {
    madvise (Pages_, Size, MADV_DONTNEED);
  } else {
    std::memset (Pages_, 0, Size);
  }
}

PageBits::PageBits (uint64_t Pages)
    : mPages (Pages), mWords (static_cast<uint64_t *> (std::calloc ((Pages + 63) / 64, sizeof (uint64_t))), std::free) {
  if (mWords == nullptr) throw std::bad_alloc ();
}

void PageBits::Set (uint64_t Page, bool On) {
  if (Page >= mPages) return;
  uint64_t &Word = mWords.get ()[Page / 64];
  Word = On ? Word | (1ULL << (Page % 64)) : Word & ~(1ULL << (Page % 64));
}

void GiveRamPages (uint8_t *Pages_, size_t Size) {
  RamPages &P = Pages ();
  std::lock_guard<std::mutex> Guard (P.Lock);
  P.Free[Size].push_back (Pages_);
}

}  // namespace vboard
