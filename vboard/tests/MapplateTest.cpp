// Mapplate on the virtual board: the flash layout from the HOB list becomes
// one type 203 summary structure and one entry structure per whole table
// entry, byte for byte; missing, empty and corrupt HOBs publish nothing and
// read nothing outside the list; refused handles, a failing Add and an
// exhausted pool; no structure buffer is left allocated.
#include "board/FlashLayout.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>

namespace vboard {
namespace {

using namespace test;
using platform::FlashLayoutEntry;

const std::vector<FlashLayoutEntry> kThree = {
    {0x11223344, 0x55667788, 0x99AABBCC, 0x105}, {0x500000, 0x150000, 3, 2}, {0xA00000, 0x2C0000, 6, 0xFFFFFF03}};

std::vector<uint8_t> Le32 (uint32_t V) { return {uint8_t (V), uint8_t (V >> 8), uint8_t (V >> 16), uint8_t (V >> 24)}; }

std::vector<uint8_t> Summary (uint16_t Handle, uint32_t G0, uint32_t G1) {
  std::vector<uint8_t> R = {0xCB, 0x0C, uint8_t (Handle), uint8_t (Handle >> 8)};
  for (uint32_t V : {G0, G1}) for (uint8_t B : Le32 (V)) R.push_back (B);
  R.insert (R.end (), {0, 0});
  return R;
}

std::vector<uint8_t> EntryStructure (uint16_t Handle, const FlashLayoutEntry &E) {
  std::vector<uint8_t> R = {0xCB, 0x11, uint8_t (Handle), uint8_t (Handle >> 8)};
  for (uint32_t V : {E.Word0, E.Word1, E.Word2}) for (uint8_t B : Le32 (V)) R.push_back (B);
  R.insert (R.end (), {uint8_t (E.Word3), 0, 0});
  return R;
}

class MapplateTest : public ::testing::Test {
 protected:
  Board B;

  uint64_t Run () {
    uint64_t Status = B.Run (ModuleImage ("Mapplate"));
    EXPECT_FALSE (B.M.Stopped ()) << B.FaultReport ();
    return Status;
  }
  size_t LiveBlocks () { return test::LiveBlocksOf (B, "Mapplate"); }   // pool and pages it still holds
  std::vector<std::vector<uint8_t>> Published () {
    std::vector<std::vector<uint8_t>> Out;
    for (const SmbiosRecord *R : B.Smbios.OfType (0xCB)) Out.push_back (R->Bytes);
    return Out;
  }
  // The HOB list holds a layout table of exactly these bytes (any HobLength).
  void SetRawLayout (const std::vector<uint8_t> &Data, std::optional<uint16_t> Length = std::nullopt) {
    B.Hobs.RemoveGuid (platform::kFlashLayoutInfoHob);
    Hob H;
    H.Type = HobList::kGuidExtension;
    H.Body.assign (platform::kFlashLayoutInfoHob.Bytes.begin (), platform::kFlashLayoutInfoHob.Bytes.end ());
    H.Body.insert (H.Body.end (), Data.begin (), Data.end ());
    H.Length = Length;
    B.Hobs.Add (H);
  }
};

TEST_F (MapplateTest, DefaultBoardPublishesSummaryThenEveryEntryAndKeepsNoBuffer) {
  ASSERT_EQ (Run (), efi::Success);
  auto Layout = platform::DefaultFlashLayout ();
  auto Records = Published ();
  ASSERT_EQ (Records.size (), 1 + Layout.size ());
  EXPECT_EQ (Records[0], Summary (B.Smbios.Records ()[0].Handle, 0x01000000, 0x10000));
  for (size_t I = 0; I < Layout.size (); I++) {
    EXPECT_EQ (Records[1 + I], EntryStructure (0xCB + I, Layout[I])) << "entry " << I;
  }
  EXPECT_EQ (B.Smbios.Records ()[0].ProducerHandle, 0u);
  EXPECT_EQ (B.UartText (), "GetFlashLayoutInfo 114 StatusSuccess \r\n");
  EXPECT_EQ (LiveBlocks (), 0u) << "each structure buffer is freed after Add";
  EXPECT_TRUE (B.Fw.FindLeaks ().empty ());
}

TEST_F (MapplateTest, WholeEntriesOnlyAndOnlyTheLowByteOfWord3) {
  // 24 + 3 x 16: three entries; 24 + 40: two, the eight trailing bytes
  // ignored; Word3 0x105 and 0xFFFFFF03 publish 05 and 03.
  for (size_t Trailing : {0, 8}) {
    Board Fresh;
    std::vector<FlashLayoutEntry> Table = kThree;
    if (Trailing != 0) Table.pop_back ();
    platform::SetFlashLayout (Fresh.Hobs, Table, Trailing);
    platform::SetFlashLayoutGlobal (Fresh.Hobs, 0xDEADBEEF, 0x0BADF00D);
    ASSERT_EQ (Fresh.Run (ModuleImage ("Mapplate")), efi::Success) << Fresh.FaultReport ();
    auto Records = Fresh.Smbios.OfType (0xCB);
    ASSERT_EQ (Records.size (), 1 + Table.size ());
    EXPECT_EQ (Records[0]->Bytes, Summary (Records[0]->Handle, 0xDEADBEEF, 0x0BADF00D));
    for (size_t I = 0; I < Table.size (); I++) {
      EXPECT_EQ (Records[1 + I]->Handle, 0xCB + I);
      EXPECT_EQ (Records[1 + I]->Bytes, EntryStructure (0xCB + I, Table[I]));
    }
    EXPECT_EQ (Records[1]->Bytes[16], 0x05);
  }
}

TEST_F (MapplateTest, MissingEmptyOrCorruptHobsPublishNothing) {
  struct Case {
    const char *Name;
    std::function<void (Board &)> Set;
    const char *Uart;
  } Cases[] = {
      {"no layout table", [] (Board &X) { X.Hobs.RemoveGuid (platform::kFlashLayoutInfoHob); },
       "GetFlashLayoutInfo 114 StatusNot Found \r\n"},
      {"table without entries (HobLength 24)", [] (Board &X) { platform::SetFlashLayout (X.Hobs, {}); },
       "GetFlashLayoutInfo 114 StatusSuccess \r\n"},
      {"no summary", [] (Board &X) { X.Hobs.RemoveGuid (platform::kFlashLayoutGlobalHob); },
       "GetFlashLayoutInfo 114 StatusSuccess \r\n"},
      {"summary too short for both values", [] (Board &X) {
         X.Hobs.RemoveGuid (platform::kFlashLayoutGlobalHob);
         Hob H;
         H.Type = HobList::kGuidExtension;
         H.Body.assign (platform::kFlashLayoutGlobalHob.Bytes.begin (), platform::kFlashLayoutGlobalHob.Bytes.end ());
         H.Body.insert (H.Body.end (), {1, 2, 3, 4});
         H.Length = 28;
         X.Hobs.Add (H);
       },
       "GetFlashLayoutInfo 114 StatusSuccess \r\n"},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE (C.Name);
    Board X;
    C.Set (X);
    EXPECT_EQ (X.Run (ModuleImage ("Mapplate")), efi::NotFound);
    EXPECT_FALSE (X.M.Stopped ()) << X.FaultReport ();
    EXPECT_TRUE (X.Smbios.Records ().empty ());
    EXPECT_EQ (X.UartText (), C.Uart);
    EXPECT_TRUE (X.Fw.FindLeaks ().empty ()) << "the summary buffer is freed on this exit too";
  }
}

TEST_F (MapplateTest, LayoutHobShorterThanItsHeaderIsNeverReadPast) {
  // A layout-table HOB declaring HobLength 16 (its name half outside it), as
  // the last HOB: the list ends against an unmapped page, so a count of
  // (16 - 24) / 16 entries, or a name read across the end, would fault.
  std::vector<uint8_t> Entries = platform::FlashLayoutData (kThree);
  SetRawLayout (Entries, 16);
  ASSERT_EQ (B.Hobs.EndOfList () + 8, HobList::kEnd);
  EXPECT_FALSE (B.M.IsMapped (HobList::kEnd));
  EXPECT_EQ (Run (), efi::NotFound);
  EXPECT_TRUE (B.Smbios.Records ().empty ());
  // Passed over, the walk lands inside its name (a "HOB" of 1156 bytes that
  // would run past the end) and stops there.
  char Expected[160];
  std::snprintf (Expected, sizeof (Expected),
                 "Mapplate: corrupt HOB (length 1156) at %llX ends the search\r\nGetFlashLayoutInfo 114 StatusNot Found \r\n",
                 static_cast<unsigned long long> (B.Hobs.EndOfList () - 72 + 16));
  EXPECT_EQ (B.UartText (), Expected);

  // The same corrupt HOB followed by a valid table: the search passes over
  // it and finds the good one.
  Board Next;
  Hob Corrupt;
  Corrupt.Type = HobList::kGuidExtension;
  Corrupt.Body.assign (platform::kFlashLayoutInfoHob.Bytes.begin (), platform::kFlashLayoutInfoHob.Bytes.begin () + 8);
  Corrupt.Length = 16;
  Next.Hobs.RemoveGuid (platform::kFlashLayoutInfoHob);
  Next.Hobs.Add (Corrupt);
  platform::SetFlashLayout (Next.Hobs, kThree);
  ASSERT_EQ (Next.Run (ModuleImage ("Mapplate")), efi::Success) << Next.FaultReport ();
  EXPECT_EQ (Next.Smbios.OfType (0xCB).size (), 4u);

  // A HOB of length 0 would stop any walk from advancing: the search ends
  // there with the table not found instead of spinning.
  Board Zero;
  Hob Stuck;
  Stuck.Type = HobList::kResourceDescriptor;
  Stuck.Length = 0;
  Zero.Hobs.RemoveGuid (platform::kFlashLayoutInfoHob);
  Zero.Hobs.Add (Stuck);
  EXPECT_EQ (Zero.Run (ModuleImage ("Mapplate")), efi::NotFound);
  EXPECT_FALSE (Zero.M.Stopped ()) << Zero.FaultReport ();
  EXPECT_TRUE (Zero.Smbios.Records ().empty ());
  EXPECT_NE (Zero.UartText ().find ("Mapplate: corrupt HOB (length 0) at "), std::string::npos) << Zero.UartText ();
}

TEST_F (MapplateTest, RefusedEntriesDoNotStopTheOthersAndTheLastDecides) {
  // A first run takes handles 0xCB and 0xCC; a second with three entries
  // finds both in use (EFI_ALREADY_STARTED) and still adds 0xCD; a third
  // whose last entry collides reports that.
  platform::SetFlashLayout (B.Hobs, {kThree[0], kThree[1]});
  ASSERT_EQ (Run (), efi::Success);
  platform::SetFlashLayout (B.Hobs, kThree);
  ASSERT_EQ (Run (), efi::Success);
  auto Records = Published ();
  ASSERT_EQ (Records.size (), 3u + 2u);
  EXPECT_EQ (Records[4], EntryStructure (0xCD, kThree[2]));
  EXPECT_EQ (Records[3][0x01], 0x0C) << "the second summary";
  ASSERT_EQ (Run (), efi::AlreadyStarted);
  EXPECT_EQ (Published ().size (), 6u) << "only a third summary";
  EXPECT_TRUE (B.Fw.FindLeaks ().empty ());
  EXPECT_EQ (LiveBlocks (), 0u);
}

TEST_F (MapplateTest, FailingAddAndExhaustedPool) {
  // The summary refused: Not Found, no entry tried, its buffer freed.
  B.Smbios.FailAdd = efi::OutOfResources;
  EXPECT_EQ (Run (), efi::NotFound);
  EXPECT_TRUE (B.Smbios.Records ().empty ());
  EXPECT_EQ (LiveBlocks (), 0u);
  B.Smbios.FailAdd.reset ();

  // N allocations succeed: 0, no summary buffer (nothing added); 1, the
  // summary only; 3, the summary and two entries. A missing entry buffer
  // counts as that entry's failure.
  size_t Entries = platform::DefaultFlashLayout ().size ();
  const std::pair<int64_t, size_t> Cases[] = {{0, 0}, {1, 1}, {3, 3}, {int64_t (Entries), Entries}};
  for (const auto &C : Cases) {
    SCOPED_TRACE (C.first);
    Board X;
    ImageRecord &Image = X.Load (ModuleImage ("Mapplate"));
    X.Fw.Pool.FailAfter (C.first);
    EXPECT_EQ (X.Start (Image), efi::OutOfResources);
    EXPECT_FALSE (X.M.Stopped ()) << X.FaultReport ();
    EXPECT_EQ (X.Smbios.Records ().size (), C.second);
    std::string Uart = X.UartText ();
    EXPECT_NE (Uart.find (C.first == 0 ? "Mapplate: no memory for the flash layout summary structure\r\n"
                                       : "Mapplate: no memory for the structure of layout entry 6\r\n"),
               std::string::npos) << Uart;
    X.Fw.Pool.FailAfter (-1);
    EXPECT_TRUE (X.Fw.FindLeaks ().empty ());
  }
}

TEST_F (MapplateTest, HobListIsWhatDxeHobLibExpects) {
  // PHIT first, pointing at the end-of-list HOB; installed under the
  // HOB-list GUID; every HOB 8-byte sized; the layout HOBs among them.
  uint64_t At = B.Hobs.Start ();
  EXPECT_EQ (At, B.Fw.HobList);
  EXPECT_EQ (At % 8, 0u);
  EXPECT_EQ (B.M.Load<uint16_t> (At), HobList::kHandoff);
  EXPECT_EQ (B.M.Load<uint16_t> (At + 2), 56);
  EXPECT_EQ (B.M.Load<uint64_t> (At + 48), B.Hobs.EndOfList ());
  std::vector<uint16_t> Types;
  for (; B.M.Load<uint16_t> (At) != HobList::kEndOfList; At += B.M.Load<uint16_t> (At + 2)) {
    Types.push_back (B.M.Load<uint16_t> (At));
    ASSERT_EQ (B.M.Load<uint16_t> (At + 2) % 8, 0);
  }
  EXPECT_EQ (At, B.Hobs.EndOfList ());
  // Handoff, CPU (type 6 in the PI specification, not 0xB, which is a
  // capsule), resources, allocations, the two layout HOBs.
  EXPECT_EQ (Types, (std::vector<uint16_t>{1, 6, 3, 3, 3, 3, 2, 2, 4, 4}));
}

TEST_F (MapplateTest, FindsTheLayoutInAListTheDxeCoreMoved) {
  // On EDK II's DXE core the list drivers see is the core's copy, whose PHIT
  // still records where the earlier phase's list ended: below this one. The
  // end-of-list HOB ends the walk, and the layout is found and published.
  B.Hobs.MovedByDxeCore = true;
  B.Hobs.Republish ();
  ASSERT_LT (B.M.Load<uint64_t> (B.Hobs.Start () + 48), B.Hobs.Start ());
  EXPECT_EQ (Run (), efi::Success) << B.FaultReport () << B.UartText ();
  EXPECT_EQ (B.Smbios.OfType (0xCB).size (), 1u + platform::DefaultFlashLayout ().size ());
}

}  // namespace
}  // namespace vboard
