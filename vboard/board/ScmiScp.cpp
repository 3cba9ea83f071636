#include "board/ScmiScp.h"

#include <cstdio>

namespace vboard {

namespace {

constexpr uint64_t kPage = 0x1000;
constexpr uint64_t kSharedOffsetInPage = scmi::kSharedMemoryBase & (kPage - 1);

std::string Hex (uint64_t Value) {
  char Text[24];
  std::snprintf (Text, sizeof (Text), "0x%llx", static_cast<unsigned long long> (Value));
  return Text;
}

}  // namespace

// One 4 KiB page of the channel as the CPU sees it.
class SystemControlProcessor::Window : public MmioDevice {
 public:
  Window (SystemControlProcessor &Scp, uint64_t Base) : mScp (Scp), mBase (Base) {}
  uint64_t Read (uint64_t Offset, unsigned Size) override { return mScp.Read (mBase + Offset, Offset, Size); }
  void Write (uint64_t Offset, unsigned Size, uint64_t Value) override { mScp.Write (mBase + Offset, Offset, Size, Value); }
  uint64_t Base () const { return mBase; }

 private:
  SystemControlProcessor &mScp;
  uint64_t mBase;
};

SystemControlProcessor::SystemControlProcessor (Machine &M, unsigned Socket) : mMachine (M), mSocket (Socket) {
  mControlPage = std::make_unique<Window> (*this, scmi::SocketAddress (scmi::kControlBase & ~(kPage - 1), Socket));
  mSharedPage = std::make_unique<Window> (*this, scmi::SocketAddress (scmi::kSharedMemoryBase & ~(kPage - 1), Socket));
  mMachine.MapDevice (mControlPage->Base (), kPage, mControlPage.get ());
  mMachine.MapDevice (mSharedPage->Base (), kPage, mSharedPage.get ());
  mShared[scmi::kStatus / 4] = scmi::kStatusFree;   // idle: the channel belongs to the caller
}

SystemControlProcessor::~SystemControlProcessor () {
  mMachine.Unmap (mControlPage->Base (), kPage);
  mMachine.Unmap (mSharedPage->Base (), kPage);
}

std::string SystemControlProcessor::RegisterName (uint64_t Address) const {
  if (Address == ControlRegister ()) return "control";
  if (Address == DoorbellRegister ()) return "doorbell";
  if (Address >= SharedMemory () && Address - SharedMemory () < scmi::kSharedMemorySize) {
    uint64_t Offset = Address - SharedMemory ();
    switch (Offset) {
      case 0x00: case 0x08: case 0x0C: return "reserved+" + Hex (Offset);
      case scmi::kStatus: return "status";
      case scmi::kFlags: return "flags";
      case scmi::kLength: return "length";
      case scmi::kHeader: return "header";
      default: return "payload[" + std::to_string ((Offset - scmi::kPayload) / 4) + "]";
    }
  }
  return "";
}

void SystemControlProcessor::Log (bool IsWrite, uint64_t Address, unsigned Size, uint32_t Value) {
  Accesses.push_back ({IsWrite, Address, Size, Value, mMachine.NowNs ? mMachine.NowNs () : 0, RegisterName (Address)});
}

void SystemControlProcessor::Report (const std::string &What) { Malformed.push_back (What); }

void SystemControlProcessor::Update () {
  if (mInFlight && Mode != Reply::Never && (mMachine.NowNs ? mMachine.NowNs () : 0) >= mDueNs) {
    Respond ();
  }
}

uint64_t SystemControlProcessor::Read (uint64_t Address, uint64_t Offset, unsigned Size) {
  Update ();
  std::string Name = RegisterName (Address);
  if (Size != 4 || (Address & 3) != 0 || Name.empty ()) {
    Log (false, Address, Size, 0);
    Report (std::to_string (Size) + "-byte read at " + Hex (Address) +
            (Name.empty () ? ": no register there" : ": the channel takes single aligned 32-bit accesses"));
    return 0;
  }
  uint32_t Value = 0;
  if (Name == "control") {
    Value = mControl;
  } else if (Name != "doorbell") {
    Value = mShared[(Address - SharedMemory ()) / 4];
  }
  Log (false, Address, Size, Value);
  return Value;
}

void SystemControlProcessor::Write (uint64_t Address, uint64_t Offset, unsigned Size, uint64_t Value) {
  Update ();
  std::string Name = RegisterName (Address);
  uint32_t Word = static_cast<uint32_t> (Value);
  Log (true, Address, Size, Word);
  if (Size != 4 || (Address & 3) != 0 || Name.empty ()) {
    Report (std::to_string (Size) + "-byte write at " + Hex (Address) +
            (Name.empty () ? ": no register there" : ": the channel takes single aligned 32-bit accesses"));
    return;
  }
  if (Name == "control") {
    mControl = Word;
    return;
  }
  if (Name == "doorbell") {
    Doorbell (Word);
    return;
  }
  if (mInFlight) {
    Report ("write of " + Hex (Word) + " to " + Name + " while the platform owns the channel");
  }
  if (Name.rfind ("reserved", 0) == 0 && Word != 0) {
    Report ("nonzero write to the " + Name + " field");
  }
  mShared[(Address - SharedMemory ()) / 4] = Word;
}

void SystemControlProcessor::Doorbell (uint32_t Value) {
  if (mInFlight) {
    Report ("doorbell rung while the platform still owns the channel (no reply yet to the last message)");
    return;
  }
  mRequests++;
  const uint32_t Status = mShared[scmi::kStatus / 4], Flags = mShared[scmi::kFlags / 4];
  const uint32_t Length = mShared[scmi::kLength / 4], Header = mShared[scmi::kHeader / 4];
  if ((Status & scmi::kStatusFree) != 0) {
    Report ("doorbell rung with the channel still marked free: a message is posted by clearing the free bit first");
  }
  if (Value != Header) {
    Report ("doorbell written with " + Hex (Value) + ", not the message header " + Hex (Header));
  }
  if ((Flags & 1) != 0) {
    Report ("completion interrupt requested, but this channel has none wired: the caller must poll");
  }
  const uint32_t MessageId = Header & 0xFF, Type = (Header >> 8) & 3, Protocol = (Header >> 10) & 0xFF;
  mVerdict = scmi::kSuccess;
  if ((Header >> 28) != 0 || Type != 0) {
    Report ("message header " + Hex (Header) + " is not a command (type or reserved bits set)");
    mVerdict = scmi::kProtocolError;
  } else if (Protocol != scmi::kSensorProtocol || MessageId != scmi::kSensorReadingGet) {
    Report ("message header " + Hex (Header) + " asks for a command this SCP does not serve");
    mVerdict = scmi::kNotSupported;
  } else if (Length != 12) {
    Report ("length " + std::to_string (Length) + " for SENSOR_READING_GET, which takes header + 8 payload bytes (12)");
    mVerdict = scmi::kProtocolError;
  } else {
    uint32_t SensorId = mShared[scmi::kPayload / 4], ReadFlags = mShared[scmi::kPayload / 4 + 1];
    if (SensorId != 0) {
      Report ("SENSOR_READING_GET for sensor " + std::to_string (SensorId) + "; this SCP has sensor 0 only");
      mVerdict = scmi::kNotFound;
    } else if ((ReadFlags & ~1u) != 0) {
      Report ("SENSOR_READING_GET flags " + Hex (ReadFlags) + " set reserved bits");
      mVerdict = scmi::kInvalidParameters;
    } else if (ReadFlags != 0) {
      Report ("asynchronous SENSOR_READING_GET, which this SCP does not support");
      mVerdict = scmi::kNotSupported;
    }
  }
  mInFlight = true;
  mDueNs = (mMachine.NowNs ? mMachine.NowNs () : 0) + ReplyDelayNs;
}

void SystemControlProcessor::Respond () {
  // The reply replaces the request in place: same header (and token), the
  // status first in the payload, then the reading as a 64-bit value.
  int32_t Status = mVerdict;
  if (Status == scmi::kSuccess && Mode == Reply::ErrorStatus) {
    Status = ErrorStatus;
  }
  uint32_t *Payload = &mShared[scmi::kPayload / 4];
  Payload[0] = static_cast<uint32_t> (Status);
  uint32_t Length = 8;
  if (Status == scmi::kSuccess) {
    const uint64_t Value = static_cast<uint64_t> (TemperatureC);
    Payload[1] = static_cast<uint32_t> (Value);
    Payload[2] = static_cast<uint32_t> (Value >> 32);
    Length = 16;
  }
  if (Mode == Reply::Length) {
    Length = ReplyLength;
  }
  mShared[scmi::kLength / 4] = Length;
  if (Mode == Reply::WrongHeader) {
    mShared[scmi::kHeader / 4] = ReplyHeader;
  }
  if (ReplyOverride) {
    ReplyOverride (mShared, scmi::kSharedMemorySize / 4);
  }
  if (Mode == Reply::ChannelError) {
    mShared[scmi::kStatus / 4] |= scmi::kStatusError;
  }
  mShared[scmi::kStatus / 4] |= scmi::kStatusFree;
  mInFlight = false;
  mReplies++;
}

void ScpSet::SetCount (unsigned Count) {
  while (mScps.size () > Count) {
    mScps.pop_back ();
  }
  while (mScps.size () < Count) {
    mScps.push_back (std::make_unique<SystemControlProcessor> (mMachine, static_cast<unsigned> (mScps.size ())));
  }
}

std::vector<std::string> ScpSet::Malformed () const {
  std::vector<std::string> All;
  for (const auto &Scp : mScps) {
    for (const std::string &M : Scp->Malformed) {
      All.push_back ("socket " + std::to_string (Scp->Socket ()) + ": " + M);
    }
  }
  return All;
}

void ScpSet::ClearLogs () {
  for (auto &Scp : mScps) {
    Scp->Accesses.clear ();
    Scp->Malformed.clear ();
  }
}

}  // namespace vboard
