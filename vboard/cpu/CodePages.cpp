// Guest stores into pages that hold no translated code, without Unicorn's
// code-page check.
//
// Unicorn 2.0.1 (Debian bookworm's libunicorn2) keeps no dirty-memory
// tracking: every writable RAM page enters the soft TLB marked "not dirty",
// so every guest store leaves the translated code for a helper that asks
// whether the page holds translated code and drops that code if the store
// hit it (QEMU's notdirty_write). The asking is what costs: it allocates and
// frees a page collection (a GLib tree) per store, about 70 ns, where a load
// takes 9. A warm boot of the package volume makes some 330,000 such stores.
//
// Unicorn records a page as holding code only in tb_gen_code, which finds the
// page (or the two pages) of the code it translates with get_page_addr_code,
// then creates the page's descriptor; no descriptor means no code on the page,
// and the store helper's invalidation returns without doing anything. The
// library calls these functions through its PLT, so definitions here take
// their place in this process:
//  - get_page_addr_code marks each page it returns (a superset of the pages
//    tb_gen_code links code to: lookups and invalidations ask it too);
//  - page_collection_lock, over a range none of whose pages is marked,
//    returns a marker without building the collection;
//  - tb_invalidate_phys_page_fast and page_collection_unlock do nothing
//    with the marker.
// Every other call goes on to Unicorn's own function, found with
// dlsym (RTLD_NEXT). Marks stay while any engine is open, so the set only
// ever says "maybe code" too often, never too rarely: a store into a page
// that holds translated code always takes Unicorn's whole path and drops
// it. They go when the last engine closes (the next numbers its pages
// from 0 again).
//
// ASFP_UNICORN_STORE_CHECK=1 sends every call to Unicorn's functions.

#include "cpu/CodePages.h"

#include <unicorn/unicorn.h>

#include <dlfcn.h>

#include <atomic>
#include <mutex>
#include <cstdint>
#include <cstdlib>

namespace {

// Unicorn's page addresses ("ram addresses") count from 0 over every RAM
// block an engine has; pages above this limit are always treated as code.
constexpr uint64_t kPageShift = 12;
constexpr uint64_t kTrackedPages = (16ULL << 30) >> kPageShift;   // 16 GiB
std::atomic<uint64_t> gCodePage[kTrackedPages / 64];

// Open engines; marks are only cleared when there are none, so no engine
// can be translating code meanwhile.
std::mutex gEnginesLock;
unsigned gEngines = 0;

// What page_collection_lock hands back for a range without code: not an
// object, only an address no allocation can return.
char gNoCodeMarker;
void *const kNoCode = &gNoCodeMarker;

// Stores let through without the check, for tests; counted without a locked
// instruction, so concurrent engines may lose counts.
std::atomic<uint64_t> gFiltered{0};

using GetPageAddrCode = uint64_t (*) (void *Env, uint64_t Address);
using CollectionLock = void *(*) (void *Uc, uint64_t Start, uint64_t End);
using CollectionUnlock = void (*) (void *Set);
using InvalidateFast = void (*) (void *Uc, void *Pages, uint64_t Start, int Length, uintptr_t ReturnAddress);

template <typename F>
F Next (const char *Name) {
  return reinterpret_cast<F> (dlsym (RTLD_NEXT, Name));
}

struct Unicorn {
  GetPageAddrCode PageAddrCode = Next<GetPageAddrCode> ("get_page_addr_code_aarch64");
  CollectionLock Lock = Next<CollectionLock> ("page_collection_lock_aarch64");
  CollectionUnlock Unlock = Next<CollectionUnlock> ("page_collection_unlock_aarch64");
  InvalidateFast Invalidate = Next<InvalidateFast> ("tb_invalidate_phys_page_fast_aarch64");
  // Only the release whose store path is described above gets the filter,
  // and only when the library has all four functions (it calls ours only
  // in place of its own).
  bool Filter = [this] {
    unsigned Major = 0, Minor = 0;
    uc_version (&Major, &Minor);
    const char *Off = std::getenv ("ASFP_UNICORN_STORE_CHECK");
    bool Forced = Off != nullptr && *Off != '\0' && *Off != '0';
    bool Found = PageAddrCode != nullptr && Lock != nullptr && Unlock != nullptr && Invalidate != nullptr;
    return Major == 2 && Minor == 0 && Found && !Forced;
  } ();
};

// Found when the program starts: the library calls these functions only
// once an engine runs.
const Unicorn gReal;

void MarkCode (uint64_t RamAddress) {
  uint64_t Page = RamAddress >> kPageShift;
  if (Page < kTrackedPages) {
    gCodePage[Page / 64].fetch_or (1ULL << (Page % 64), std::memory_order_relaxed);
  }
}

bool MaybeCode (uint64_t Start, uint64_t End) {
  for (uint64_t Page = Start >> kPageShift; Page <= End >> kPageShift; Page++) {
    if (Page >= kTrackedPages) return true;
    if (gCodePage[Page / 64].load (std::memory_order_relaxed) & (1ULL << (Page % 64))) return true;
  }
  return false;
}

}  // namespace

extern "C" {

__attribute__ ((visibility ("default"))) uint64_t get_page_addr_code_aarch64 (void *Env, uint64_t Address) {
  uint64_t RamAddress = gReal.PageAddrCode (Env, Address);
  if (RamAddress != UINT64_MAX) MarkCode (RamAddress);
  return RamAddress;
}

__attribute__ ((visibility ("default"))) void *page_collection_lock_aarch64 (void *Uc, uint64_t Start, uint64_t End) {
  if (gReal.Filter && !MaybeCode (Start, End)) {
    gFiltered.store (gFiltered.load (std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    return kNoCode;
  }
  return gReal.Lock (Uc, Start, End);
}

__attribute__ ((visibility ("default"))) void page_collection_unlock_aarch64 (void *Set) {
  if (Set != kNoCode) gReal.Unlock (Set);
}

__attribute__ ((visibility ("default"))) void tb_invalidate_phys_page_fast_aarch64 (void *Uc, void *Pages, uint64_t Start,
                                                                                  int Length, uintptr_t ReturnAddress) {
  if (Pages != kNoCode) gReal.Invalidate (Uc, Pages, Start, Length, ReturnAddress);
}

}  // extern "C"

namespace vboard {

bool StoreCodeCheckFiltered () { return gReal.Filter; }

uint64_t StoresWithoutCodeCheck () { return gFiltered.load (std::memory_order_relaxed); }

void CodePagesEngineOpened () {
  std::lock_guard<std::mutex> Guard (gEnginesLock);
  gEngines++;
}

void CodePagesEngineClosed () {
  std::lock_guard<std::mutex> Guard (gEnginesLock);
  if (gEngines > 0 && --gEngines == 0) {
    for (auto &Word : gCodePage) Word.store (0, std::memory_order_relaxed);
  }
}

}  // namespace vboard
