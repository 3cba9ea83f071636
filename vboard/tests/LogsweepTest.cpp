// Logsweep on the virtual board, against the in-process BMC model: which
// IPMI commands reach the BMC for each setup, the erase with its polls and
// reservations, the consumed one-time request, and the serial log.
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

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
  // The K-th reservation ID the BMC issued (1-based); 0 when it issued fewer.
  uint16_t R (size_t K) { return K <= B.Bmc.Reservations.size () ? B.Bmc.Reservations[K - 1] : 0; }
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
  ExpectCommands ({kGetSelInfo, kReserve, Clear (R (1), 0xAA)});
  EXPECT_TRUE (B.Bmc.Sel.empty ());
  EXPECT_EQ (B.UartText (),
             " IPMI_STORAGE_GET_SEL_INFO Status: 0\r\n"
             " IPMI_STORAGE_CLEAR_SEL Status: 0 ClearSelResponse: A1\r\n"
             "DXE: SEL Cleared\r\n");
  EXPECT_TRUE ((R (1) & 0xFF) != 0 && (R (1) >> 8) != 0) << "a reservation ID that uses both bytes";
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
  size_t Reservations = 0;
  for (uint8_t EraseSel : {2, 0x80, 0xFF}) {
    Store (Record (1, EraseSel, 0));
    for (int Start = 0; Start < 2; Start++) {
      B.Bmc.Log.clear ();
      B.Bmc.AddSelEntry ();
      EXPECT_EQ (Run (), efi::Success);
      ExpectCommands ({kGetSelInfo, kReserve, Clear (R (++Reservations), 0xAA)});
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
  ExpectCommands ({kGetSelInfo, kReserve, Clear (R (1), 0xAA)});
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
  ExpectCommands ({kGetSelInfo, kReserve, Clear (R (1), 0xAA), Clear (R (1), 0), Clear (R (1), 0), Clear (R (1), 0)});
  EXPECT_TRUE (B.Bmc.Sel.empty ());
  EXPECT_EQ (B.UartText (),
             " IPMI_STORAGE_GET_SEL_INFO Status: 0\r\n"
             " IPMI_STORAGE_CLEAR_SEL Status: 0 ClearSelResponse: A0\r\n"
             " IPMI_STORAGE_CLEAR_SEL Status: 0 ClearSelResponse: A0 Counter: 200\r\n"
             " IPMI_STORAGE_CLEAR_SEL Status: 0 ClearSelResponse: A0 Counter: 1FF\r\n"
             " IPMI_STORAGE_CLEAR_SEL Status: 0 ClearSelResponse: A1 Counter: 1FE\r\n"
             "DXE: WaitTillErased Status : 0\r\n");
}

TEST_F (LogsweepTest, EraseThatNeverCompletesGivesUpAfter512Polls) {
  B.Bmc.EraseNeverCompletes = true;
  Store (Record (1, 1, 0));
  EXPECT_EQ (Run (), efi::Success) << "the erase result does not reach the entry point";
  ASSERT_EQ (B.Bmc.Log.size (), 3u + 512u);
  EXPECT_EQ (B.Bmc.Count (ipmi::NetFnStorage, ipmi::CmdClearSel), 513u);
  for (size_t I = 3; I < B.Bmc.Log.size (); I++) {
    ASSERT_EQ (B.Bmc.Log[I].Request, Clear (R (1), 0).Request) << I;
  }
  std::string Text = B.UartText ();
  EXPECT_NE (Text.find ("Counter: 200\r\n"), std::string::npos);
  EXPECT_NE (Text.find (" ClearSelResponse: A0 Counter: 1\r\nDXE: WaitTillErased Status : 10\r\n"), std::string::npos);
  EXPECT_EQ (Text.find ("Counter: 0\r\n"), std::string::npos);
  EXPECT_EQ (Stored ()->Data[429], 0) << "the request is consumed even though the erase failed";
}

TEST_F (LogsweepTest, FailedInitiateStillPollsAndReReserves) {
  // Initiate and first poll refused: the poll loop takes a new reservation.
  B.Bmc.Fail (ipmi::NetFnStorage, ipmi::CmdClearSel, {ipmi::CcReservationInvalid, 2});
  Store (Record (1, 2, 0));
  EXPECT_EQ (Run (), efi::Success);
  ExpectCommands ({kGetSelInfo, kReserve, Clear (R (1), 0xAA), Clear (R (1), 0), kReserve, Clear (R (2), 0)});
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
  // Only the 32-bit value 1 means ready: values whose low byte or low half
  // is 1 are not.
  for (uint32_t Ready : {0u, 2u, 0xFFFFFFFFu, 0x101u, 0x10001u, 0x80000001u}) {
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
      {"overflowed", 1, true, false, {kGetSelInfo, kGetSelInfo, kReserve, Clear (0, 0xAA)}, "Status: 0 (SelInfo.OperationSupport & OVERFLOW_FLAG_MASK): 80\r\n"},
      {"not overflowed", 1, false, false, {kGetSelInfo}, "Status: 0 (SelInfo.OperationSupport & OVERFLOW_FLAG_MASK): 0\r\n"},
      {"Get SEL Info fails", 1, true, true, {kGetSelInfo}, "Status: 7 (SelInfo.OperationSupport & OVERFLOW_FLAG_MASK): 0\r\n"},
      {"check off", 2, true, false, {}, nullptr},
  };
  for (const Case &C : Cases) {
    B.Bmc.Log.clear ();
    B.Bmc.Reservations.clear ();
    B.Bmc.ClearFailures ();
    B.Bmc.Overflow = C.Overflow;
    if (C.InfoFails) B.Bmc.Fail (ipmi::NetFnStorage, ipmi::CmdGetSelInfo, {ipmi::CcUnspecified});
    B.Uart0.Clear ();
    Store (Record (1, 0, C.WhenFull));
    EXPECT_EQ (Run (), efi::Success) << C.What;
    std::vector<Cmd> Want = C.Want;
    for (Cmd &W : Want) {
      if (W.Code == ipmi::CmdClearSel) W = Clear (R (1), 0xAA);   // the ID the BMC issued in this run
    }
    ExpectCommands (Want);
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
  ExpectCommands ({kGetSelInfo, kReserve, Clear (R (1), 0xAA), kGetSelInfo});
  EXPECT_FALSE (B.Bmc.Overflow);

  // An erase that does not complete keeps the SEL busy: the overflow check's
  // Get SEL Info is refused with 81h, so no second erase is started.
  B.Bmc.Log.clear ();
  B.Bmc.Overflow = true;
  B.Bmc.EraseNeverCompletes = true;
  B.Uart0.Clear ();
  Store (Record (1, 2, 1));
  EXPECT_EQ (Run (), efi::Success);
  EXPECT_EQ (B.Bmc.Count (ipmi::NetFnStorage, ipmi::CmdGetSelInfo), 2u);
  EXPECT_EQ (B.Bmc.Log.back ().CompletionCode, 0x81);
  EXPECT_EQ (B.Bmc.Count (ipmi::NetFnStorage, ipmi::CmdClearSel), 513u);
  EXPECT_NE (B.UartText ().find (" IPMI_STORAGE_GET_SEL_INFO Status: 7 (SelInfo.OperationSupport & OVERFLOW_FLAG_MASK): 0\r\n"),
             std::string::npos);
}

TEST_F (LogsweepTest, FailedWriteBackIsReturnedAndSkipsTheOverflowCheck) {
  B.Bmc.Overflow = true;
  B.Bmc.AddSelEntry ();
  Store (Record (1, 1, 1));
  B.Fw.FailSetVariable[kIpmiSetupData.Name] = efi::WriteProtected;
  EXPECT_EQ (Run (), efi::WriteProtected);
  ExpectCommands ({kGetSelInfo, kReserve, Clear (R (1), 0xAA)});
  EXPECT_TRUE (B.Bmc.Sel.empty ()) << "the erase already sent stays done";
  EXPECT_EQ (Stored ()->Data[429], 1);
  EXPECT_TRUE (B.Fw.ImageNamed ("Logsweep")->Unloaded);
}

TEST_F (LogsweepTest, AnyNonzeroSelEnableActs) {
  for (uint8_t SelEnable : {0x02, 0x80, 0xFF}) {
    B.Bmc.Log.clear ();
    B.Bmc.AddSelEntry ();
    Store (Record (SelEnable, 1, 0));
    EXPECT_EQ (Run (), efi::Success) << +SelEnable;
    EXPECT_EQ (B.Bmc.Count (ipmi::NetFnStorage, ipmi::CmdClearSel), 1u) << +SelEnable;
    EXPECT_TRUE (B.Bmc.Sel.empty ()) << +SelEnable;
    EXPECT_EQ (Stored ()->Data[429], 0) << +SelEnable;
  }
}

TEST_F (LogsweepTest, SelCommandsDuringTheEraseAreRefusedWith81h) {
  // The first status poll fails; the Reserve SEL that follows is refused
  // because the erase still runs, which ends the wait. The overflow check's
  // Get SEL Info is refused the same way: no second erase.
  B.Bmc.ErasePolls = 5;
  B.Bmc.Overflow = true;
  B.Bmc.Fail (ipmi::NetFnStorage, ipmi::CmdClearSel, {ipmi::CcNodeBusy, 1, 1});
  Store (Record (1, 1, 1));
  EXPECT_EQ (Run (), efi::Success);
  ExpectCommands ({kGetSelInfo, kReserve, Clear (R (1), 0xAA), Clear (R (1), 0), kReserve, kGetSelInfo});
  EXPECT_EQ (B.Ipmi.Sent[3].Status, efi::DeviceError);
  EXPECT_EQ (B.Bmc.Log[4].CompletionCode, 0x81);
  EXPECT_EQ (B.Bmc.Log[5].CompletionCode, 0x81);
  std::string Text = B.UartText ();
  EXPECT_NE (Text.find ("Status: 7 ClearSelResponse: 0 Counter: 200\r\n"), std::string::npos) << Text;
  EXPECT_NE (Text.find ("Counter: 200\r\nDXE: WaitTillErased Status : 7\r\n"), std::string::npos) << Text;
  EXPECT_NE (Text.find ("Status: 7 (SelInfo.OperationSupport & OVERFLOW_FLAG_MASK): 0\r\n"), std::string::npos) << Text;
  EXPECT_TRUE (B.Bmc.EraseInProgress ());
  EXPECT_EQ (Stored ()->Data[429], 0);
}

TEST_F (LogsweepTest, ReservationsCancelledUnderTheDriver) {
  // The erase ends between two polls and cancels the reservation: the next
  // poll is refused, a fresh reservation is taken and the poll with it
  // reports completion.
  B.Bmc.ErasePolls = 2;
  B.Bmc.EraseEndsAfterReply = true;
  B.Bmc.AddSelEntry ();
  Store (Record (1, 1, 0));
  EXPECT_EQ (Run (), efi::Success);
  ExpectCommands ({kGetSelInfo, kReserve, Clear (R (1), 0xAA), Clear (R (1), 0), Clear (R (1), 0), Clear (R (1), 0), kReserve,
                   Clear (R (2), 0)});
  EXPECT_EQ (B.Bmc.Log[5].CompletionCode, ipmi::CcReservationInvalid);
  EXPECT_NE (R (1) & 0xFF, R (2) & 0xFF);
  EXPECT_NE (R (1) >> 8, R (2) >> 8);
  EXPECT_NE (B.UartText ().find ("ClearSelResponse: A1 Counter: 1FD\r\nDXE: WaitTillErased Status : 0\r\n"), std::string::npos)
      << B.UartText ();
  EXPECT_TRUE (B.Bmc.Sel.empty ());

  // The BMC logs an event of its own between Reserve SEL and Clear SEL: the
  // entry cancels the reservation, so the initiate is refused. The first
  // poll is refused too, the re-reserved poll finds no erase running and
  // reports "completed": the driver reports success with the SEL not erased.
  B.Bmc.Log.clear ();
  B.Bmc.Reservations.clear ();
  B.Bmc.EraseEndsAfterReply = false;
  B.Bmc.AfterCommand = [this] (const Bmc::Command &C) {
    if (C.Cmd == ipmi::CmdReserveSel && B.Bmc.Reservations.size () == 1) B.Bmc.AddSelEntry ();
  };
  B.Uart0.Clear ();
  Store (Record (1, 1, 0));
  EXPECT_EQ (Run (), efi::Success);
  ExpectCommands ({kGetSelInfo, kReserve, Clear (R (1), 0xAA), Clear (R (1), 0), kReserve, Clear (R (2), 0)});
  EXPECT_EQ (B.Bmc.Log[2].CompletionCode, ipmi::CcReservationInvalid);
  EXPECT_NE (B.UartText ().find ("DXE: WaitTillErased Status : 0\r\n"), std::string::npos) << B.UartText ();
  EXPECT_EQ (B.Bmc.Sel.size (), 1u);
}

TEST_F (LogsweepTest, BmcGoingNotReadyDuringThePollsEndsTheWait) {
  B.Bmc.ErasePolls = 4;
  B.Bmc.AfterCommand = [this] (const Bmc::Command &C) {
    if (C.Cmd == ipmi::CmdClearSel && C.Request[5] == 0xAA) B.Bmc.Ready = 0;
  };
  Store (Record (1, 1, 0));
  EXPECT_EQ (Run (), efi::Success);
  ExpectCommands ({kGetSelInfo, kReserve, Clear (R (1), 0xAA)});
  EXPECT_NE (B.UartText ().find (" IPMI_STORAGE_CLEAR_SEL Status: 3 ClearSelResponse: 0 Counter: 200\r\n"
                                 "DXE: WaitTillErased Status : 3\r\n"),
             std::string::npos)
      << B.UartText ();
  EXPECT_EQ (Stored ()->Data[429], 0);
}

TEST_F (LogsweepTest, DataSentWithAnErrorIsNotUsed) {
  // Each failure comes with data that would mislead a driver that read it.
  std::vector<uint8_t> OverflowInfo (14, 0);
  OverflowInfo[13] = 0x82;
  struct Case {
    const char *What;
    uint8_t Code;
    Bmc::Failure F;
    std::vector<uint8_t> Data;
    uint8_t EraseSel, WhenFull;
    std::function<std::vector<Cmd> ()> Want;
    const char *Tail;
  } Cases[] = {
      {"initiate refused with a 'completed' byte", ipmi::CmdClearSel, {ipmi::CcNodeBusy, 1, 0, false}, {0x01}, 1, 0,
       [this] { return std::vector<Cmd>{kGetSelInfo, kReserve, Clear (R (1), 0xAA), Clear (R (1), 0)}; },
       "ClearSelResponse: A1 Counter: 200\r\nDXE: WaitTillErased Status : 0\r\n"},
      {"Reserve SEL refused with an ID", ipmi::CmdReserveSel, {ipmi::CcNodeBusy, 1, 0, false}, {0x34, 0x12}, 1, 0,
       [] { return std::vector<Cmd>{kGetSelInfo, kReserve}; }, nullptr},
      {"Get SEL Info refused with the overflow bit", ipmi::CmdGetSelInfo, {ipmi::CcNodeBusy, 1, 0, false}, OverflowInfo, 0, 1,
       [] { return std::vector<Cmd>{kGetSelInfo}; }, "Status: 7 (SelInfo.OperationSupport & OVERFLOW_FLAG_MASK): 80\r\n"},
      // Last: it leaves the erase running. The poll's "completed" byte must not
      // end the wait; the Reserve SEL that follows is refused during the erase.
      {"status poll refused with a 'completed' byte", ipmi::CmdClearSel, {ipmi::CcNodeBusy, 1, 1, false}, {0x01}, 1, 0,
       [this] { return std::vector<Cmd>{kGetSelInfo, kReserve, Clear (R (1), 0xAA), Clear (R (1), 0), kReserve}; },
       "ClearSelResponse: 1 Counter: 200\r\nDXE: WaitTillErased Status : 7\r\n"},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE (C.What);
    B.Bmc.Log.clear ();
    B.Bmc.Reservations.clear ();
    B.Bmc.ClearFailures ();
    B.Bmc.ErasePolls = 1;
    B.Bmc.Overflow = false;
    B.Bmc.AddSelEntry ();
    B.Bmc.Fail (ipmi::NetFnStorage, C.Code, C.F, C.Data);
    B.Uart0.Clear ();
    Store (Record (1, C.EraseSel, C.WhenFull));
    EXPECT_EQ (Run (), efi::Success);
    ExpectCommands (C.Want ());
    EXPECT_EQ (B.UartText ().find ("DXE: SEL Cleared"), std::string::npos) << B.UartText ();
    if (C.Tail) {
      std::string Text = B.UartText ();
      EXPECT_EQ (Text.substr (Text.size () - std::min (Text.size (), std::strlen (C.Tail))), C.Tail) << Text;
    }
  }
}

}  // namespace
}  // namespace vboard
