// Ledgermark on the virtual board: nothing happens before the event-log
// trigger protocol is installed; each installation adds one Type 15
// structure, byte for byte, with its own runtime copy of the log area; the
// used size decides the full status; failures publish nothing and leave
// nothing allocated.
#include "tests/EventLogSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <cstdio>

namespace vboard {
namespace {

using namespace test;

class LedgermarkTest : public ::testing::Test {
 protected:
  Board B;
  EventLogClient Log{B};

  void Start (bool WithEventLog = true) {
    if (WithEventLog) {
      ASSERT_EQ (Log.Start (), efi::Success) << B.FaultReport ();
    }
    ASSERT_EQ (B.Run (ModuleImage ("Ledgermark")), efi::Success) << B.FaultReport ();
    B.Uart0.Clear ();
  }
  // Installs the trigger; returns how many structures it added.
  size_t Trigger () {
    size_t Before = B.Smbios.Records ().size ();
    EXPECT_EQ (B.InstallEventLogTrigger (), efi::Success);
    EXPECT_FALSE (B.M.Faulted ()) << B.FaultReport ();
    return B.Smbios.Records ().size () - Before;
  }
  std::string AddressLine (const SmbiosRecord &R) {
    char Line[64];
    std::snprintf (Line, sizeof (Line), "SystemLogBaseAddr = %x .\r\n", CopyAddress (R));
    return Line;
  }
  size_t LiveBlocks () { return test::LiveBlocksOf (B, "Ledgermark"); }   // pool and pages it still holds
};

TEST_F (LedgermarkTest, ErasedLogGivesTheExactStructureAndACopyBelow4GiB) {
  Start ();
  EXPECT_TRUE (B.Smbios.Records ().empty ()) << "nothing before the trigger";
  EXPECT_EQ (LiveBlocks (), 0u);
  ASSERT_EQ (Trigger (), 1u);
  const SmbiosRecord &R = B.Smbios.Records ()[0];
  EXPECT_EQ (R.Bytes, ExpectedType15 (R.Handle, 0x01, CopyAddress (R)));
  EXPECT_EQ (R.ProducerHandle, 0u);
  EXPECT_EQ (B.Uart0.Text (), AddressLine (R));
  // The copy: 64 KiB of runtime-services data, erased like the area.
  const Allocation *A = B.Fw.Pool.Find (CopyAddress (R));
  ASSERT_NE (A, nullptr);
  EXPECT_EQ (A->MemoryType, efi::RuntimeServicesData);
  EXPECT_EQ (A->Size, kGpnvSize);
  EXPECT_EQ (B.M.ReadBytes (CopyAddress (R), kGpnvSize), std::vector<uint8_t> (kGpnvSize, 0xFF));
  // The structure buffer is freed; the copy is owned through the SMBIOS table.
  EXPECT_EQ (LiveBlocks (), 1u);
  EXPECT_TRUE (B.Fw.FindLeaks ().empty ());
}

TEST_F (LedgermarkTest, UsedSizeDecidesTheFullStatus) {
  // 0xFFF6 leaves room for a record, 0xFFF7 does not; the last fills the area.
  const std::pair<uint64_t, uint8_t> Cases[] = {{0xFFF6, 0x01}, {0xFFF7, 0x03}, {kGpnvSize, 0x03}};
  for (const auto &C : Cases) {
    Board Fresh;
    ASSERT_EQ (EventLogClient (Fresh).Start (), efi::Success);
    ASSERT_EQ (Fresh.Run (ModuleImage ("Ledgermark")), efi::Success);
    LayRecords (Fresh, LengthsSummingTo (C.first));
    ASSERT_EQ (Fresh.InstallEventLogTrigger (), efi::Success);
    ASSERT_EQ (Fresh.Smbios.Records ().size (), 1u);
    const SmbiosRecord &R = Fresh.Smbios.Records ()[0];
    EXPECT_EQ (R.Bytes[0x0B], C.second) << "used 0x" << std::hex << C.first;
    EXPECT_EQ (Fresh.M.ReadBytes (CopyAddress (R), kGpnvSize), Fresh.Flash.Read (kGpnvBase, kGpnvSize));
  }
}

TEST_F (LedgermarkTest, EveryTriggerAddsAStructureWithASnapshotOfTheLog) {
  Start ();
  ASSERT_EQ (Log.Write (0x0B), efi::Success);
  ASSERT_EQ (Trigger (), 1u);
  ASSERT_EQ (Log.Write (0x08), efi::Success);
  ASSERT_EQ (Trigger (), 1u);
  const SmbiosRecord &A = B.Smbios.Records ()[0], &C = B.Smbios.Records ()[1];
  EXPECT_NE (A.Handle, C.Handle);
  // The first copy does not follow later writes; the second has both records.
  EXPECT_EQ (B.M.ReadBytes (CopyAddress (A), 10), (std::vector<uint8_t>{0x0B, 8, 0x24, 0x12, 0x07, 0x23, 0x59, 0x58, 0xFF, 0xFF}));
  EXPECT_EQ (B.M.ReadBytes (CopyAddress (C), kGpnvSize), B.Flash.Read (kGpnvBase, kGpnvSize));
  EXPECT_EQ (B.M.Load<uint8_t> (CopyAddress (C) + 8), 0x08);
  EXPECT_EQ (LiveBlocks (), 2u);
  EXPECT_TRUE (B.Fw.FindLeaks ().empty ());
}

TEST_F (LedgermarkTest, FailuresPublishNothingAndFreeEverything) {
  Start ();
  B.Smbios.FailAdd = efi::OutOfResources;
  EXPECT_EQ (Trigger (), 0u);
  std::string Text = B.Uart0.Text ();
  EXPECT_EQ (Text.rfind ("SystemLogBaseAddr = ", 0), 0u) << Text;
  EXPECT_EQ (Text.substr (Text.find (".\r\n") + 3), "Add SMBIOS type15 failed .\r\n");
  EXPECT_EQ (LiveBlocks (), 0u) << "the copy nothing refers to is given back";
  B.Smbios.FailAdd.reset ();
  // The structure buffer, then the runtime copy, cannot be allocated.
  const std::pair<int64_t, const char *> Cases[] = {{0, "SMBIOS type15 buffer allocate failed: Out of Resources\r\n"},
                                                    {1, "SystemLogBaseAddr allocate failed: Out of Resources\r\n"}};
  for (const auto &C : Cases) {
    B.Uart0.Clear ();
    B.Fw.Pool.FailAfter (C.first);
    EXPECT_EQ (Trigger (), 0u);
    EXPECT_EQ (B.Uart0.Text (), C.second);
    EXPECT_EQ (LiveBlocks (), 0u);
  }
  B.Fw.Pool.FailAfter (-1);
  EXPECT_EQ (Trigger (), 1u) << "the event stays registered";
  // Without the SMBIOS protocol: an assertion.
  B.Smbios.Uninstall ();
  B.InstallEventLogTrigger ();
  ASSERT_TRUE (B.M.Faulted ());
  EXPECT_NE (B.Uart0.Text ().find ("\r\nASSERT_EFI_ERROR (Status = Not Found)\r\nASSERT [Ledgermark] "), std::string::npos);
}

TEST_F (LedgermarkTest, MissingEventLogProtocolAndMessageLevels) {
  Start (false);
  EXPECT_EQ (Trigger (), 0u);
  EXPECT_EQ (B.Uart0.Text (), "found event log protocol error. \r\n");
  EXPECT_EQ (LiveBlocks (), 0u);
  // At the information level only the address line, which is printed at
  // error and information level together, goes out.
  Board Info;
  Info.InstallDebugMask (0x40);
  ASSERT_EQ (Info.Run (ModuleImage ("Ledgermark")), efi::Success);
  Info.InstallEventLogTrigger ();
  EXPECT_EQ (Info.UartText (), "");
  ASSERT_EQ (EventLogClient (Info).Start (), efi::Success);
  Info.InstallEventLogTrigger ();
  ASSERT_EQ (Info.Smbios.Records ().size (), 1u);
  EXPECT_EQ (Info.UartText (), AddressLine (Info.Smbios.Records ()[0]));
}

TEST_F (LedgermarkTest, RegistersASignalEventAtCallbackForTheTrigger) {
  Start ();
  const ServiceCall *Create = nullptr, *Notify = nullptr;
  for (const auto &C : B.Fw.Calls) {
    if (C.Caller != "Ledgermark") continue;
    if (C.Name == "BS.CreateEvent") Create = &C;
    if (C.Name == "BS.RegisterProtocolNotify") Notify = &C;
  }
  ASSERT_NE (Create, nullptr);
  ASSERT_NE (Notify, nullptr);
  EXPECT_EQ (Create->Arg (0), efi::EvtNotifySignal) << "type";
  EXPECT_EQ (Create->Arg (1), efi::TplCallback) << "notify TPL";
  EXPECT_EQ (Create->Arg (3), 0u) << "no context";
  EXPECT_EQ (Notify->GuidArg (0), "gEventLogTriggerProtocolGuid");
  const EventRecord *E = B.Fw.FindEvent (Notify->Arg (1));
  ASSERT_NE (E, nullptr) << "the notification uses the event just created";
  EXPECT_EQ (E->NotifyFunction, Create->Arg (2));
}

TEST (LedgermarkEntry, ATriggerInstalledBeforeTheDriverIsPublishedOnce) {
  // The trigger's producer was dispatched first: the driver publishes the
  // log at its start, and a later installation adds one structure, not two.
  Board B;
  ASSERT_EQ (EventLogClient (B).Start (), efi::Success);
  ASSERT_EQ (B.InstallEventLogTrigger (), efi::Success);
  ASSERT_EQ (B.Run (ModuleImage ("Ledgermark")), efi::Success) << B.FaultReport ();
  EXPECT_EQ (B.Smbios.OfType (15).size (), 1u);
  ASSERT_EQ (B.InstallEventLogTrigger (), efi::Success);
  EXPECT_EQ (B.Smbios.OfType (15).size (), 2u);
  // The driver first: nothing at its start, one structure per installation.
  Board A;
  ASSERT_EQ (EventLogClient (A).Start (), efi::Success);
  ASSERT_EQ (A.Run (ModuleImage ("Ledgermark")), efi::Success);
  EXPECT_TRUE (A.Smbios.OfType (15).empty ());
  ASSERT_EQ (A.InstallEventLogTrigger (), efi::Success);
  EXPECT_EQ (A.Smbios.OfType (15).size (), 1u);
  EXPECT_FALSE (A.M.Faulted () || B.M.Faulted ());
}

TEST (LedgermarkEntry, FailedCreateEventAssertsOrUnloadsTheDriver) {
  // A debug image stops in the assertion; a release image (assertions off)
  // returns the error, so the DXE core unloads a driver that could never
  // publish anything.
  Board Debug;
  Debug.Fw.Events.FailCreate = efi::OutOfResources;
  Debug.Run (ModuleImage ("Ledgermark"));
  ASSERT_TRUE (Debug.M.Faulted ());
  EXPECT_EQ (Debug.Uart0.Text ().rfind ("\r\nASSERT_EFI_ERROR (Status = Out of Resources)\r\nASSERT [Ledgermark] ", 0), 0u)
      << Debug.Uart0.Text ();

  Board Release;
  Release.Fw.Events.FailCreate = efi::OutOfResources;
  EXPECT_EQ (Release.Run (ReleaseImage ("Ledgermark")), efi::OutOfResources);
  EXPECT_FALSE (Release.M.Faulted ()) << Release.FaultReport ();
  EXPECT_EQ (Release.UartText (), "");
  EXPECT_TRUE (Release.Fw.ImageNamed ("Ledgermark")->Unloaded);
  for (const auto &C : Release.Fw.Calls) EXPECT_NE (C.Name, "BS.RegisterProtocolNotify");
}

// The board's SMBIOS protocol that Ledgermark (and the other SMBIOS
// producers) add through.
TEST (SmbiosService, AddAssignsHandlesAndMeasuresStructures) {
  Board B;
  uint64_t Smbios = B.Smbios.Interface (), Handle = B.Scratch (2);
  auto Add = [&] (uint16_t Requested, const std::vector<uint8_t> &Bytes, uint64_t HandlePtr = ~0ULL) {
    B.M.Store<uint16_t> (Handle, Requested);
    return B.Fw.CallGuest (B.M.Load<uint64_t> (Smbios), {Smbios, 0, HandlePtr == ~0ULL ? Handle : HandlePtr, B.Fw.HostCopy (Bytes.data (), Bytes.size ())});
  };
  const std::vector<uint8_t> WithStrings = {200, 5, 0x34, 0x12, 9, 'a', 'b', 0, 'c', 0, 0, 0xEE};
  EXPECT_EQ (Add (0xFFFE, WithStrings), efi::Success);
  EXPECT_EQ (B.M.Load<uint16_t> (Handle), 0u);
  EXPECT_EQ (Add (0xFFFE, {127, 4, 0, 0, 0, 0, 0xEE}), efi::Success);
  EXPECT_EQ (Add (7, {1, 4, 0, 0, 0, 0}), efi::Success);
  EXPECT_EQ (Add (0xFFFE, {1, 4, 0, 0, 0, 0}), efi::Success);
  EXPECT_EQ (B.M.Load<uint16_t> (Handle), 2u) << "the lowest free handle";
  ASSERT_EQ (B.Smbios.Records ().size (), 4u);
  const SmbiosRecord &R = B.Smbios.Records ()[0];
  EXPECT_EQ (R.Bytes, (std::vector<uint8_t>{200, 5, 0, 0, 9, 'a', 'b', 0, 'c', 0, 0})) << "the handle field is filled in";
  EXPECT_EQ (R.Strings (), (std::vector<std::string>{"ab", "c"}));
  EXPECT_EQ (B.Smbios.Records ()[1].Bytes.size (), 6u);
  // Refusals add nothing.
  EXPECT_EQ (Add (7, {1, 4, 0, 0, 0, 0}), efi::AlreadyStarted);
  EXPECT_EQ (Add (0xFF00, {1, 4, 0, 0, 0, 0}), efi::InvalidParameter);
  EXPECT_EQ (Add (0xFFFE, {1, 4, 0, 0, 0, 0}, 0), efi::InvalidParameter);
  EXPECT_EQ (B.Smbios.Records ().size (), 4u);
  // What the SMBIOS driver's walk accepts although no consumer reads it
  // right goes in, and is noted: a formatted area shorter than its header,
  // a string set led by an empty string (counted as one string).
  B.Fw.Findings.clear ();
  EXPECT_EQ (Add (0xFFFE, {1, 3, 0, 0, 0, 0}), efi::Success);
  EXPECT_EQ (B.Smbios.Records ().back ().Bytes.size (), 5u);
  EXPECT_EQ (Add (0xFFFE, {1, 4, 0, 0, 0, 'x', 0, 0}), efi::Success);
  EXPECT_EQ (B.Smbios.Records ().back ().Bytes, (std::vector<uint8_t>{1, 4, 4, 0, 0, 'x', 0, 0}));
  EXPECT_EQ (B.Smbios.Records ().back ().NumberOfStrings, 1u);
  EXPECT_EQ (B.Fw.Findings.size (), 2u);
  EXPECT_FALSE (B.M.Faulted ()) << B.FaultReport ();
  // The dump: entry point, the table, and the end-of-table structure on the
  // highest valid handle.
  std::vector<uint8_t> Dump = B.Smbios.DumpImage ();
  EXPECT_EQ (std::string (Dump.begin (), Dump.begin () + 5), "_SM3_");
  uint8_t Sum = 0;
  for (int I = 0; I < 0x18; I++) Sum += Dump[I];
  EXPECT_EQ (Sum, 0);
  EXPECT_EQ (std::vector<uint8_t> (Dump.end () - 6, Dump.end ()), (std::vector<uint8_t>{127, 4, 0xFF, 0xFE, 0, 0}));
}

TEST (SmbiosService, TheTableStaysWithinWhatItsEntryPointCanDescribe) {
  // EDK II's SmbiosAdd: for a table with a 32-bit entry point (SMBIOS 2.x)
  // "the length of the entire structure table (including all strings) must
  // be reported in the Structure Table Length field ... a WORD field limited
  // to 65,535 bytes"; a record that would pass it, counted with the table's
  // end-of-table structure, gets EFI_OUT_OF_RESOURCES once the driver has
  // built its first table. The handle it assigned is written back first.
  Board B;
  B.Smbios.Uninstall ();
  B.Smbios.Install (2, 6);
  uint64_t Smbios = B.Smbios.Interface (), Handle = B.Scratch (2);
  // A type 0x80 structure of exactly Size bytes: a 4-byte header, strings
  // of at most 63 characters, the closing NUL.
  auto Record = [] (size_t Size) {
    std::vector<uint8_t> R = {0x80, 4, 0, 0};
    size_t Left = Size - R.size () - 1;
    while (Left > 0) {
      size_t Piece = std::min<size_t> (Left, 64);
      if (Left - Piece == 1) Piece--;   // no one-byte (empty) string at the end
      R.insert (R.end (), Piece - 1, 'x');
      R.push_back (0);
      Left -= Piece;
    }
    R.push_back (0);
    return R;
  };
  auto Add = [&] (const std::vector<uint8_t> &Bytes) {
    B.M.Store<uint16_t> (Handle, 0xFFFE);
    return B.Fw.CallGuest (B.M.Load<uint64_t> (Smbios), {Smbios, 0, Handle, B.Fw.HostCopy (Bytes.data (), Bytes.size ())});
  };
  ASSERT_EQ (Record (1000).size (), 1000u);
  // The first record is not checked: no table has been built yet.
  EXPECT_EQ (Add (Record (0xFFFF)), efi::Success);
  EXPECT_EQ (Add (Record (6)), efi::OutOfResources);
  EXPECT_EQ (B.M.Load<uint16_t> (Handle), 1u) << "assigned before the refusal";
  EXPECT_EQ (B.Fw.CallGuest (B.M.Load<uint64_t> (Smbios + 16), {Smbios, 0}), efi::Success);   // Remove
  // Now the records and the 6-byte end of table may fill 0xFFFF bytes exactly.
  EXPECT_EQ (Add (Record (40000)), efi::Success);
  EXPECT_EQ (Add (Record (0xFFFF - 6 - 40000 + 1)), efi::OutOfResources);
  EXPECT_EQ (Add (Record (0xFFFF - 6 - 40000)), efi::Success);
  EXPECT_EQ (Add (Record (6)), efi::OutOfResources);
  EXPECT_EQ (B.Smbios.Records ().size (), 2u);
  EXPECT_EQ (B.Smbios.Table ().size (), 0xFFFFu);
  EXPECT_FALSE (B.M.Faulted ()) << B.FaultReport ();
}

TEST (SmbiosService, StringsHandlesAndWalksAsTheSmbiosDriver) {
  Board B;
  uint64_t Smbios = B.Smbios.Interface (), Handle = B.Scratch (2), Number = B.Scratch (8), Out = B.Scratch (8);
  auto Member = [&] (unsigned Slot) { return B.M.Load<uint64_t> (Smbios + 8 * Slot); };
  auto Add = [&] (uint16_t Requested, const std::vector<uint8_t> &Bytes) {
    B.M.Store<uint16_t> (Handle, Requested);
    return B.Fw.CallGuest (Member (0), {Smbios, 0, Handle, B.Fw.HostCopy (Bytes.data (), Bytes.size ())});
  };
  auto Update = [&] (uint16_t H, uint64_t N, const std::string &S) {
    B.M.Store<uint16_t> (Handle, H);
    B.M.Store<uint64_t> (Number, N);
    return B.Fw.CallGuest (Member (1), {Smbios, Handle, Number, B.Fw.HostCopy (S.c_str (), S.size () + 1)});
  };
  // A string of any length under SMBIOS 3.x; two strings to update.
  std::vector<uint8_t> Long = {11, 5, 0, 0, 1};
  Long.insert (Long.end (), 300, 'L');
  Long.insert (Long.end (), {0, 'b', 0, 0});
  ASSERT_EQ (Add (0xFFFE, Long), efi::Success);
  EXPECT_EQ (Update (0, 2, "longer"), efi::Success);
  EXPECT_EQ (B.Smbios.Records ()[0].Strings ().at (1), "longer");
  EXPECT_EQ (Update (0, 3, "x"), efi::NotFound);
  EXPECT_EQ (Update (0, 0, "x"), efi::NotFound);
  EXPECT_EQ (Update (5, 1, "x"), efi::InvalidParameter) << "no such record";
  EXPECT_EQ (Update (0xFF00, 1, "x"), efi::InvalidParameter);
  B.M.Store<uint16_t> (Handle, 0);
  B.M.Store<uint64_t> (Number, 1);
  EXPECT_EQ (B.Fw.CallGuest (Member (1), {Smbios, Handle, Number, 0}), efi::Aborted) << "no string";
  // GetNext hands out the updated record.
  B.M.Store<uint16_t> (Handle, 0xFFFE);
  ASSERT_EQ (B.Fw.CallGuest (Member (3), {Smbios, Handle, 0, Out, 0}), efi::Success);
  EXPECT_EQ (B.M.ReadAscii (B.M.Load<uint64_t> (Out) + 5 + 301), "longer");
  // A start handle no record has ends the walk with 0xFFFE.
  B.M.Store<uint16_t> (Handle, 0x1234);
  EXPECT_EQ (B.Fw.CallGuest (Member (3), {Smbios, Handle, 0, Out, 0}), efi::NotFound);
  EXPECT_EQ (B.M.Load<uint16_t> (Handle), 0xFFFEu);
  // Remove frees the handle for the next assignment.
  EXPECT_EQ (B.Fw.CallGuest (Member (2), {Smbios, 0}), efi::Success);
  EXPECT_EQ (B.Fw.CallGuest (Member (2), {Smbios, 0}), efi::InvalidParameter);
  EXPECT_EQ (Add (0xFFFE, {1, 4, 0, 0, 0, 0}), efi::Success);
  EXPECT_EQ (B.M.Load<uint16_t> (Handle), 0u);
  EXPECT_FALSE (B.M.Faulted ()) << B.FaultReport ();

  // Before SMBIOS 2.7 a string holds at most 64 bytes (63 and its NUL
  // pass, 64 do not), also in UpdateString.
  Board Old;
  Old.Smbios.Uninstall ();
  Old.Smbios.Install (2, 6);
  Smbios = Old.Smbios.Interface ();
  auto OldAdd = [&] (size_t Chars) {
    std::vector<uint8_t> R = {11, 5, 0, 0, 1};
    R.insert (R.end (), Chars, 'S');
    R.insert (R.end (), {0, 0});
    uint64_t H = Old.Scratch (2);
    Old.M.Store<uint16_t> (H, 0xFFFE);
    return Old.Fw.CallGuest (Old.M.Load<uint64_t> (Smbios), {Smbios, 0, H, Old.Fw.HostCopy (R.data (), R.size ())});
  };
  EXPECT_EQ (OldAdd (63), efi::Success);
  EXPECT_EQ (OldAdd (64), efi::InvalidParameter);
  // A This that is not the protocol is misuse.
  Old.Fw.CallGuest (Old.M.Load<uint64_t> (Smbios + 16), {Smbios + 8, 0});
  EXPECT_TRUE (Old.M.Faulted ());
}

}  // namespace
}  // namespace vboard
