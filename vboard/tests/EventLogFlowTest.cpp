// The event log across boots on one flash image: records appended through
// Tallyvault in one boot are published by Ledgermark in the next and decoded
// by Debian's dmidecode from the board's SMBIOS dump; failing erases and
// writes and a power cut in the middle of a write lose no record written
// before; a log of 8191 records still appends and walks, at a cost measured
// in emulated instructions.
#include "tests/EventLogSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

namespace vboard {
namespace {

using namespace test;

TEST (EventLogFlow, RecordsOfOneBootArePublishedByTheNext) {
  TempFile Flash ("flash");
  std::vector<uint8_t> Written;
  {
    Board First;
    EventLogClient Log (First);
    ASSERT_EQ (Log.Start (), efi::Success);
    ASSERT_EQ (Log.Write (0x0B), efi::Success);
    ASSERT_EQ (Log.Write (0x08, 0, 0, Log.Time (2025, 6, 30, 8, 0, 1), 0x00000400, 0x80000000), efi::Success);
    ASSERT_EQ (Log.WriteData (0x10, {0xDE, 0xAD, 0xBE, 0xEF}), efi::Success);
    Written = First.Flash.Read (kGpnvBase, 36);
    First.Flash.Save (Flash.Path);
  }
  Board Next;
  NextBoot (Next, Flash.Path);
  const SmbiosRecord &R = *Next.Smbios.OfType (15)[0];
  EXPECT_EQ (R.Bytes, ExpectedType15 (R.Handle, 0x01, CopyAddress (R)));
  EXPECT_EQ (Next.M.ReadBytes (CopyAddress (R), kGpnvSize), Next.Flash.Read (kGpnvBase, kGpnvSize));
  EXPECT_EQ (Next.M.ReadBytes (CopyAddress (R), 36), Written);
  EXPECT_TRUE (Next.Fw.FindLeaks ().empty ());
  ExpectDmidecodeShows (Next, "Valid, Not Full");
}

TEST (EventLogFlow, CommandLineKeepsTheFlashInAFileAndDumpsSmbios) {
  TempFile Flash ("flash"), Dump ("dmi");
  std::string Output;
  std::remove (Flash.Path.c_str ());
  std::string Tool = std::string (VBOARD_TOOL) + " --flash " + Flash.Path + " --dump-smbios " + Dump.Path + " " +
                     ModuleImage ("Tallyvault") + " " + ModuleImage ("Ledgermark");
  ASSERT_EQ (RunCommand (Tool, Output), 0) << Output;
  Board B;
  ASSERT_TRUE (B.Flash.LoadIfPresent (Flash.Path)) << "the image is written at exit";
  LayRecords (B, LengthsSummingTo (0xFFF7));
  B.Flash.Save (Flash.Path);
  ASSERT_EQ (RunCommand (Tool, Output), 0) << Output;
  EXPECT_NE (Output.find ("flash image loaded from " + Flash.Path + "\n"), std::string::npos) << Output;
  EXPECT_NE (Output.find ("Ledgermark: added SMBIOS type 15"), std::string::npos) << Output;
  Board Check;
  ASSERT_TRUE (Check.Flash.LoadIfPresent (Flash.Path));
  EXPECT_EQ (Check.Flash.Image (), B.Flash.Image ());
  ASSERT_EQ (RunCommand ("dmidecode --from-dump " + Dump.Path + " -t 15", Output), 0) << Output;
  EXPECT_NE (Output.find ("System Event Log\n\tArea Length: 65535 bytes"), std::string::npos) << Output;
  EXPECT_NE (Output.find ("Status: Valid, Full"), std::string::npos) << Output;
}

TEST (EventLogFlow, FaultsLoseNoRecordWrittenBefore) {
  // Three records (28 bytes), then a fault: a failing erase, or a type 08h
  // record of 16 bytes meets a failing write or a power cut that leaves its
  // first N bytes. The next boot walks the log and appends a type 0Bh record.
  auto Post = [] (EventLogClient &Log) { return Log.Write (0x08, 0, 0, Log.Time (), 0x01020304, 0x05060708); };
  auto CutAfter = [Post] (uint64_t N) {
    return [Post, N] (Board &B, EventLogClient &Log) {
      B.Flash.PowerCutAfterBytes = N;
      return Post (Log);
    };
  };
  struct Case {
    const char *Name;
    std::function<uint64_t (Board &, EventLogClient &)> Fault;
    uint64_t Status;
    std::vector<uint64_t> TornWalk;   // what the walk returns after the three records (offsets from 28)
    uint8_t NextType;                 // the next boot's record reads back so...
    uint64_t NextAt;                  // ...at this offset from 28
  } Cases[] = {
      {"erase fails", [] (Board &B, EventLogClient &Log) { B.Flash.FailErase = efi::DeviceError; return Log.Erase (); },
       efi::DeviceError, {0}, 0x0B, 0},
      {"write fails", [Post] (Board &B, EventLogClient &Log) { B.Flash.FailWrite = efi::DeviceError; return Post (Log); },
       efi::DeviceError, {0}, 0x0B, 0},
      // Nothing programmed: the area is as before.
      {"cut after 0 bytes", CutAfter (0), efi::Aborted, {0}, 0x0B, 0},
      // A type byte alone: walked as a 255-byte record, but taken as the free
      // position; the new header is ANDed into it (0x0B & 0x08).
      {"cut after 1 byte", CutAfter (1), efi::Aborted, {0, 255}, 0x08, 0},
      // Type and length: skipped as a 16-byte record of mostly erased bytes.
      {"cut after 2 bytes", CutAfter (2), efi::Aborted, {0, 16}, 0x0B, 16},
      {"cut after 15 bytes", CutAfter (15), efi::Aborted, {0, 16}, 0x0B, 16},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE (C.Name);
    TempFile Flash ("flash");
    std::vector<uint8_t> Before;
    {
      Board B;
      EventLogClient Log (B);
      ASSERT_EQ (Log.Start (), efi::Success);
      ASSERT_EQ (Log.Write (0x0B), efi::Success);
      ASSERT_EQ (Log.WriteData (0x0B, {1, 2, 3, 4}), efi::Success);
      ASSERT_EQ (Log.Write (0x12), efi::Success);
      Before = B.Flash.Read (kGpnvBase, 28);
      EXPECT_EQ (C.Fault (B, Log), C.Status);
      EXPECT_EQ (B.M.Halted (), C.Status == efi::Aborted) << "a power cut halts the board";
      EXPECT_FALSE (B.M.Faulted ()) << B.FaultReport ();
      B.Flash.Save (Flash.Path);
    }
    Board Next;
    NextBoot (Next, Flash.Path);
    EventLogClient Log (Next);
    Log.Interface = *Next.Fw.FindProtocol (platform::kGpnvEventLogProtocol);
    EXPECT_EQ (Next.Flash.Read (kGpnvBase, 28), Before);
    std::vector<uint64_t> Expected = {0, 8, 20}, Walk;
    for (uint64_t T : C.TornWalk) Expected.push_back (28 + T);
    for (uint64_t R : Log.Walk ()) Walk.push_back (R - kGpnvBase);
    EXPECT_EQ (Walk, Expected);
    ASSERT_EQ (Log.Write (0x0B), efi::Success);
    EXPECT_EQ (Next.Flash.Read (kGpnvBase + 28 + C.NextAt, 8),
               (std::vector<uint8_t>{C.NextType, 8, 0x24, 0x12, 0x07, 0x23, 0x59, 0x58}));
  }
}

TEST (EventLogFlow, LogOf8191RecordsAppendsWalksAndReportsFull) {
  // What one append costs behind 1 and behind 8190 eight-byte records.
  auto AppendCost = [] (const std::string &Image, size_t Records) {
    Board B;
    EventLogClient Log (B);
    EXPECT_EQ (Log.Start (Image), efi::Success);
    LayRecords (B, Repeat (Records, 8));
    uint64_t Time = Log.Time (), Before = B.M.Instructions ();
    EXPECT_EQ (Log.Write (0x0B, 0, 0, Time), efi::Success);
    return B.M.Instructions () - Before;
  };
  for (const std::string &Image : {ModuleImage ("Tallyvault"), ReleaseImage ("Tallyvault")}) {
    uint64_t One = AppendCost (Image, 1), Big = AppendCost (Image, 8190);
    std::printf ("[ measured ] %s: one append costs %llu instructions behind 1 record, %llu behind 8190\n",
                 Image.c_str (), static_cast<unsigned long long> (One), static_cast<unsigned long long> (Big));
    EXPECT_LT (Big - One, 8189u * 40) << "the walk costs a bounded number of instructions per record";
  }

  TempFile Flash ("flash");
  {
    Board B;
    EventLogClient Log (B);
    ASSERT_EQ (Log.Start (), efi::Success);
    LayRecords (B, Repeat (8190, 8));
    EXPECT_EQ (Log.Write (0x0B), efi::Success);
    EXPECT_EQ (B.Flash.Operations.back ().Address, kGpnvEnd - 16) << "the 8191st record";
    EXPECT_EQ (Log.Write (0x0B), efi::OutOfResources) << "the 8192nd would end on the area's end";
    EXPECT_TRUE (Log.LogFull ());
    std::vector<uint64_t> Walk = Log.Walk ();
    ASSERT_EQ (Walk.size (), 8192u);
    EXPECT_EQ (Walk.back (), kGpnvEnd - 8) << "the end marker";
    B.Flash.Save (Flash.Path);
  }
  Board Next;
  NextBoot (Next, Flash.Path);
  EXPECT_EQ (Next.Smbios.OfType (15)[0]->Bytes[0x0B], 0x03);
  ExpectDmidecodeShows (Next, "Valid, Full");
}

}  // namespace
}  // namespace vboard
