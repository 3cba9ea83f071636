#include "board/Bmc.h"

#include <algorithm>

namespace vboard {

namespace {
constexpr uint8_t kSelVersion = 0x51;          // IPMI 1.5/2.0 SEL
constexpr uint8_t kOpOverflow = 0x80;
constexpr uint8_t kOpDelete = 0x08;
constexpr uint8_t kOpReserve = 0x02;
constexpr uint8_t kEraseInitiate = 0xAA;
constexpr uint8_t kEraseStatus = 0x00;
constexpr uint8_t kEraseInProgress = 0x00;
constexpr uint8_t kEraseCompleted = 0x01;
constexpr uint8_t kPoliciesSupported = 0x07;
constexpr uint8_t kCcEraseInProgress = 0x81;   // SEL commands during an erase

IpmiReply Reply (uint8_t CompletionCode, std::vector<uint8_t> Data = {}) { return {CompletionCode, std::move (Data)}; }

void PutU16 (std::vector<uint8_t> &Out, uint16_t V) {
  Out.push_back (static_cast<uint8_t> (V));
  Out.push_back (static_cast<uint8_t> (V >> 8));
}
}  // namespace

size_t Bmc::Count (uint8_t NetFn, uint8_t Cmd) const {
  size_t N = 0;
  for (const Command &C : Log) {
    N += (C.NetFn == NetFn && C.Cmd == Cmd) ? 1 : 0;
  }
  return N;
}

void Bmc::AddSelEntry (uint8_t RecordType) {
  if (mErasing) {
    return;
  }
  Reservation = 0;
  std::array<uint8_t, 16> E{};
  E[0] = static_cast<uint8_t> (mNextRecordId);
  E[1] = static_cast<uint8_t> (mNextRecordId >> 8);
  E[2] = RecordType;
  mNextRecordId++;
  if (Sel.size () >= SelCapacity) {
    Overflow = true;
    return;
  }
  Sel.push_back (E);
}

std::optional<IpmiReply> Bmc::Exchange (uint8_t NetFn, uint8_t Lun, uint8_t Cmd, const std::vector<uint8_t> &Request) {
  Command C;
  C.NetFn = NetFn;
  C.Lun = Lun;
  C.Cmd = Cmd;
  C.Request = Request;

  std::optional<IpmiReply> Result;
  auto F = mFailures.find ({NetFn, Cmd});
  if (F != mFailures.end () && F->second.Skip > 0) {
    F->second.Skip--;
    F = mFailures.end ();
  }
  if (F != mFailures.end () && F->second.Count != 0) {
    if (F->second.Count > 0) {
      F->second.Count--;
    }
    if (!F->second.NoAnswer) {
      Result = Reply (F->second.CompletionCode, mFailureData[{NetFn, Cmd}]);
    }
  } else {
    Result = Handle (NetFn, Cmd, Request);
  }

  C.Answered = Result.has_value ();
  if (Result) {
    C.CompletionCode = Result->CompletionCode;
    C.Response = Result->Data;
  }
  Log.push_back (C);
  if (AfterCommand) {
    AfterCommand (Log.back ());
  }
  return Result;
}

uint16_t Bmc::NextReservation () {
  // A 16-bit linear congruential sequence: consecutive IDs differ in both
  // bytes, so a caller that keeps only one byte of the ID is refused.
  uint16_t Previous = mReservationSeed;
  do {
    mReservationSeed = static_cast<uint16_t> (mReservationSeed * 25173u + 13849u);
  } while ((mReservationSeed & 0xFF) == 0 || (mReservationSeed >> 8) == 0 ||
           ((mReservationSeed ^ Previous) & 0x00FF) == 0 || ((mReservationSeed ^ Previous) & 0xFF00) == 0);
  return mReservationSeed;
}

IpmiReply Bmc::Progress (uint8_t Value) const {
  return Reply (ipmi::CcOk, {static_cast<uint8_t> ((ProgressJunk & 0xF0) | Value)});
}

IpmiReply Bmc::Handle (uint8_t NetFn, uint8_t Cmd, const std::vector<uint8_t> &Request) {
  if (NetFn == ipmi::NetFnStorage) {
    if (mErasing && (Cmd == ipmi::CmdGetSelInfo || Cmd == ipmi::CmdReserveSel || Cmd == ipmi::CmdAddSelEntry)) {
      return Reply (kCcEraseInProgress);
    }
    switch (Cmd) {
      case ipmi::CmdGetSelInfo: {
        if (!Request.empty ()) return Reply (ipmi::CcRequestLengthInvalid);
        std::vector<uint8_t> D;
        D.push_back (kSelVersion);
        PutU16 (D, static_cast<uint16_t> (Sel.size ()));
        PutU16 (D, static_cast<uint16_t> ((SelCapacity - std::min (SelCapacity, Sel.size ())) * 16));
        for (int I = 0; I < 8; I++) D.push_back (0xFF);   // no time stamps kept
        D.push_back (static_cast<uint8_t> ((Overflow ? kOpOverflow : 0) | kOpDelete | (ReserveSelSupported ? kOpReserve : 0)));
        return Reply (ipmi::CcOk, D);
      }
      case ipmi::CmdReserveSel: {
        if (!ReserveSelSupported) return Reply (ipmi::CcInvalidCommand);
        if (!Request.empty ()) return Reply (ipmi::CcRequestLengthInvalid);
        Reservation = NextReservation ();
        Reservations.push_back (Reservation);
        std::vector<uint8_t> D;
        PutU16 (D, Reservation);
        return Reply (ipmi::CcOk, D);
      }
      case ipmi::CmdAddSelEntry: {
        if (Request.size () != 16) return Reply (ipmi::CcRequestLengthInvalid);
        if (Sel.size () >= SelCapacity) {
          Overflow = true;
          return Reply (ipmi::CcOutOfSpace);
        }
        std::array<uint8_t, 16> E{};
        std::copy (Request.begin (), Request.end (), E.begin ());
        uint16_t Id = mNextRecordId++;
        E[0] = static_cast<uint8_t> (Id);
        E[1] = static_cast<uint8_t> (Id >> 8);
        Sel.push_back (E);
        Reservation = 0;
        std::vector<uint8_t> D;
        PutU16 (D, Id);
        return Reply (ipmi::CcOk, D);
      }
      case ipmi::CmdClearSel:
        return ClearSel (Request);
      default:
        return Reply (ipmi::CcInvalidCommand);
    }
  }
  if (NetFn == ipmi::NetFnChassis) {
    switch (Cmd) {
      case ipmi::CmdSetPowerRestorePolicy: {
        if (Request.size () != 1) return Reply (ipmi::CcRequestLengthInvalid);
        uint8_t Policy = Request[0] & 0x07;
        if ((Request[0] & 0xF8) != 0 || Policy > 3) return Reply (ipmi::CcInvalidDataField);
        if (Policy != 3) PowerRestorePolicy = Policy;
        return Reply (ipmi::CcOk, {kPoliciesSupported});
      }
      case ipmi::CmdGetChassisStatus:
        return Reply (ipmi::CcOk, {static_cast<uint8_t> (PowerRestorePolicy << 5), 0, 0});
      default:
        return Reply (ipmi::CcInvalidCommand);
    }
  }
  return Reply (ipmi::CcInvalidCommand);
}

IpmiReply Bmc::ClearSel (const std::vector<uint8_t> &Request) {
  if (Request.size () != 6) return Reply (ipmi::CcRequestLengthInvalid);
  uint16_t Id = static_cast<uint16_t> (Request[0] | (Request[1] << 8));
  bool IdValid = ReserveSelSupported ? (Reservation != 0 && Id == Reservation) : (Id == 0);
  if (!IdValid) return Reply (ipmi::CcReservationInvalid);
  if (Request[2] != 'C' || Request[3] != 'L' || Request[4] != 'R') return Reply (ipmi::CcInvalidDataField);

  switch (Request[5]) {
    case kEraseInitiate:
      mErasing = true;
      mPollsLeft = ErasePolls;
      if (mPollsLeft == 0 && !EraseNeverCompletes) {
        CompleteErase ();
        return Progress (kEraseCompleted);
      }
      return Progress (kEraseInProgress);
    case kEraseStatus:
      if (!mErasing) return Progress (kEraseCompleted);
      if (mPollsLeft > 0) mPollsLeft--;
      if (mPollsLeft == 0 && !EraseNeverCompletes) {
        CompleteErase ();
        return Progress (EraseEndsAfterReply ? kEraseInProgress : kEraseCompleted);
      }
      return Progress (kEraseInProgress);
    default:
      return Reply (ipmi::CcInvalidDataField);
  }
}

void Bmc::CompleteErase () {
  mErasing = false;
  Sel.clear ();
  Overflow = false;
  // An erase changes the SEL under every reservation holder.
  Reservation = 0;
}

}  // namespace vboard
