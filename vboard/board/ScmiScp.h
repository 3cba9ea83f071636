// The system-control processor (SCP) of one CPU socket and the SCMI mailbox
// channel the application processors reach it through. Every address of
// socket N's channel is socket 0's plus N << 44:
//   control register     0x3800150C   (written 1 at the start of an exchange)
//   doorbell register    0x38001128   (written with the message header)
//   shared memory        0x38004C00   (the SCMI shared-memory transport:)
//     +0x00 reserved  +0x04 channel status (bit 0 free, bit 1 error)
//     +0x08 reserved  +0x10 channel flags (bit 0 completion interrupt)
//     +0x14 length (header + payload)  +0x18 message header  +0x1C payload
//
// The SCP answers one command, Sensor protocol (15h) SENSOR_READING_GET
// (06h), for sensor 0, the die temperature in degrees Celsius, a configurable
// time after the doorbell rings. It checks the request as the shared-memory
// transport defines it: the caller owns the channel only while the
// channel-free bit is set, clears it to post, and rings the doorbell after;
// the length must cover exactly the header and the command's payload. It
// answers a malformed request with an SCMI error status, and records what
// was wrong in Malformed. The channel takes single aligned 32-bit accesses
// only; anything else, and any access to an offset that holds no register,
// is recorded there too. Every access is logged, in order, with the
// simulated time it happened at.
//
// The reading is the sensor protocol's signed 64-bit sensor value
// (sensor_value_low, then sensor_value_high), so a reading below zero
// arrives in two's complement.
//
// Fault injection: the SCP can be silent (it takes the request and never
// answers), answer with a negative SCMI status, answer with a length field
// of any value, hand the channel back with the channel-error bit set (a
// transport error: the payload is not a reply), or answer under a message
// header other than the request's (a reply to another message). The
// channel-error bit, once set, stays set until the caller clears it when it
// posts its next message.
#pragma once

#include "cpu/Machine.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vboard {

namespace scmi {
constexpr uint64_t kControlBase = 0x38001500;
constexpr uint64_t kDoorbellBase = 0x38001120;
constexpr uint64_t kSharedMemoryBase = 0x38004C00;
constexpr unsigned kSocketShift = 44;
constexpr uint64_t kControlRegister = kControlBase + 0x0C;
constexpr uint64_t kDoorbellRegister = kDoorbellBase + 0x08;
constexpr uint64_t kSharedMemorySize = 0x100;     // the transport area the SCP serves
// Shared-memory offsets.
constexpr uint64_t kStatus = 0x04, kFlags = 0x10, kLength = 0x14, kHeader = 0x18, kPayload = 0x1C;
constexpr uint32_t kStatusFree = 1u << 0, kStatusError = 1u << 1;
// Sensor management protocol, SENSOR_READING_GET, command, token 0.
constexpr uint32_t kSensorProtocol = 0x15, kSensorReadingGet = 0x06;
constexpr uint32_t kSensorReadingGetHeader = (kSensorProtocol << 10) | kSensorReadingGet;   // 0x5406
// SCMI status codes.
constexpr int32_t kSuccess = 0, kNotSupported = -1, kInvalidParameters = -2, kNotFound = -4, kBusy = -6,
                  kProtocolError = -10;

constexpr uint64_t SocketAddress (uint64_t Socket0Address, unsigned Socket) {
  return Socket0Address + (static_cast<uint64_t> (Socket) << kSocketShift);
}
}  // namespace scmi

struct ScmiAccess {
  bool Write = false;
  uint64_t Address = 0;     // guest physical address
  unsigned Size = 0;
  uint32_t Value = 0;
  uint64_t TimeNs = 0;
  std::string Register;     // "control", "doorbell", "status", "length", "payload[1]", ...
};

class SystemControlProcessor {
 public:
  enum class Reply { Reading, Never, ErrorStatus, Length, ChannelError, WrongHeader };

  SystemControlProcessor (Machine &M, unsigned Socket);
  ~SystemControlProcessor ();
  SystemControlProcessor (const SystemControlProcessor &) = delete;
  SystemControlProcessor &operator= (const SystemControlProcessor &) = delete;

  unsigned Socket () const { return mSocket; }
  uint64_t ControlRegister () const { return scmi::SocketAddress (scmi::kControlRegister, mSocket); }
  uint64_t DoorbellRegister () const { return scmi::SocketAddress (scmi::kDoorbellRegister, mSocket); }
  uint64_t SharedMemory () const { return scmi::SocketAddress (scmi::kSharedMemoryBase, mSocket); }

  // How it answers.
  int64_t TemperatureC = 40;
  uint64_t ReplyDelayNs = 100000;          // 100 us after the doorbell
  Reply Mode = Reply::Reading;
  int32_t ErrorStatus = scmi::kBusy;       // Reply::ErrorStatus
  uint32_t ReplyLength = 16;               // Reply::Length: the length field it writes
  // Reply::WrongHeader: the header it answers under (the request's with
  // token 1 by default).
  uint32_t ReplyHeader = scmi::kSensorReadingGetHeader | (1u << 18);
  // Rewrites the channel's words after a reply is composed and before the
  // channel is handed back (a faulty or hostile SCP); empty by default.
  std::function<void (uint32_t *Words, size_t Count)> ReplyOverride;

  // What happened.
  std::vector<ScmiAccess> Accesses;
  std::vector<std::string> Malformed;
  unsigned Requests () const { return mRequests; }
  unsigned Replies () const { return mReplies; }
  bool Busy () const { return mInFlight; }
  uint32_t SharedWord (uint64_t Offset) const { return mShared[Offset / 4]; }
  // Brings the channel up to the current simulated time (posts a reply that
  // is due); the guest's own accesses do so too.
  void Update ();

 private:
  class Window;
  uint64_t Read (uint64_t Address, uint64_t Offset, unsigned Size);
  void Write (uint64_t Address, uint64_t Offset, unsigned Size, uint64_t Value);
  std::string RegisterName (uint64_t Address) const;
  void Log (bool IsWrite, uint64_t Address, unsigned Size, uint32_t Value);
  void Report (const std::string &What);
  void Doorbell (uint32_t Value);
  void Respond ();

  Machine &mMachine;
  unsigned mSocket;
  std::unique_ptr<Window> mControlPage, mSharedPage;
  uint32_t mShared[scmi::kSharedMemorySize / 4] = {};
  uint32_t mControl = 0;
  bool mInFlight = false;
  uint64_t mDueNs = 0;
  int32_t mVerdict = scmi::kSuccess;      // status the request in flight earns
  unsigned mRequests = 0, mReplies = 0;
};

// The sockets the board is built with: one SCP and channel each.
class ScpSet {
 public:
  static constexpr unsigned kMaxSockets = 2;
  explicit ScpSet (Machine &M) : mMachine (M) {}
  void SetCount (unsigned Count);          // 1..kMaxSockets; maps or unmaps channels
  unsigned Count () const { return static_cast<unsigned> (mScps.size ()); }
  SystemControlProcessor &operator[] (unsigned Socket) { return *mScps.at (Socket); }
  std::vector<std::string> Malformed () const;   // every SCP's, prefixed with the socket
  void ClearLogs ();

 private:
  Machine &mMachine;
  std::vector<std::unique_ptr<SystemControlProcessor>> mScps;
};

}  // namespace vboard
