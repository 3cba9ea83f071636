// A BMC link to an external BMC simulator over TCP, speaking the "VM" serial
// codec of OpenIPMI's ipmi_sim (the protocol QEMU's ipmi-bmc-extern device
// uses on its character device).
//
// Wire format, both directions:
//   message            seq, netfn << 2 | lun, cmd, [cc,] data..., checksum, 0xA0
//                      (responses carry the completion code after cmd; the
//                      checksum makes the sum of all bytes before it plus it
//                      zero modulo 256)
//   hardware operation op bytes..., 0xA1 (version 0xFF 0x01, attention 0x00/
//                      0x01/0x02, power off 0x03, reset 0x04, ...)
//   escaping           a byte 0xA0, 0xA1 or 0xAA inside a frame is sent as
//                      0xAA followed by the byte with bit 4 set
// A response's netfn is the request's plus one (the response bit).
#pragma once

#include "board/IpmiTransport.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace vboard {

namespace vmcodec {
constexpr uint8_t kMsgEnd = 0xA0;
constexpr uint8_t kHwOpEnd = 0xA1;
constexpr uint8_t kEscape = 0xAA;
constexpr uint8_t kHwOpVersion = 0xFF;
constexpr uint8_t kHwOpCapabilities = 0x08;
constexpr uint8_t kProtocolVersion = 1;

// The two's-complement checksum of Bytes.
uint8_t Checksum (const std::vector<uint8_t> &Bytes);
// A request frame, escaped and terminated.
std::vector<uint8_t> EncodeRequest (uint8_t Seq, uint8_t NetFn, uint8_t Lun, uint8_t Cmd, const std::vector<uint8_t> &Data);
// A hardware-operation frame, escaped and terminated.
std::vector<uint8_t> EncodeHwOp (const std::vector<uint8_t> &Bytes);

struct Frame {
  bool HwOp = false;
  std::vector<uint8_t> Bytes;    // unescaped, terminator dropped (messages keep the checksum)
};

// Splits a received byte stream into frames; bytes of an unfinished frame
// are kept for the next Feed.
class Decoder {
 public:
  void Feed (const uint8_t *Data, size_t Size);
  std::optional<Frame> Next ();

 private:
  std::deque<Frame> mReady;
  std::vector<uint8_t> mCurrent;
  bool mEscape = false;
};

struct Response {
  uint8_t Seq = 0, NetFn = 0, Lun = 0, Cmd = 0, CompletionCode = 0;
  std::vector<uint8_t> Data;
};
// A response message (checksum verified and removed); no value when the
// message is too short or its checksum is wrong.
std::optional<Response> ParseResponse (const std::vector<uint8_t> &Message);
}  // namespace vmcodec

class IpmiVmTransport : public IpmiLink {
 public:
  IpmiVmTransport () = default;
  ~IpmiVmTransport () override;
  IpmiVmTransport (const IpmiVmTransport &) = delete;
  IpmiVmTransport &operator= (const IpmiVmTransport &) = delete;

  // Connects to Host:Port (an IPv4 address), retrying refused connections
  // until TimeoutMs have passed, then announces the protocol version.
  bool Connect (const std::string &Host, uint16_t Port, int TimeoutMs, std::string *Error = nullptr);
  void Close ();
  bool Connected () const { return mFd >= 0; }

  int ResponseTimeoutMs = 5000;           // wait for one response
  std::vector<std::vector<uint8_t>> HwOps;  // hardware operations the BMC sent
  unsigned Discarded = 0;                 // frames that answered nothing we asked

  uint32_t ReadyValue () override { return Connected () ? 1 : 0; }
  std::optional<IpmiReply> Exchange (uint8_t NetFn, uint8_t Lun, uint8_t Cmd,
                                     const std::vector<uint8_t> &Request) override;

 private:
  bool SendAll (const std::vector<uint8_t> &Bytes);

  int mFd = -1;
  uint8_t mSeq = 0;
  vmcodec::Decoder mDecoder;
};

}  // namespace vboard
