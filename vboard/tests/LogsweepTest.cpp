// Logsweep on the virtual board, against the in-process BMC model: which
// IPMI commands reach the BMC for each setup, the erase with its polls and
// reservations, the consumed one-time request, and the serial log.
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

namespace vboard {
namespace {

using platform::kIpmiSetupData;

constexpr uint32_t kNvBs = efi::VariableNonVolatile | efi::VariableBootServiceAccess;

// One expected command: netfn, cmd, request bytes.
struct Cmd {
  uint8_t NetFn, Code;
  std::vector<uint8_t> Request;
};
const Cmd kGetSelInfo{ipmi::NetFnStorage, ipmi::CmdGetSelInfo, {}};
const Cmd kReserve{ipmi::NetFnStorage, ipmi::CmdReserveSel, {}};
Cmd Clear (uint16_t Id, uint8_t Action) {
  return {ipmi::NetFnStorage, ipmi::CmdClearSel, {uint8_t (Id), uint8_t (Id >> 8), 'C', 'L', 'R', Action}};
}

class LogsweepTest : public ::testing::Test {
 protected:
  Board B;

  // IpmiSetupData of Size bytes with recognisable filler around the three
  // SEL bytes (set when the record reaches them).
  std::vector<uint8_t> Record (uint8_t SelEnable, uint8_t EraseSel, uint8_t WhenFull, size_t Size = 432) {
    std::vector<uint8_t> R (Size);
    for (size_t I = 0; I < Size; I++) R[I] = static_cast<uint8_t> (I * 7 + 3);
    uint8_t Sel[] = {SelEnable, EraseSel, WhenFull};
    for (size_t I = 0; I < 3 && 428 + I < Size; I++) R[428 + I] = Sel[I];
    return R;
  }
  void Store (const std::vector<uint8_t> &R, uint32_t Attributes = platform::kSetupAttributes) {
    B.Fw.SetVariable (kIpmiSetupData.Name, kIpmiSetupData.VendorGuid (), Attributes, R);
  }
  VariableRecord *Stored () { return B.Fw.FindVariable (kIpmiSetupData.Name, kIpmiSetupData.VendorGuid ()); }
  uint64_t Run () {
    uint64_t Status = B.Run (test::ModuleImage ("Logsweep"));
    EXPECT_FALSE (B.M.Faulted ()) << B.FaultReport ();
    EXPECT_TRUE (B.Fw.FindLeaks ().empty ()) << "the setup buffer was not freed";
    return Status;
  }
  size_t Calls (const std::string &Name) {
    size_t N = 0;
    for (const auto &C : B.Fw.Calls) N += C.Name == Name;
    return N;
  }
  void ExpectCommands (const std::vector<Cmd> &Want) {
    ASSERT_EQ (B.Bmc.Log.size (), Want.size ()) << Sequence ();
    for (size_t I = 0; I < Want.size (); I++) {
      EXPECT_EQ (B.Bmc.Log[I].NetFn, Want[I].NetFn) << "command " << I << "\n" << Sequence ();
      EXPECT_EQ (B.Bmc.Log[I].Cmd, Want[I].Code) << "command " << I << "\n" << Sequence ();
      EXPECT_EQ (B.Bmc.Log[I].Request, Want[I].Request) << "command " << I << "\n" << Sequence ();
      EXPECT_EQ (B.Bmc.Log[I].Lun, 0);
    }
  }
  std::string Sequence () {
    std::string Out;
    for (const IpmiSent &S : B.Ipmi.Sent) Out += Describe (S) + "\n";
    return Out;
  }
};

TEST_F (LogsweepTest, OneTimeRequestErasesOnceAndIsConsumed) {
  for (int I = 0; I < 3; I++) B.Bmc.AddSelEntry ();
  std::vector<uint8_t> Original = Record (1, 1, 0);
  Store (Original, kNvBs);

  EXPECT_EQ (Run (), efi::Success);
  ExpectCommands ({kGetSelInfo, kReserve, Clear (1, 0xAA)});
  EXPECT_TRUE (B.Bmc.Sel.empty ());
  EXPECT_EQ (B.UartText (),
             " IPMI_STORAGE_GET_SEL_INFO Status: 0\r\n"
             " IPMI_STORAGE_CLEAR_SEL Status: 0 ClearSelResponse: 1\r\n"
             "DXE: SEL Cleared\r\n");
  // Transport arguments: Storage/LUN 0, response buffers of the right sizes, last argument 0.
  const uint8_t Capacity[] = {14, 2, 1};
  ASSERT_EQ (B.Ipmi.Sent.size (), 3u);
  for (size_t I = 0; I < 3; I++) {
    EXPECT_EQ (B.Ipmi.Sent[I].ResponseCapacity, Capacity[I]) << I;
    EXPECT_EQ (B.Ipmi.Sent[I].Reserved, 0u);
    EXPECT_EQ (B.Ipmi.Sent[I].Caller, "Logsweep");
  }
  EXPECT_EQ (B.Ipmi.ReadyQueries, 3u) << "readiness is checked before every command";

  // Stored back with EraseSel 0, every other byte, the length and the attributes as they were.
  std::vector<uint8_t> Want = Original;
  Want[429] = 0;
  ASSERT_NE (Stored (), nullptr);
  EXPECT_EQ (Stored ()->Data, Want);
  EXPECT_EQ (Stored ()->Attributes, kNvBs);
  EXPECT_FALSE (B.Fw.ImageNamed ("Logsweep")->Unloaded);

  // The next start finds the request consumed.
  B.Bmc.Log.clear ();
  B.Bmc.AddSelEntry ();
  EXPECT_EQ (Run (), efi::Success);
  EXPECT_TRUE (B.Bmc.Log.empty ());
  EXPECT_EQ (B.Bmc.Sel.size (), 1u);
  EXPECT_EQ (Calls ("RT.SetVariable"), 1u);
}

TEST_F (LogsweepTest, OtherEraseValuesEraseAtEveryStartAndNeverWrite) {
  B.InstallDebugMask (0x80000002);   // errors and warnings: the messages are informational
  uint16_t Reservation = 0;
  for (uint8_t EraseSel : {2, 0x80, 0xFF}) {
    Store (Record (1, EraseSel, 0));
    for (int Start = 0; Start < 2; Start++) {
      B.Bmc.Log.clear ();
      B.Bmc.AddSelEntry ();
      EXPECT_EQ (Run (), efi::Success);
      ExpectCommands ({kGetSelInfo, kReserve, Clear (++Reservation, 0xAA)});
      EXPECT_TRUE (B.Bmc.Sel.empty ()) << int (EraseSel);
    }
    EXPECT_EQ (Stored ()->Data, Record (1, EraseSel, 0));
  }
  EXPECT_EQ (Calls ("RT.SetVariable"), 0u);
  EXPECT_EQ (B.UartText (), "");
}

TEST_F (LogsweepTest, SelHandlingOffOrRecordTooShortDoesNothing) {
  struct Case {
    const char *What;
    std::vector<uint8_t> Stored;
  } Cases[] = {
      {"SelEnable 0", Record (0, 1, 1)},
      {"record ends before SelEnable", Record (1, 1, 1, 428)},
  };
  B.Bmc.Overflow = true;
  for (const Case &C : Cases) {
    Store (C.Stored);
    EXPECT_EQ (Run (), efi::Unsupported) << C.What;
    EXPECT_TRUE (B.Bmc.Log.empty ()) << C.What;
    EXPECT_EQ (Stored ()->Data, C.Stored) << C.What;
    EXPECT_EQ (B.UartText (), "") << C.What;
  }
  EXPECT_EQ (Calls ("RT.SetVariable"), 0u);
}

TEST_F (LogsweepTest, ShortRecordReadsZeroPastItsEndAndKeepsItsLength) {
  // 430 bytes: SelEnable and EraseSel stored, EraseSelWhenFull missing (read as 0).
  B.Bmc.Overflow = true;
  std::vector<uint8_t> Short = Record (1, 1, 0, 430);
  Store (Short);
  EXPECT_EQ (Run (), efi::Success);
  ExpectCommands ({kGetSelInfo, kReserve, Clear (1, 0xAA)});
  Short[429] = 0;
  EXPECT_EQ (Stored ()->Data, Short) << "the write-back must keep the stored length";
}

TEST_F (LogsweepTest, UnreadableSetupStopsBeforeAnyTraffic) {
  struct Case {
    const char *What;
    size_t Size;             // 0: no variable
    uint64_t ForcedStatus;   // 0: none
    uint64_t Want;
  } Cases[] = {
      {"missing", 0, 0, efi::NotFound},
      {"larger than 432 bytes", 433, 0, efi::BufferTooSmall},
      {"read error", 432, efi::DeviceError, efi::DeviceError},
  };
  for (const Case &C : Cases) {
    if (C.Size) B.Fw.SetVariable (kIpmiSetupData.Name, kIpmiSetupData.VendorGuid (), platform::kSetupAttributes, Record (1, 1, 1, C.Size));
    else B.Fw.DeleteVariable (kIpmiSetupData.Name, kIpmiSetupData.VendorGuid ());
    B.Fw.FailGetVariable.clear ();
    if (C.ForcedStatus) B.Fw.FailGetVariable[kIpmiSetupData.Name] = C.ForcedStatus;
    EXPECT_EQ (Run (), C.Want) << C.What;
    EXPECT_TRUE (B.Bmc.Log.empty ()) << C.What;
    EXPECT_EQ (B.Ipmi.ReadyQueries, 0u) << C.What;
  }
}

TEST_F (LogsweepTest, NoTransportOrNoPoolTouchesNothing) {
  Store (Record (1, 1, 1));
  B.Ipmi.Uninstall ();
  EXPECT_EQ (Run (), efi::Unsupported);
  EXPECT_EQ (Calls ("RT.GetVariable"), 0u);
  B.Ipmi.Install ();

  // No buffer for the record: the variable service is not handed a NULL buffer.
  B.Fw.Pool.FailAfter (0);
  EXPECT_EQ (Run (), efi::OutOfResources);
  EXPECT_EQ (Calls ("RT.GetVariable"), 0u);
  EXPECT_TRUE (B.Bmc.Log.empty ());
  EXPECT_EQ (Stored ()->Data, Record (1, 1, 1));
}

TEST_F (LogsweepTest, EraseFinishingAfterPollsIsWaitedFor) {
  B.Bmc.ErasePolls = 3;
  B.Bmc.AddSelEntry ();
  Store (Record (1, 1, 0));
  EXPECT_EQ (Run (), efi::Success);
  ExpectCommands ({kGetSelInfo, kReserve, Clear (1, 0xAA), Clear (1, 0), Clear (1, 0), Clear (1, 0)});
  EXPECT_TRUE (B.Bmc.Sel.empty ());
  EXPECT_EQ (B.UartText (),
             " IPMI_STORAGE_GET_SEL_INFO Status: 0\r\n"
             " IPMI_STORAGE_CLEAR_SEL Status: 0 ClearSelResponse: 0\r\n"
             " IPMI_STORAGE_CLEAR_SEL Status: 0 ClearSelResponse: 0 Counter: 200\r\n"
             " IPMI_STORAGE_CLEAR_SEL Status: 0 ClearSelResponse: 0 Counter: 1FF\r\n"
             " IPMI_STORAGE_CLEAR_SEL Status: 0 ClearSelResponse: 1 Counter: 1FE\r\n"
             "DXE: WaitTillErased Status : 0\r\n");
}

TEST_F (LogsweepTest, EraseThatNeverCompletesGivesUpAfter512Polls) {
  B.Bmc.EraseNeverCompletes = true;
  Store (Record (1, 1, 0));
  EXPECT_EQ (Run (), efi::Success) << "the erase result does not reach the entry point";
  ASSERT_EQ (B.Bmc.Log.size (), 3u + 512u);
  EXPECT_EQ (B.Bmc.Count (ipmi::NetFnStorage, ipmi::CmdClearSel), 513u);
  for (size_t I = 3; I < B.Bmc.Log.size (); I++) {
    ASSERT_EQ (B.Bmc.Log[I].Request, Clear (1, 0).Request) << I;
  }
  std::string Text = B.UartText ();
  EXPECT_NE (Text.find ("Counter: 200\r\n"), std::string::npos);
  EXPECT_NE (Text.find (" ClearSelResponse: 0 Counter: 1\r\nDXE: WaitTillErased Status : 10\r\n"), std::string::npos);
  EXPECT_EQ (Text.find ("Counter: 0\r\n"), std::string::npos);
  EXPECT_EQ (Stored ()->Data[429], 0) << "the request is consumed even though the erase failed";
}

TEST_F (LogsweepTest, FailedPollTakesAFreshReservation) {
  // The initiate command passes, the first status poll is refused as if the
  // reservation had been cancelled; the next polls quote the new ID.
  B.Bmc.ErasePolls = 2;
  B.Bmc.Fail (ipmi::NetFnStorage, ipmi::CmdClearSel, {ipmi::CcReservationInvalid, 1, 1});
  Store (Record (1, 1, 0));
  EXPECT_EQ (Run (), efi::Success);
  ExpectCommands ({kGetSelInfo, kReserve, Clear (1, 0xAA), Clear (1, 0), kReserve, Clear (2, 0), Clear (2, 0)});
  EXPECT_EQ (B.Ipmi.Sent[3].Status, efi::DeviceError);
  std::string Text = B.UartText ();
  EXPECT_NE (Text.find ("Status: 7 ClearSelResponse: 0 Counter: 200\r\n"), std::string::npos) << Text;
  EXPECT_NE (Text.find ("ClearSelResponse: 1 Counter: 1FE\r\nDXE: WaitTillErased Status : 0\r\n"), std::string::npos) << Text;
}

TEST_F (LogsweepTest, FailedInitiateStillPollsAndReReserves) {
  // Initiate and first poll refused: the poll loop takes a new reservation.
  B.Bmc.Fail (ipmi::NetFnStorage, ipmi::CmdClearSel, {ipmi::CcReservationInvalid, 2});
  Store (Record (1, 2, 0));
  EXPECT_EQ (Run (), efi::Success);
  ExpectCommands ({kGetSelInfo, kReserve, Clear (1, 0xAA), Clear (1, 0), kReserve, Clear (2, 0)});
  EXPECT_NE (B.UartText ().find (" IPMI_STORAGE_CLEAR_SEL Status: 7 ClearSelResponse: 0\r\n"), std::string::npos);
}

TEST_F (LogsweepTest, BmcWithoutReserveSelQuotesIdZero) {
  B.Bmc.ReserveSelSupported = false;
  B.Bmc.ErasePolls = 1;
  Store (Record (1, 1, 0));
  EXPECT_EQ (Run (), efi::Success);
  ExpectCommands ({kGetSelInfo, Clear (0, 0xAA), Clear (0, 0)});

  // A failed poll still sends Reserve SEL; refused too, it ends the wait with its status.
  B.Bmc.Log.clear ();
  B.Bmc.AddSelEntry ();
  B.Bmc.Fail (ipmi::NetFnStorage, ipmi::CmdClearSel, {ipmi::CcNodeBusy, 1, 1});
  B.Uart0.Clear ();
  Store (Record (1, 1, 0));
  EXPECT_EQ (Run (), efi::Success);
  ExpectCommands ({kGetSelInfo, Clear (0, 0xAA), Clear (0, 0), kReserve});
  EXPECT_NE (B.UartText ().find ("Counter: 200\r\nDXE: WaitTillErased Status : 7\r\n"), std::string::npos) << B.UartText ();
}

TEST_F (LogsweepTest, BmcNotReadyBlocksEveryCommand) {
  for (uint32_t Ready : {0u, 2u, 0xFFFFFFFFu}) {
    B.Bmc.Ready = Ready;
    B.Uart0.Clear ();
    Store (Record (1, 1, 1));
    EXPECT_EQ (Run (), efi::Success) << Ready;
    EXPECT_TRUE (B.Bmc.Log.empty ()) << Ready;
    EXPECT_EQ (B.UartText (),
               " IPMI_STORAGE_GET_SEL_INFO Status: 3\r\n"
               " IPMI_STORAGE_GET_SEL_INFO Status: 3 (SelInfo.OperationSupport & OVERFLOW_FLAG_MASK): 0\r\n")
        << Ready;
    EXPECT_EQ (Stored ()->Data[429], 0) << "consumed whatever the erase did";
  }
}

TEST_F (LogsweepTest, OverflowCheck) {
  struct Case {
    const char *What;
    uint8_t WhenFull;
    bool Overflow;
    bool InfoFails;
    std::vector<Cmd> Want;
    const char *Line;
  } Cases[] = {
      {"overflowed", 1, true, false, {kGetSelInfo, kGetSelInfo, kReserve, Clear (1, 0xAA)}, "Status: 0 (SelInfo.OperationSupport & OVERFLOW_FLAG_MASK): 80\r\n"},
      {"not overflowed", 1, false, false, {kGetSelInfo}, "Status: 0 (SelInfo.OperationSupport & OVERFLOW_FLAG_MASK): 0\r\n"},
      {"Get SEL Info fails", 1, true, true, {kGetSelInfo}, "Status: 7 (SelInfo.OperationSupport & OVERFLOW_FLAG_MASK): 0\r\n"},
      {"check off", 2, true, false, {}, nullptr},
  };
  for (const Case &C : Cases) {
    B.Bmc.Log.clear ();
    B.Bmc.ClearFailures ();
    B.Bmc.Overflow = C.Overflow;
    if (C.InfoFails) B.Bmc.Fail (ipmi::NetFnStorage, ipmi::CmdGetSelInfo, {ipmi::CcUnspecified});
    B.Uart0.Clear ();
    Store (Record (1, 0, C.WhenFull));
    EXPECT_EQ (Run (), efi::Success) << C.What;
    ExpectCommands (C.Want);
    if (C.Line) {
      EXPECT_EQ (B.UartText ().rfind (std::string (" IPMI_STORAGE_GET_SEL_INFO ") + C.Line, 0), 0u) << C.What << "\n" << B.UartText ();
    }
  }
}

TEST_F (LogsweepTest, OverflowIsReadAfreshAfterTheRequestedErase) {
  // The requested erase clears the overflow: no second erase.
  B.Bmc.Overflow = true;
  Store (Record (1, 1, 1));
  EXPECT_EQ (Run (), efi::Success);
  ExpectCommands ({kGetSelInfo, kReserve, Clear (1, 0xAA), kGetSelInfo});
  EXPECT_FALSE (B.Bmc.Overflow);

  // An erase that does not complete leaves the overflow: erased again.
  B.Bmc.Log.clear ();
  B.Bmc.Overflow = true;
  B.Bmc.EraseNeverCompletes = true;
  Store (Record (1, 2, 1));
  EXPECT_EQ (Run (), efi::Success);
  EXPECT_EQ (B.Bmc.Count (ipmi::NetFnStorage, ipmi::CmdGetSelInfo), 3u);
  EXPECT_EQ (B.Bmc.Count (ipmi::NetFnStorage, ipmi::CmdClearSel), 2u * 513u);
}

TEST_F (LogsweepTest, FailedWriteBackIsReturnedAndSkipsTheOverflowCheck) {
  B.Bmc.Overflow = true;
  B.Bmc.AddSelEntry ();
  Store (Record (1, 1, 1));
  B.Fw.FailSetVariable[kIpmiSetupData.Name] = efi::WriteProtected;
  EXPECT_EQ (Run (), efi::WriteProtected);
  ExpectCommands ({kGetSelInfo, kReserve, Clear (1, 0xAA)});
  EXPECT_TRUE (B.Bmc.Sel.empty ()) << "the erase already sent stays done";
  EXPECT_EQ (Stored ()->Data[429], 1);
  EXPECT_TRUE (B.Fw.ImageNamed ("Logsweep")->Unloaded);
}

}  // namespace
}  // namespace vboard
