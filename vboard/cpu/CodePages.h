#pragma once

#include <cstdint>

#include <unicorn/unicorn.h>

namespace vboard {

// Whether guest stores into pages that hold no translated code skip
// Unicorn's code-page check in this process (cpu/CodePages.cpp): true with
// Unicorn 2.0, unless ASFP_UNICORN_STORE_CHECK=1 is set.
bool StoreCodeCheckFiltered ();

// Whether, in addition, TLB entries of writable RAM pages without code let
// guest stores through from translated code (Unicorn 2.0 with the TLB
// functions this needs).
bool DirectStoresAllowed ();

// An engine's TLB entries that let stores through, to be flushed when
// their page gets code.
struct DirectStores;

// Engines open in this process, counted around uc_open and uc_close. When
// the last one closes no translated code is left anywhere, and the marks
// go: the next engine numbers its pages from 0 again.
DirectStores *CodePagesEngineOpened ();
void CodePagesEngineClosed (DirectStores *Stores);

// The host address of guest-physical address Page (the start of a 1 KiB
// TLB page) when it is RAM the owner's guest may write, otherwise nullptr.
using WritableRam = uint8_t *(*) (const void *Owner, uint64_t Page);

// While one lives, the guest of Owner runs on this thread on engine Uc:
// its writable RAM may get TLB entries that let stores through.
class GuestRun {
 public:
  GuestRun (DirectStores *Stores, uc_struct *Uc, const void *Owner, WritableRam Lookup);
  ~GuestRun ();
  GuestRun (const GuestRun &) = delete;
  GuestRun &operator= (const GuestRun &) = delete;

  DirectStores *const Stores;
  uc_struct *const Uc;
  const void *const Owner;
  const WritableRam Lookup;

 private:
  const GuestRun *mPrevious;
};

// Changes of permissions of whole regions made through Protect while one
// lives rebuild the engine's memory map once, when it ends (or at the next
// other change of the map), instead of once each. No guest may run on the
// engine meanwhile.
class ProtectBatch {
 public:
  ProtectBatch () = default;
  ~ProtectBatch ();
  ProtectBatch (const ProtectBatch &) = delete;
  ProtectBatch &operator= (const ProtectBatch &) = delete;
  // uc_mem_protect of a whole region.
  uc_err Protect (uc_struct *Uc, uint64_t Address, uint64_t Size, uint32_t Perms);
};

// How many guest stores (and page invalidations of the engine's own) went
// without the check so far in this process.
uint64_t StoresWithoutCodeCheck ();

// How many TLB entries were made to let stores through so far in this
// process.
uint64_t PagesStoredDirectly ();

}  // namespace vboard
