// The emulated machine and its engine: code always runs from the bytes the
// guest memory holds now, whether the host rewrote them, the region was
// unmapped and mapped again, or the engine (with the code it translated)
// came from a machine that has ended; and nothing of an ended machine is
// reachable from the next one.
#include "cpu/Machine.h"

#include "cpu/CodePages.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace vboard {
namespace {

constexpr uint64_t kCode = 0x20000000;
constexpr uint32_t kRet = 0xD65F03C0;

uint32_t MovX0 (uint16_t Value) { return 0xD2800000u | (static_cast<uint32_t> (Value) << 5); }

// A function that returns Value, at kCode.
void PlaceReturn (Machine &M, uint16_t Value) {
  std::vector<uint32_t> Code = {MovX0 (Value), kRet};
  ASSERT_TRUE (M.Write (kCode, Code.data (), Code.size () * 4));
}

// The guest's four ways to reach memory that is gone, each with the fault it
// must take: run from a region of the machine's own with x1 the code or data
// address (none: a call to the code address itself).
struct Reach {
  const char *What;
  std::vector<uint32_t> Code;
  bool Data;   // x1 is the data address, else the code address
  FaultKind Expected;
};
const std::vector<Reach> kReaches = {
    {"a call into its code", {}, false, FaultKind::UnmappedFetch},
    {"a branch to it", {0xD61F0020 /* br x1 */}, false, FaultKind::UnmappedFetch},
    {"a load from its data", {0xF9400020 /* ldr x0, [x1] */, kRet}, true, FaultKind::UnmappedRead},
    {"a store to its data", {0xF9000020 /* str x0, [x1] */, kRet}, true, FaultKind::UnmappedWrite},
};

// Each test runs with machines taking over their predecessor's engine, as
// the process does by default, and leaves the setting as it found it.
class MachineEngine : public ::testing::Test {
 protected:
  void SetUp () override {
    mWas = Machine::EngineReuse ();
    Machine::SetEngineReuse (true);
  }
  void TearDown () override { Machine::SetEngineReuse (mWas); }

 private:
  bool mWas = true;
};

TEST_F (MachineEngine, CodeRunsFromTheBytesThereNow) {
  Machine M;
  M.MapRam (kCode, 0x1000);
  PlaceReturn (M, 1);
  EXPECT_EQ (M.Call (kCode, {}), 1u);
  // The host rewrites code that has run.
  PlaceReturn (M, 2);
  EXPECT_EQ (M.Call (kCode, {}), 2u);
  // The region goes and another is mapped at the same address and size:
  // the engine may hand it the same host page the old code was keyed by.
  M.Unmap (kCode, 0x1000);
  M.MapRam (kCode, 0x1000);
  PlaceReturn (M, 3);
  EXPECT_EQ (M.Call (kCode, {}), 3u);
  EXPECT_FALSE (M.Faulted ());
  // Mapped again and never written, it holds zeros, which are no
  // instruction: nothing of the code that ran there is left to run.
  M.Unmap (kCode, 0x1000);
  M.MapRam (kCode, 0x1000);
  M.Call (kCode, {});
  EXPECT_TRUE (M.Faulted ()) << "x0 " << M.X (0);
  EXPECT_EQ (M.LastFault ().Kind, FaultKind::CpuException) << M.LastFault ().Detail;
}

TEST_F (MachineEngine, TheNextMachineRunsItsOwnBytesAndStartsFromPowerOn) {
  {
    Machine M;
    M.MapRam (kCode, 0x1000);
    // Sets TPIDR_EL0 from x0, then returns 1.
    std::vector<uint32_t> Code = {0xD51BD040, MovX0 (1), kRet};
    ASSERT_TRUE (M.Write (kCode, Code.data (), Code.size () * 4));
    EXPECT_EQ (M.Call (kCode, {0x1234}), 1u);
  }
  for (uint16_t Value : {1, 5, 5}) {
    Machine M;
    M.MapRam (kCode, 0x1000);
    EXPECT_EQ (M.Load<uint32_t> (kCode), 0u) << "a region taken over reads zero";
    if (Value == 1) {
      // The same bytes at the same place: its code may be used as it is.
      std::vector<uint32_t> Code = {0xD51BD040, MovX0 (1), kRet};
      ASSERT_TRUE (M.Write (kCode, Code.data (), Code.size () * 4));
      EXPECT_EQ (M.Call (kCode, {0x99}), 1u);
    } else {
      PlaceReturn (M, Value);
      EXPECT_EQ (M.Call (kCode, {}), Value);
    }
    // Reads TPIDR_EL0: what this machine's own guest set, never the last's.
    std::vector<uint32_t> Read = {0xD53BD040, kRet};
    ASSERT_TRUE (M.Write (kCode + 0x100, Read.data (), Read.size () * 4));
    EXPECT_EQ (M.Call (kCode + 0x100, {}), Value == 1 ? 0x99u : 0u);
    EXPECT_FALSE (M.Faulted ());
  }
}

TEST_F (MachineEngine, WhatAnEndedMachineMappedIsUnmappedForTheNext) {
  const uint64_t kData = kCode + 0x10000, kEntry = kCode + 0x20000;
  for (const Reach &C : kReaches) {
    {
      Machine Last;
      Last.MapRam (kCode, 0x1000);
      Last.MapRam (kData, 0x2000);
      Last.Unmap (kData + 0x1000, 0x1000);   // part of a region: the rest stays mapped
      PlaceReturn (Last, 7);
      EXPECT_EQ (Last.Call (kCode, {}), 7u);
      Last.Store<uint64_t> (kData, 0x55);
    }
    Machine M;
    EXPECT_FALSE (M.IsMapped (kCode)) << C.What;
    uint64_t Value = 0;
    EXPECT_FALSE (M.Read (kData, &Value, 8)) << C.What << ": the host cannot read it either";
    EXPECT_FALSE (M.Write (kData, &Value, 8)) << C.What << ": nor write it";
    uint64_t Entry = kCode;
    if (!C.Code.empty ()) {
      Entry = kEntry;
      M.MapRam (Entry, 0x1000);
      ASSERT_TRUE (M.Write (Entry, C.Code.data (), C.Code.size () * 4));
    }
    M.Call (Entry, {0, C.Data ? kData : kCode});
    ASSERT_TRUE (M.Faulted ()) << C.What << " ran (x0 " << M.X (0) << ")";
    EXPECT_EQ (M.LastFault ().Kind, C.Expected) << C.What << ": " << M.LastFault ().Detail;
    if (C.Expected == FaultKind::UnmappedFetch) {
      EXPECT_EQ (M.LastFault ().Pc, kCode) << C.What;
    } else {
      EXPECT_EQ (M.LastFault ().Address, kData) << C.What;
    }
  }
}

// An unloaded image's region is retired: gone for its own machine at once
// (calls, branches, loads and stores fault as on unmapped memory, also where
// the guest reached it just before; the host cannot reach it), and a machine
// mapping it again, the same one or a later one, runs the bytes it loads
// there and keeps the code of what is unchanged.
TEST_F (MachineEngine, ARetiredRegionIsGoneForItsMachineAndRunsTheNextOnesBytes) {
  const uint64_t kEntry = kCode + 0x20000, kData = kCode + 0x1000;
  for (const Reach &C : kReaches) {
    const uint64_t Target = C.Data ? kData : kCode;
    Machine M;
    M.MapRam (kCode, 0x2000);
    M.MapRam (kEntry, 0x1000);
    PlaceReturn (M, 7);
    EXPECT_EQ (M.Call (kCode, {}), 7u);
    uint64_t Entry = kCode;
    if (!C.Code.empty ()) {
      Entry = kEntry;
      ASSERT_TRUE (M.Write (kEntry, C.Code.data (), C.Code.size () * 4));
      // A load or store first, while it is memory: the engine's TLB then
      // holds an entry for the page that lets the next one through.
      if (C.Data) {
        M.Call (kEntry, {0x5A, kData});
      }
      ASSERT_FALSE (M.Faulted ()) << C.What << ": " << M.LastFault ().Detail;
    }
    M.Retire (kCode, 0x2000);
    EXPECT_FALSE (M.IsMapped (kCode)) << C.What;
    uint64_t Value = 0;
    EXPECT_FALSE (M.Read (kData, &Value, 8)) << C.What << ": the host cannot read it";
    EXPECT_FALSE (M.Write (kData, &Value, 8)) << C.What << ": nor write it";
    M.Call (Entry, {0, Target});
    ASSERT_TRUE (M.Faulted ()) << C.What << " ran (x0 " << M.X (0) << ")";
    EXPECT_EQ (M.LastFault ().Kind, C.Expected) << C.What << ": " << M.LastFault ().Detail;
    EXPECT_EQ (C.Expected == FaultKind::UnmappedFetch ? M.LastFault ().Pc : M.LastFault ().Address, Target) << C.What;
  }
  {
    // The machine that retired it maps it again.
    Machine M;
    M.MapRam (kCode, 0x1000);
    PlaceReturn (M, 7);
    EXPECT_EQ (M.Call (kCode, {}), 7u);
    M.Retire (kCode, 0x1000);
    M.MapRam (kCode, 0x1000);
    EXPECT_EQ (M.Load<uint32_t> (kCode), 0u) << "mapped again, it reads zero";
    PlaceReturn (M, 9);
    EXPECT_EQ (M.Call (kCode, {}), 9u);
    M.Retire (kCode, 0x1000);
  }
  // What a machine running code from a region no machine had keeps (the
  // trap page's).
  uint64_t Plain = 0;
  for (uint64_t I = 1; I <= 2; I++) {
    uint64_t Before = Machine::CodePagesKept ();
    Machine M;
    M.MapRam (kEntry + I * 0x10000, 0x1000);
    std::vector<uint32_t> Code = {MovX0 (1), kRet};
    ASSERT_TRUE (M.Write (kEntry + I * 0x10000, Code.data (), Code.size () * 4));
    EXPECT_EQ (M.Call (kEntry + I * 0x10000, {}), 1u);
    Plain = Machine::CodePagesKept () - Before;
  }
  // Each machine retires what it ran; the next maps the region again and
  // loads other bytes, the same bytes, or none into its first page. Each
  // after the first takes the region over, keeping at least the code of
  // its unchanged second page.
  const std::vector<int> Values = {8, 8, 7, -1};
  for (size_t I = 0; I < Values.size (); I++) {
    int Value = Values[I];
    uint64_t Before = Machine::CodePagesKept ();
    Machine M;
    M.MapRam (kCode, 0x2000);
    if (Value < 0) {
      M.Call (kCode, {});
      ASSERT_TRUE (M.Faulted ()) << "zeros ran as the last machine's code (x0 " << M.X (0) << ")";
      EXPECT_EQ (M.LastFault ().Kind, FaultKind::CpuException) << M.LastFault ().Detail;
    } else {
      PlaceReturn (M, static_cast<uint16_t> (Value));
      EXPECT_EQ (M.Call (kCode, {}), static_cast<uint64_t> (Value));
      EXPECT_FALSE (M.Faulted ()) << M.LastFault ().Detail;
    }
    if (I > 0) {
      EXPECT_GT (Machine::CodePagesKept () - Before, Plain) << Value << ": the retired region was not taken over";
    }
    M.Retire (kCode, 0x2000);
  }
}

// A filled region (the flash window) is parked like RAM: unreachable while
// parked, and taken over by a machine that maps it again, its fill back.
TEST_F (MachineEngine, AFilledRegionTakenOverReadsItsFillAgain) {
  constexpr uint64_t kFlash = kCode + 0x10000;
  const std::vector<uint32_t> Load = {0xF9400020 /* ldr x0, [x1] */, kRet};
  const std::vector<uint32_t> Store = {0xF9000020 /* str x0, [x1] */, kRet};
  {
    Machine Last;
    Last.MapFilled (kFlash, 0x2000, 0xFF, false, false);
    Last.Store<uint64_t> (kFlash + 0x1000, 0x1234);
  }
  {
    Machine M;
    M.MapRam (kCode, 0x1000);
    ASSERT_TRUE (M.Write (kCode, Load.data (), Load.size () * 4));
    uint64_t Value = 0;
    EXPECT_FALSE (M.Read (kFlash, &Value, 8)) << "the host cannot read it while parked";
    M.Call (kCode, {0, kFlash + 0x1000});
    ASSERT_TRUE (M.Faulted ()) << "x0 " << M.X (0);
    EXPECT_EQ (M.LastFault ().Kind, FaultKind::UnmappedRead) << M.LastFault ().Detail;
    EXPECT_EQ (M.LastFault ().Address, kFlash + 0x1000);
  }
  {
    Machine Last;
    Last.MapFilled (kFlash, 0x2000, 0xFF, false, false);
    Last.Store<uint64_t> (kFlash + 0x1000, 0x1234);
  }
  {
    Machine M;
    M.MapFilled (kFlash, 0x2000, 0xFF, false, false);
    M.MapRam (kCode, 0x1000);
    ASSERT_TRUE (M.Write (kCode, Load.data (), Load.size () * 4));
    ASSERT_TRUE (M.Write (kCode + 0x100, Store.data (), Store.size () * 4));
    EXPECT_EQ (M.Load<uint64_t> (kFlash + 0x1000), ~0ULL);
    EXPECT_EQ (M.Call (kCode, {0, kFlash + 0x1000}), ~0ULL) << "the guest reads the fill";
    M.Call (kCode + 0x100, {0, kFlash});
    ASSERT_TRUE (M.Faulted ());
    EXPECT_EQ (M.LastFault ().Kind, FaultKind::ProtectedWrite) << "still read-only: " << M.LastFault ().Detail;
    M.Store<uint64_t> (kFlash, 0x99);
  }
  Machine Next;   // another fill at the same place is another region
  Next.MapFilled (kFlash, 0x2000, 0x00, false, false);
  EXPECT_EQ (Next.Load<uint64_t> (kFlash), 0u);
  EXPECT_EQ (Next.Load<uint64_t> (kFlash + 0x1000), 0u);
}

// A filled region unmapped in part: what was unmapped is gone for the host
// too, and what is left still reads its fill, from the guest and the host,
// until the machine ends (its host memory lives on).
TEST_F (MachineEngine, WhatIsLeftOfAFilledRegionUnmappedInPartStillReadsItsFill) {
  constexpr uint64_t kFlash = kCode + 0x10000;
  const std::vector<uint32_t> Load = {0xF9400020 /* ldr x0, [x1] */, kRet};
  for (uint64_t Gone : {kFlash, kFlash + 0x1000, kFlash + 0x2000}) {
    Machine M;
    M.MapFilled (kFlash, 0x3000, 0xFF, false, false);
    M.MapRam (kCode, 0x1000);
    ASSERT_TRUE (M.Write (kCode, Load.data (), Load.size () * 4));
    M.Unmap (Gone, 0x1000);
    for (uint64_t Page = kFlash; Page < kFlash + 0x3000; Page += 0x1000) {
      uint64_t Value = 0;
      EXPECT_EQ (M.Read (Page + 8, &Value, 8), Page != Gone) << std::hex << Page << " after unmapping " << Gone;
      if (Page != Gone) {
        EXPECT_EQ (Value, ~0ULL) << std::hex << Page;
        EXPECT_EQ (M.Call (kCode, {0, Page + 8}), ~0ULL) << std::hex << Page;
      }
    }
    EXPECT_FALSE (M.Faulted ()) << M.LastFault ().Detail;
  }
}

// Guest stores go without the engine's check for translated code only where
// no code was translated (cpu/CodePages.cpp): code the guest itself rewrites
// runs as rewritten, also on a page stored to before it held code.
TEST_F (MachineEngine, CodeTheGuestRewritesRunsAsRewritten) {
  constexpr uint64_t kStoreWord = kCode + 0x1000;      // stores w1 at x0
  constexpr uint64_t kStoreLoop = kStoreWord + 8;      // stores x1 at x0, x0 + 8, ... 256 times
  constexpr uint64_t kData = kCode + 0x2000;
  // Marks left by earlier tests in this process go with the last engine.
  Machine::SetEngineReuse (false);
  Machine::SetEngineReuse (true);
  Machine M;
  M.MapRam (kCode, 0x3000);
  PlaceReturn (M, 1);
  std::vector<uint32_t> Stores = {0xB9000001, kRet,                             // str w1, [x0]
                                  0xD2802003,                                   // mov x3, #256
                                  0xF8008401, 0xF1000463, 0x54FFFFC1, kRet};    // str x1, [x0], #8; subs; b.ne
  ASSERT_TRUE (M.Write (kStoreWord, Stores.data (), Stores.size () * 4));
  EXPECT_EQ (M.Call (kCode, {}), 1u);

  uint64_t Before = StoresWithoutCodeCheck ();
  uint64_t DirectBefore = PagesStoredDirectly ();
  M.Call (kStoreLoop, {kData, 0x55});
  EXPECT_EQ (M.Load<uint64_t> (kData + 255 * 8), 0x55u);
  if (DirectStoresAllowed ()) {
    EXPECT_GE (PagesStoredDirectly () - DirectBefore, 1u) << "the page without code kept the check";
    EXPECT_EQ (StoresWithoutCodeCheck () - Before, 0u) << "stores left translated code";
  } else if (StoreCodeCheckFiltered ()) {
    EXPECT_GE (StoresWithoutCodeCheck () - Before, 256u) << "stores to a page without code took the whole check";
  }

  // Code that has run, rewritten by a guest store.
  M.Call (kStoreWord, {kCode, MovX0 (2)});
  EXPECT_EQ (M.Call (kCode, {}), 2u);
  // A page stored to while it held no code gets code, runs, and is rewritten.
  M.Call (kStoreWord, {kData, MovX0 (4)});
  M.Call (kStoreWord, {kData + 4, kRet});
  EXPECT_EQ (M.Call (kData, {}), 4u);
  M.Call (kStoreWord, {kData, MovX0 (6)});
  EXPECT_EQ (M.Call (kData, {}), 6u);
  EXPECT_FALSE (M.Faulted ()) << M.LastFault ().Detail;
}

// RAM the guest may only read refuses its stores also once the guest has
// read it: the engine gives it the same TLB entry as writable RAM, and only
// its store helper tells them apart (cpu/CodePages.cpp).
TEST_F (MachineEngine, ReadOnlyRamRefusesGuestStoresAfterALoad) {
  constexpr uint64_t kReadOnly = kCode + 0x10000;
  Machine M;
  M.MapRam (kCode, 0x1000);
  M.MapRam (kReadOnly, 0x1000, false, false);
  std::vector<uint32_t> LoadThenStore = {0xF9400022, 0xF9000020, kRet};   // ldr x2, [x1]; str x0, [x1]
  ASSERT_TRUE (M.Write (kCode, LoadThenStore.data (), LoadThenStore.size () * 4));
  M.Call (kCode, {7, kReadOnly});
  ASSERT_TRUE (M.Faulted ()) << "a store reached read-only RAM";
  EXPECT_EQ (M.LastFault ().Kind, FaultKind::ProtectedWrite) << M.LastFault ().Detail;
  EXPECT_EQ (M.Load<uint64_t> (kReadOnly), 0u);
}

}  // namespace
}  // namespace vboard
