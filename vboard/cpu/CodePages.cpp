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
// That still leaves every store to the helper. Unicorn 2.0.1 also puts no
// write-protection into its TLB: a RAM page the guest may not write gets the
// same "not dirty" entry, and the helper refuses the store. So a TLB entry
// may go without the flag (QEMU's tlb_set_dirty, which is what QEMU itself
// does once a page holds no code) only where the machine says the guest may
// write, and only while the page holds no code:
//  - tlb_set_page_with_attrs, after Unicorn's own, clears the flag for a
//    writable page of the running machine's RAM that is not marked, and
//    records which virtual page maps it;
//  - get_page_addr_code, asked about a page the engine translates code
//    from (or looks code up for), flushes the entries recorded for it
//    before any code of the page exists; refilled, they keep the flag.
// A change of permissions that takes write away commits the memory map,
// which flushes the whole TLB; a page Unicorn itself maps read-only gets a
// "discard write" entry, which tlb_set_dirty does not touch. tlb_set_dirty
// clears the entries of every translation regime for the virtual page, so
// only identity-mapped pages (virtual address = physical address: the MMU
// off, or UEFI's identity map) are let through, where every regime maps the
// page checked. An engine has one CPU; a fill on another engine's CPU (a
// hook driving another machine) is left alone.
//
// ASFP_UNICORN_STORE_CHECK=1 sends every call of the store path to
// Unicorn's functions.

#include "cpu/CodePages.h"

#include "cpu/HostMemory.h"

#include <unicorn/unicorn.h>

#include <dlfcn.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace {

// Unicorn's page addresses ("ram addresses") count from 0 over every RAM
// block an engine has; pages above this limit are always treated as code.
constexpr uint64_t kPageShift = 12;
constexpr uint64_t kTrackedPages = (16ULL << 30) >> kPageShift;   // 16 GiB
// Unicorn's Arm TLB maps 1 KiB pages (QEMU's smallest Arm page, which the
// library keeps for AArch64 too): a 4 KiB page has up to four entries.
constexpr uint64_t kTlbPage = 0x400;
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
// MemTxAttrs is a 32-bit bit-field struct, passed in a register like this.
using SetPage = void (*) (void *Cpu, uint64_t Vaddr, uint64_t Paddr, uint32_t Attrs, int Prot, int MmuIdx,
                          uint64_t Size);
using SetDirty = void (*) (void *Cpu, uint64_t Vaddr);
using FlushPage = void (*) (void *Cpu, uint64_t Vaddr);
using RamAddrFromHost = uint64_t (*) (void *Uc, void *Host);
using Compact = void (*) (void *Dispatch);
using Commit = void (*) (void *Region);
constexpr int kPageWrite = 0x2;   // PAGE_WRITE in the protection Unicorn passes

template <typename F>
F Next (const char *Name) {
  return reinterpret_cast<F> (dlsym (RTLD_NEXT, Name));
}

struct Unicorn {
  GetPageAddrCode PageAddrCode = Next<GetPageAddrCode> ("get_page_addr_code_aarch64");
  CollectionLock Lock = Next<CollectionLock> ("page_collection_lock_aarch64");
  CollectionUnlock Unlock = Next<CollectionUnlock> ("page_collection_unlock_aarch64");
  InvalidateFast Invalidate = Next<InvalidateFast> ("tb_invalidate_phys_page_fast_aarch64");
  SetPage Fill = Next<SetPage> ("tlb_set_page_with_attrs_aarch64");
  SetDirty Dirty = Next<SetDirty> ("tlb_set_dirty_aarch64");
  FlushPage Flush = Next<FlushPage> ("tlb_flush_page_aarch64");
  RamAddrFromHost RamAddress = Next<RamAddrFromHost> ("qemu_ram_addr_from_host_aarch64");
  Compact CompactDispatch = Next<Compact> ("address_space_dispatch_compact_aarch64");
  Commit CommitMap = Next<Commit> ("memory_region_transaction_commit_aarch64");
  // Only the release whose store path is described above gets the filter,
  // and only when the library has all four functions (it calls ours only
  // in place of its own).
  bool Release20 = [] {
    unsigned Major = 0, Minor = 0;
    uc_version (&Major, &Minor);
    return Major == 2 && Minor == 0;
  } ();
  bool Filter = [this] {
    const char *Off = std::getenv ("ASFP_UNICORN_STORE_CHECK");
    bool Forced = Off != nullptr && *Off != '\0' && *Off != '0';
    bool Found = PageAddrCode != nullptr && Lock != nullptr && Unlock != nullptr && Invalidate != nullptr;
    return Release20 && Found && !Forced;
  } ();
  // Stores straight from translated code need the filter's marks and the
  // TLB functions as well.
  bool Direct = Filter && Fill != nullptr && Dirty != nullptr && Flush != nullptr && RamAddress != nullptr;
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

namespace vboard {

// The TLB entries of one engine that let guest stores through without the
// check: by Unicorn page, the virtual pages whose entries had the flag
// cleared, and a bit per page that has any.
struct DirectStores {
  void *Cpu = nullptr;
  PageBits Recorded{kTrackedPages};
  std::unordered_multimap<uint64_t, uint64_t> VirtualPages;
};

}  // namespace vboard

namespace {

// The machine whose guest runs on this thread, if any.
thread_local const vboard::GuestRun *tRun = nullptr;

std::atomic<uint64_t> gDirectPages{0};

// Lets stores through the TLB entry just filled for Vaddr when the machine
// says its guest may write the page and the page holds no code.
void AllowDirectStores (const vboard::GuestRun &R, void *Cpu, uint64_t Vaddr, uint64_t Paddr) {
  uint64_t VirtualPage = Vaddr & ~(kTlbPage - 1);
  vboard::DirectStores &S = *R.Stores;
  if (VirtualPage != (Paddr & ~(kTlbPage - 1)) || (S.Cpu != nullptr && S.Cpu != Cpu)) return;
  uint8_t *Host = R.Lookup (R.Owner, Paddr & ~(kTlbPage - 1));
  if (Host == nullptr) return;
  uint64_t RamAddress = gReal.RamAddress (R.Uc, Host);
  if (RamAddress == UINT64_MAX || MaybeCode (RamAddress, RamAddress)) return;
  uint64_t Page = RamAddress >> kPageShift;
  S.Cpu = Cpu;
  bool Known = false;
  if (S.Recorded.Test (Page)) {
    auto [First, Last] = S.VirtualPages.equal_range (Page);
    for (; First != Last; ++First) Known = Known || First->second == VirtualPage;
  }
  if (!Known) S.VirtualPages.emplace (Page, VirtualPage);
  S.Recorded.Set (Page, true);
  gReal.Dirty (Cpu, Vaddr);
  gDirectPages.store (gDirectPages.load (std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

// Page is about to hold code: the entries that let stores past the check
// go, so the next store to it refills its entry with the flag.
void EndDirectStores (vboard::DirectStores &S, uint64_t Page) {
  if (!S.Recorded.Test (Page)) return;
  auto [First, Last] = S.VirtualPages.equal_range (Page);
  for (auto It = First; It != Last; ++It) gReal.Flush (S.Cpu, It->second);
  S.VirtualPages.erase (First, Last);
  S.Recorded.Set (Page, false);
}

}  // namespace

extern "C" {

__attribute__ ((visibility ("default"))) uint64_t get_page_addr_code_aarch64 (void *Env, uint64_t Address) {
  uint64_t RamAddress = gReal.PageAddrCode (Env, Address);
  if (RamAddress != UINT64_MAX) {
    MarkCode (RamAddress);
    // (Outside a run only Unicorn's own invalidation asks; the page is
    // marked and its entries go when code is translated from it.)
    if (tRun != nullptr) EndDirectStores (*tRun->Stores, RamAddress >> kPageShift);
  }
  return RamAddress;
}

__attribute__ ((visibility ("default"))) void tlb_set_page_with_attrs_aarch64 (void *Cpu, uint64_t Vaddr, uint64_t Paddr,
                                                                             uint32_t Attrs, int Prot, int MmuIdx,
                                                                             uint64_t Size) {
  gReal.Fill (Cpu, Vaddr, Paddr, Attrs, Prot, MmuIdx, Size);
  // (An entry for less than a TLB page is checked on every access, and
  // tlb_set_dirty leaves it so.)
  if (gReal.Direct && tRun != nullptr && (Prot & kPageWrite) != 0) {
    AllowDirectStores (*tRun, Cpu, Vaddr, Paddr);
  }
}

// Every change of the memory map (each pool allocation the board's core
// maps, each free it unmaps, each region parked or taken back) rebuilds the
// engine's radix tree from guest-physical pages (1 KiB) to regions, then
// compacts it: a walk over every node of the tree, merging single-child
// levels so that a lookup skips them. The walk was a third of the cost of
// mapping and unmapping a page; a boot makes some 180 such changes. The
// uncompacted tree is the same map (a lookup follows one level at a time),
// and lookups are rare (TLB fills and host accesses), so Unicorn 2.0's
// tree is left as built.
__attribute__ ((visibility ("default"))) void address_space_dispatch_compact_aarch64 (void *Dispatch) {
  if (!gReal.Release20) gReal.CompactDispatch (Dispatch);
}

// Unicorn 2.0 commits its memory map at once on every change: a change of
// permissions (uc_mem_protect of a whole region, which frees nothing) made
// while a ProtectBatch lives on this thread waits for the batch's end, or
// for the next commit of anything else, which rebuilds the map from every
// region's current state anyway. Any other commit happens at once: an unmap
// frees its region after the commit, which must not see it any more.
thread_local void *tBatchedRegion = nullptr;
thread_local bool tInProtect = false;

__attribute__ ((visibility ("default"))) void memory_region_transaction_commit_aarch64 (void *Region) {
  if (tInProtect && gReal.Release20) {
    tBatchedRegion = Region;
    return;
  }
  tBatchedRegion = nullptr;   // this commit takes in what waits
  gReal.CommitMap (Region);
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

bool DirectStoresAllowed () { return gReal.Direct; }

uint64_t StoresWithoutCodeCheck () { return gFiltered.load (std::memory_order_relaxed); }

uint64_t PagesStoredDirectly () { return gDirectPages.load (std::memory_order_relaxed); }

DirectStores *CodePagesEngineOpened () {
  auto Stores = std::make_unique<DirectStores> ();
  std::lock_guard<std::mutex> Guard (gEnginesLock);
  gEngines++;
  return Stores.release ();
}

void CodePagesEngineClosed (DirectStores *Stores) {
  delete Stores;
  std::lock_guard<std::mutex> Guard (gEnginesLock);
  if (gEngines > 0 && --gEngines == 0) {
    for (auto &Word : gCodePage) Word.store (0, std::memory_order_relaxed);
  }
}

GuestRun::GuestRun (DirectStores *Stores, uc_struct *Uc, const void *Owner, WritableRam Lookup)
    : Stores (Stores), Uc (Uc), Owner (Owner), Lookup (Lookup), mPrevious (tRun) {
  tRun = this;
}

GuestRun::~GuestRun () { tRun = mPrevious; }

uc_err ProtectBatch::Protect (uc_struct *Uc, uint64_t Address, uint64_t Size, uint32_t Perms) {
  tInProtect = gReal.CommitMap != nullptr;
  uc_err Err = uc_mem_protect (Uc, Address, Size, Perms);
  tInProtect = false;
  return Err;
}

ProtectBatch::~ProtectBatch () {
  // The region last changed is still mapped: changing permissions frees
  // nothing, and nothing else waits.
  if (tBatchedRegion != nullptr) gReal.CommitMap (tBatchedRegion);
  tBatchedRegion = nullptr;
}

}  // namespace vboard
