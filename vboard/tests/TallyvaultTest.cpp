// Tallyvault on the virtual board: the records it programs into the NOR
// flash byte for byte, the fit rule, the full log with and without the erase
// option, the walk, and every failure path with its message.
#include "tests/EventLogSupport.h"

#include <gtest/gtest.h>

namespace vboard {
namespace {

using namespace test;

const std::string kErasedFirst = "CurrentLog->Type : 255, Length: 255 \r\n";
const std::string kWrote8 = "gpnv EventLogType: 11 \r\ngpnv NumBytes: 8 \r\n";

class TallyvaultTest : public ::testing::Test {
 protected:
  Board B;
  EventLogClient Log{B};

  void SetUp () override {
    ASSERT_EQ (Log.Start (), efi::Success) << B.FaultReport ();
    EXPECT_EQ (B.Uart0.Text (), "mGpnvSize 0x10000 \r\n");
    B.Uart0.Clear ();
  }
  std::vector<uint8_t> Area (uint64_t Offset = 0, uint64_t Size = kGpnvSize) { return B.Flash.Read (kGpnvBase + Offset, Size); }
  size_t SetupReads () {
    size_t N = 0;
    for (const auto &C : B.Fw.Calls) N += C.Name == "RT.GetVariable" && C.Caller == "Tallyvault";
    return N;
  }
  void Full () { LayRecords (B, Repeat (kGpnvSize / 8 - 1, 8)); }   // no 8-byte record fits
};

TEST_F (TallyvaultTest, RecordsAreLaidBackToBackInTheirFormats) {
  EXPECT_EQ (B.Fw.ImageAt (Log.Interface), B.Fw.ImageNamed ("Tallyvault")) << "the instance is a module global";
  std::vector<uint8_t> Four = {0xA1, 0xB2, 0xC3, 0xD4};
  // Type 0Bh, no data: 8 bytes; the POST DWORDs of other types are dropped.
  EXPECT_EQ (Log.Write (0x0B, 0, 0, Log.Time (), 0x11111111, 0x22222222), efi::Success);
  EXPECT_EQ (B.Uart0.Text (), kErasedFirst + kWrote8);
  // Type 08h: the POST-results DWORDs at 8 and 12, data at 16.
  EXPECT_EQ (Log.Write (0x08, 0, 0, Log.Time (), 0x44332211, 0x88776655), efi::Success);
  EXPECT_EQ (Log.Write (0x08, 4, Log.Bytes (Four), Log.Time (2031, 1, 2, 3, 4, 5), 1, 2), efi::Success);
  // DataSize without Data, or Data without DataSize: no data.
  EXPECT_EQ (Log.Write (0x0B, 4, 0), efi::Success);
  EXPECT_EQ (Log.Write (0x0B, 0, Log.Bytes (Four)), efi::Success);
  const std::vector<uint8_t> Expected = {
      0x0B, 8, 0x24, 0x12, 0x07, 0x23, 0x59, 0x58,
      0x08, 16, 0x24, 0x12, 0x07, 0x23, 0x59, 0x58, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
      0x08, 20, 0x31, 0x01, 0x02, 0x03, 0x04, 0x05, 1, 0, 0, 0, 2, 0, 0, 0, 0xA1, 0xB2, 0xC3, 0xD4,
      0x0B, 8, 0x24, 0x12, 0x07, 0x23, 0x59, 0x58,
      0x0B, 8, 0x24, 0x12, 0x07, 0x23, 0x59, 0x58,
      0xFF, 0xFF};
  EXPECT_EQ (Area (0, Expected.size ()), Expected);
  // One write of WordCount * 4 bytes per record, at the free position.
  ASSERT_EQ (B.Flash.Operations.size (), 5u);
  EXPECT_EQ (B.Flash.Operations[2].Address, kGpnvBase + 24);
  EXPECT_EQ (B.Flash.Operations[2].Length, 20u);
  EXPECT_EQ (SetupReads (), 0u) << "the setup option is read only when the log is full";
  EXPECT_TRUE (B.Fw.FindLeaks ().empty ()) << "the record buffer is freed";
}

TEST_F (TallyvaultTest, OddLengthRecordIsProgrammedWhole) {
  EXPECT_EQ (Log.WriteData (0x0B, {0x5A}), efi::Success);
  EXPECT_EQ (Area (0, 12), (std::vector<uint8_t>{0x0B, 9, 0x24, 0x12, 0x07, 0x23, 0x59, 0x58, 0x5A, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ (B.Flash.Operations.back ().Length, 12u) << "padded to a whole word";
  // The next record follows at offset 9 and the walk sees both.
  EXPECT_EQ (Log.WriteData (0x0B, {1, 2, 3}), efi::Success);
  EXPECT_EQ (Area (9, 12), (std::vector<uint8_t>{0x0B, 11, 0x24, 0x12, 0x07, 0x23, 0x59, 0x58, 1, 2, 3, 0xFF}));
  EXPECT_EQ (Log.Walk (), (std::vector<uint64_t>{kGpnvBase, kGpnvBase + 9, kGpnvBase + 20}));
  // Behind the odd record the write starts on the word boundary below the
  // free position; the lead-in 0xFF leaves the first record's last byte alone.
  EXPECT_EQ (B.Flash.Operations.back ().Address, kGpnvBase + 8);
  EXPECT_EQ (B.Flash.Operations.back ().Length, 12u);
  EXPECT_EQ (Area (8, 1), (std::vector<uint8_t>{0x5A}));
}

TEST_F (TallyvaultTest, UnalignedRecordAtTheEndStaysInsideTheArea) {
  // A 9-byte record, then 8-byte ones up to 15 bytes before the end: the
  // free position is one byte past a word boundary, and a 14-byte record
  // still fits (it leaves one byte).
  std::vector<uint8_t> Lengths = Repeat (8189, 8);
  Lengths.insert (Lengths.begin (), 9);
  LayRecords (B, Lengths);
  EXPECT_EQ (Log.WriteData (0x0B, {1, 2, 3, 4, 5, 6}), efi::Success);
  const auto &W = B.Flash.Operations.back ();
  EXPECT_EQ (W.Address % 4, 0u);
  EXPECT_EQ (W.Address + W.Length, kGpnvBase + kGpnvSize) << "the write ends on the area's end, not past it";
  EXPECT_EQ (Area (kGpnvSize - 15, 15),
             (std::vector<uint8_t>{0x0B, 14, 0x24, 0x12, 0x07, 0x23, 0x59, 0x58, 1, 2, 3, 4, 5, 6, 0xFF}));
  EXPECT_EQ (Log.Walk ().size (), 8191u) << "8191 records; no header fits on the area's last byte";
}

TEST_F (TallyvaultTest, UnstorableRecordsAreRefusedBeforeAnythingIsWritten) {
  B.SetSetupByte (platform::kSystemSetupConfig, kEraseOptionOffset, 1);
  Full ();   // a record that got as far as the walk would erase the log
  std::vector<uint8_t> Before = Area ();
  uint64_t Data = Log.Bytes (std::vector<uint8_t> (247, 0x33));
  // 255 bytes (a Length byte of 0xFF reads as erased), with and without the
  // POST header; a size that overflows; type 0xFF; no time.
  const std::vector<std::vector<uint64_t>> Cases = {
      {0x0B, 247, Log.Time ()}, {0x08, 239, Log.Time ()}, {0x0B, ~0ULL - 4, Log.Time ()}, {0xFF, 0, Log.Time ()}, {0x0B, 0, 0}};
  for (const auto &C : Cases) {
    B.Uart0.Clear ();
    EXPECT_EQ (Log.Write (static_cast<uint8_t> (C[0]), C[1], Data, C[2]), efi::InvalidParameter) << C[1];
    EXPECT_EQ (B.Uart0.Text (), "CurrentLog->Type : 16, Length: 8 \r\ngpnv EFI_INVALID_PARAMETER \r\n");
  }
  EXPECT_TRUE (B.Flash.Operations.empty ());
  EXPECT_EQ (Area (), Before);
  // The longest storable record, 254 bytes, goes in whole.
  ASSERT_EQ (Log.Erase (), efi::Success);
  EXPECT_EQ (Log.Write (0x08, 238, Data), efi::Success);
  EXPECT_EQ (Area (0, 2), (std::vector<uint8_t>{0x08, 254}));
  EXPECT_EQ (Area (253, 3), (std::vector<uint8_t>{0x33, 0xFF, 0xFF}));
}

TEST_F (TallyvaultTest, ARecordMustLeaveOneByteOfTheArea) {
  LayRecords (B, Repeat ((kGpnvSize - 24) / 8, 8));   // 24 bytes left
  std::vector<uint8_t> Before = Area ();
  EXPECT_EQ (Log.WriteData (0x0B, std::vector<uint8_t> (16, 0x77)), efi::OutOfResources) << "ends on the area's end";
  EXPECT_TRUE (Log.LogFull ());
  EXPECT_EQ (Area (), Before);
  EXPECT_EQ (Log.WriteData (0x0B, std::vector<uint8_t> (15, 0x77)), efi::Success) << "one byte less fits";
  EXPECT_FALSE (Log.LogFull ());
  std::vector<uint8_t> Tail = {0x0B, 23, 0x24, 0x12, 0x07, 0x23, 0x59, 0x58};
  Tail.resize (23, 0x77);
  Tail.push_back (0xFF);
  EXPECT_EQ (Area (kGpnvSize - 24, 24), Tail);
}

TEST_F (TallyvaultTest, FullLogRefusesOrErasesAsTheSetupOptionSays) {
  Full ();
  std::vector<uint8_t> Before = Area ();
  // No SystemSetupConfig: refused; a later good erase clears LogFull.
  EXPECT_EQ (Log.Write (0x0B), efi::OutOfResources);
  EXPECT_TRUE (Log.LogFull ());
  EXPECT_EQ (B.Uart0.Text (), "CurrentLog->Type : 16, Length: 8 \r\nMesk: can't find SystemSetupConfig.\r\n"
                              "gpnv EFI_OUT_OF_RESOURCES \r\n");
  // Option 0, and a stored record too short to hold the option: refused.
  for (std::vector<uint8_t> Setup : {std::vector<uint8_t> (184, 0), std::vector<uint8_t> (10, 1)}) {
    B.SetSetup (platform::kSystemSetupConfig, Setup);
    B.Uart0.Clear ();
    EXPECT_EQ (Log.Write (0x0B), efi::OutOfResources);
    EXPECT_TRUE (Log.LogFull ());
    EXPECT_EQ (B.Uart0.Text (), "CurrentLog->Type : 16, Length: 8 \r\ngpnv EFI_OUT_OF_RESOURCES \r\n");
  }
  EXPECT_EQ (SetupReads (), 3u);
  EXPECT_EQ (Area (), Before);

  // Option set: the area is erased and the record is alone at its start.
  B.SetSetupByte (platform::kSystemSetupConfig, kEraseOptionOffset, 0x80);
  B.Uart0.Clear ();
  EXPECT_EQ (Log.Write (0x0B), efi::Success);
  EXPECT_FALSE (Log.LogFull ());
  EXPECT_EQ (B.Uart0.Text (), "CurrentLog->Type : 16, Length: 8 \r\nFlashErase Result = Success.\r\n" + kWrote8);
  ASSERT_EQ (B.Flash.Operations.size (), 2u);
  EXPECT_TRUE (B.Flash.Operations[0].Erase);
  EXPECT_EQ (B.Flash.Operations[0].Address, kGpnvBase);
  std::vector<uint8_t> Expected (kGpnvSize, 0xFF);
  const uint8_t First[] = {0x0B, 8, 0x24, 0x12, 0x07, 0x23, 0x59, 0x58};
  std::copy (std::begin (First), std::end (First), Expected.begin ());
  EXPECT_EQ (Area (), Expected);
}

TEST_F (TallyvaultTest, SetupReadAsksFor184BytesWithoutAttributes) {
  Full ();
  // A stored record larger than 184 bytes cannot be read into the buffer:
  // unreadable, so the full log is refused even though the option is set.
  std::vector<uint8_t> Oversized (185, 0);
  Oversized[kEraseOptionOffset] = 1;
  B.SetSetup (platform::kSystemSetupConfig, Oversized);
  EXPECT_EQ (Log.Write (0x0B), efi::OutOfResources);
  EXPECT_TRUE (Log.LogFull ());
  EXPECT_EQ (B.Uart0.Text (), "CurrentLog->Type : 16, Length: 8 \r\nMesk: can't find SystemSetupConfig.\r\n"
                              "gpnv EFI_OUT_OF_RESOURCES \r\n");
  EXPECT_TRUE (B.Flash.Operations.empty ());

  const ServiceCall *Read = nullptr;
  for (const auto &C : B.Fw.Calls) {
    if (C.Name == "RT.GetVariable" && C.Caller == "Tallyvault") Read = &C;
  }
  ASSERT_NE (Read, nullptr);
  EXPECT_EQ (Read->Args[0].Text, u"SystemSetupConfig");
  EXPECT_EQ (Read->GuidArg (1), "gSystemSetupConfigGuid");
  EXPECT_EQ (Read->Arg (2), 0u) << "no attributes pointer";
  EXPECT_EQ (Read->Args[3].PointedU64 (), 184u) << "DataSize on the call";
  EXPECT_NE (Read->Arg (4), 0u);
}

TEST_F (TallyvaultTest, FailuresLeaveTheRecordsAlone) {
  Full ();
  std::vector<uint8_t> Before = Area ();
  // Full, erase option set, erase fails: nothing is programmed over the old records.
  B.SetSetupByte (platform::kSystemSetupConfig, kEraseOptionOffset, 1);
  B.Flash.FailErase = efi::DeviceError;
  EXPECT_EQ (Log.Write (0x0B), efi::DeviceError);
  EXPECT_TRUE (Log.LogFull ());
  EXPECT_EQ (B.Uart0.Text (), "CurrentLog->Type : 16, Length: 8 \r\nFlashErase Result = Device Error.\r\n");
  B.Uart0.Clear ();
  EXPECT_EQ (Log.Erase (), efi::DeviceError);
  EXPECT_EQ (B.Uart0.Text (), "Event log erase error, status: Device Error \r\n");
  EXPECT_TRUE (Log.LogFull ()) << "a failed erase leaves it";
  EXPECT_EQ (B.Flash.Operations.size (), 2u) << "two erases, no write";
  EXPECT_EQ (Area (), Before);

  B.Flash.FailErase.reset ();
  ASSERT_EQ (Log.Erase (), efi::Success);
  EXPECT_FALSE (Log.LogFull ());
  B.Flash.FailWrite = efi::WriteProtected;
  B.Uart0.Clear ();
  EXPECT_EQ (Log.Write (0x0B), efi::WriteProtected);
  EXPECT_EQ (B.Uart0.Text (), kErasedFirst + kWrote8 + "Event Log flash bios error! Write Protected\r\n");
  EXPECT_TRUE (B.Fw.FindLeaks ().empty ());

  B.Flash.Operations.clear ();
  B.Fw.Pool.FailAfter (0);
  B.Uart0.Clear ();
  EXPECT_EQ (Log.Write (0x0B), efi::OutOfResources);
  EXPECT_EQ (B.Uart0.Text (), kErasedFirst + "Event Log allocate pool failed: Out of Resources\r\n");
  EXPECT_TRUE (B.Flash.Operations.empty ());
}

TEST_F (TallyvaultTest, TheWalkAndDamagedHeaders) {
  uint64_t R = 0;
  EXPECT_EQ (Log.Next (R), efi::NotFound) << "an erased area is an empty log";
  uint64_t End = LayRecords (B, {8, 16, 20});
  // Three records, then the end marker itself, then nothing.
  EXPECT_EQ (Log.Walk (), (std::vector<uint64_t>{kGpnvBase, kGpnvBase + 8, kGpnvBase + 24, End}));
  for (uint64_t Outside : std::vector<uint64_t>{kGpnvBase - 1, kGpnvEnd + 1, 0x1000}) {
    R = Outside;
    EXPECT_EQ (Log.Next (R), efi::InvalidParameter) << std::hex << Outside;
    EXPECT_EQ (R, Outside);
  }
  EXPECT_EQ (B.Fw.CallGuest (B.M.Load<uint64_t> (Log.Interface + 16), {Log.Interface, 0}), efi::InvalidParameter);
  // A zero-length record ends the walk and makes the log unwritable.
  B.Flash.Program (End, {0x0B, 0x00, 0x24});
  R = End;
  EXPECT_EQ (Log.Next (R), efi::InvalidParameter);
  B.Uart0.Clear ();
  EXPECT_EQ (Log.Write (0x0B), efi::Unsupported);
  EXPECT_EQ (B.Uart0.Text (), "CurrentLog->Type : 16, Length: 8 \r\ngpnv EFI_UNSUPPORTED \r\n");
  EXPECT_TRUE (B.Flash.Operations.empty ());

  // An erased type with a length at the start: the walk returns the start as
  // a record, the write takes it as the free position. NOR programming ANDs
  // the new header into it: 0x08 & 0x10 is a zero length, and the log stays
  // unwritable until it is erased.
  ASSERT_EQ (Log.Erase (), efi::Success);
  B.Flash.Program (kGpnvBase, {0xFF, 0x10});
  R = 0;
  EXPECT_EQ (Log.Next (R), efi::Success);
  EXPECT_EQ (Log.Write (0x0B), efi::Success);
  EXPECT_EQ (Area (0, 3), (std::vector<uint8_t>{0x0B, 0x00, 0x24}));
  EXPECT_EQ (Log.Write (0x0B), efi::Unsupported);
  EXPECT_FALSE (B.M.Faulted ()) << B.FaultReport ();
}

TEST_F (TallyvaultTest, TheWalkNeverReadsPastTheArea) {
  // What follows the area in flash looks like a record: a walk that read a
  // header there would go on instead of stopping.
  ASSERT_TRUE (B.Flash.Program (kGpnvEnd, {0x10, 0x08, 0x24}));
  // Positions whose two header bytes are not both inside the area.
  for (uint64_t Outside : {kGpnvEnd, kGpnvEnd - 1}) {
    uint64_t R = Outside;
    EXPECT_EQ (Log.Next (R), efi::InvalidParameter) << std::hex << Outside;
    EXPECT_EQ (R, Outside);
  }
  // Records that carry the walk to the last byte, to the end, or beyond it
  // (a damaged length): the last record ends the walk.
  for (uint64_t Used : {kGpnvSize - 1, kGpnvSize, kGpnvSize + 3}) {
    ASSERT_EQ (Log.Erase (), efi::Success);
    std::vector<uint8_t> Lengths = LengthsSummingTo (Used - 100);
    Lengths.push_back (100);
    uint64_t Last = LayRecords (B, Lengths) - 100;
    std::vector<uint64_t> Walk = Log.Walk ();
    ASSERT_FALSE (Walk.empty ());
    EXPECT_EQ (Walk.back (), Last) << "used 0x" << std::hex << Used;
    EXPECT_EQ (Walk.size (), Lengths.size ());
    uint64_t R = Last;
    EXPECT_EQ (Log.Next (R), efi::NotFound);
    EXPECT_EQ (R, Last);
  }
  EXPECT_FALSE (B.M.Faulted ()) << B.FaultReport ();
}

TEST (TallyvaultStart, MissingFlashAccessProtocolAndFailedInstall) {
  {
    Board B;
    B.Flash.Uninstall ();
    EventLogClient (B).Start ();
    ASSERT_TRUE (B.M.Faulted ());
    EXPECT_EQ (B.Uart0.Text ().rfind ("\r\nASSERT_EFI_ERROR (Status = Device Error)\r\nASSERT [Tallyvault] ", 0), 0u);
  }
  {
    Board B;
    B.Fw.FailInstallProtocol[platform::kGpnvEventLogProtocol] = efi::OutOfResources;
    B.Run (ModuleImage ("Tallyvault"));
    const char *Source = "EventLog/Tallyvault/Tallyvault.cpp";
    std::string Site = std::string (Source) + ":" + std::to_string (LineOf (Source, "ASSERT_EFI_ERROR (Status);"));
    EXPECT_NE (B.FaultReport ().find ("assertion failed in Tallyvault at " + Site), std::string::npos) << B.FaultReport ();
  }
  // Without assertions the driver installs its protocol and every change fails.
  Board B;
  B.Flash.Uninstall ();
  EventLogClient Log (B);
  ASSERT_EQ (Log.Start (ReleaseImage ("Tallyvault")), efi::Success) << B.FaultReport ();
  EXPECT_EQ (Log.Write (0x0B), efi::DeviceError);
  EXPECT_EQ (Log.Erase (), efi::DeviceError);
  EXPECT_EQ (B.Flash.Read (kGpnvBase, 2), (std::vector<uint8_t>{0xFF, 0xFF}));
}

}  // namespace
}  // namespace vboard
