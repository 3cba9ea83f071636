// The board's baseboard management controller, modelled in process: the
// System Event Log with reservations, a multi-step erase and the overflow
// flag (IPMI storage commands), and the chassis power-restore policy, with
// the faults a real BMC shows. Every command it receives is logged.
//
// SEL behaviour (IPMI 2.0, chapter 31):
//   Get SEL Info   14 data bytes; OperationSupport (byte 13) has bit 7 set
//                  while the SEL has overflowed, bit 1 when Reserve SEL is
//                  supported, bit 3 (delete) always.
//   Reserve SEL    a new reservation ID: a 16-bit value that is never 0 and
//                  varies in both bytes from one reservation to the next;
//                  cancels the previous one. Invalid command (0xC1) when
//                  Reserve SEL is not supported.
//   Clear SEL      bytes 0-1 reservation ID (must be the current one when
//                  Reserve SEL is supported, 0 when not; else 0xC5), "CLR",
//                  action 0xAA initiate / 0x00 status. The erase completes
//                  after ErasePolls status polls (0: within the initiate
//                  command); completion empties the SEL, clears the overflow
//                  flag and cancels the reservation. Response: erasure
//                  progress in bits 3..0 (1 = completed, 0 = in progress);
//                  bits 7..4 are reserved and this BMC leaves junk in them
//                  (ProgressJunk).
//   Add SEL Entry  16 bytes; a full SEL refuses the entry (0xC4) and sets
//                  the overflow flag. An added entry cancels the reservation.
//   While an erase runs, Get SEL Info, Reserve SEL and Add SEL Entry answer
//   0x81 (cannot execute command, SEL erase in progress).
// Chassis:
//   Set Power Restore Policy  bits 2..0: 0 stay off, 1 previous state,
//                  2 always on, 3 no change; response: supported policies
//                  (0x07). Get Chassis Status reports the policy in bits 6..5.
// Failures injected with Fail () may carry response data, as a BMC may send
// data after an error completion code; the caller must not use it.
#pragma once

#include "board/IpmiTransport.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <utility>
#include <vector>

namespace vboard {

class Bmc : public IpmiLink {
 public:
  // --- state a test may set or inspect
  uint32_t Ready = 1;                   // what IsBmcReady reports
  std::vector<std::array<uint8_t, 16>> Sel;
  size_t SelCapacity = 64;
  bool Overflow = false;
  bool ReserveSelSupported = true;
  unsigned ErasePolls = 0;              // status polls an erase takes
  bool EraseNeverCompletes = false;
  uint8_t PowerRestorePolicy = 0;       // 0 off, 1 previous, 2 always on
  uint16_t Reservation = 0;             // current reservation, 0 = none
  std::vector<uint16_t> Reservations;   // every reservation ID issued, in order
  uint8_t ProgressJunk = 0xA0;          // bits 7..4 of every erasure-progress byte
  // The erase ends just after the BMC answered the poll that saw it still
  // running: that poll reports "in progress", the next finds the
  // reservation cancelled by the erase.
  bool EraseEndsAfterReply = false;

  // --- fault injection: the next matching commands fail with this
  // completion code (Skip matching commands pass first; Count < 0: all).
  struct Failure {
    uint8_t CompletionCode = ipmi::CcUnspecified;
    int Count = -1;
    int Skip = 0;
    bool NoAnswer = false;              // no reply at all (a transport timeout)
  };
  // Data: response data the BMC sends after the error completion code.
  void Fail (uint8_t NetFn, uint8_t Cmd, Failure F, std::vector<uint8_t> Data = {}) {
    mFailures[{NetFn, Cmd}] = F;
    mFailureData[{NetFn, Cmd}] = std::move (Data);
  }
  void ClearFailures () {
    mFailures.clear ();
    mFailureData.clear ();
  }

  // --- what reached the BMC
  struct Command {
    uint8_t NetFn = 0, Lun = 0, Cmd = 0;
    std::vector<uint8_t> Request;
    uint8_t CompletionCode = 0;
    std::vector<uint8_t> Response;
    bool Answered = true;
  };
  std::vector<Command> Log;
  // Called after every command with what was logged for it: a test can make
  // the BMC change under the caller (go not-ready, log an event of its own).
  std::function<void (const Command &)> AfterCommand;
  size_t Count (uint8_t NetFn, uint8_t Cmd) const;

  // The BMC logs a system event record of its own (dropped while an erase
  // runs); cancels the reservation like an added entry.
  void AddSelEntry (uint8_t RecordType = 0x02);
  bool EraseInProgress () const { return mErasing; }

  // IpmiLink
  uint32_t ReadyValue () override { return Ready; }
  std::optional<IpmiReply> Exchange (uint8_t NetFn, uint8_t Lun, uint8_t Cmd,
                                     const std::vector<uint8_t> &Request) override;

 private:
  IpmiReply Handle (uint8_t NetFn, uint8_t Cmd, const std::vector<uint8_t> &Request);
  IpmiReply ClearSel (const std::vector<uint8_t> &Request);
  void CompleteErase ();
  uint16_t NextReservation ();
  IpmiReply Progress (uint8_t Value) const;

  std::map<std::pair<uint8_t, uint8_t>, Failure> mFailures;
  std::map<std::pair<uint8_t, uint8_t>, std::vector<uint8_t>> mFailureData;
  bool mErasing = false;
  unsigned mPollsLeft = 0;
  uint16_t mReservationSeed = 0x3C5A;
  uint16_t mNextRecordId = 1;
};

}  // namespace vboard
