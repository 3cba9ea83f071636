// The IPMI transport protocol that the board's platform firmware produces
// (IPMI_TRANSPORT_PROTOCOL, GUID A59BC280-6A9C-456B-85AA-7C49738B4383), served
// from the host in front of a BMC link: the in-process BMC model (Bmc.h) or a
// connection to an external BMC simulator (IpmiVmTransport.h).
//
// Interface layout: six function-pointer slots; slot 0 SendCommand, slot 5
// IsBmcReady, slots 1-4 members this board does not provide.
//
//   EFI_STATUS SendCommand (This, UINT16 CommandId, UINT8 *RequestData,
//                           UINT8 RequestSize, UINT8 *ResponseData,
//                           UINT8 *ResponseSize, UINTN Reserved)
//     CommandId: low byte NetFn << 2 | LUN, high byte the command code.
//   UINT32 IsBmcReady (This)      1 when commands may be sent; the value
//     is a full 32-bit word (a BMC may report 0x101 or 0x80000001, which are
//     not 1), and bits 63..32 of the return register hold junk, as AAPCS64
//     allows for a 32-bit result.
//
// Both members check This against the installed instance, as a real
// producer's instance-from-This lookup does; any other value is misuse and
// stops the board.
//
// What SendCommand reports:
//   EFI_SUCCESS           completion code 0; the response data (without the
//                         completion code) is in ResponseData, its length in
//                         *ResponseSize
//   EFI_BUFFER_TOO_SMALL  completion code 0 but more data than *ResponseSize:
//                         what fits is copied, *ResponseSize holds the length
//   EFI_DEVICE_ERROR      a non-zero completion code; whatever data the
//                         BMC sent after it is copied (what fits) and its
//                         length put in *ResponseSize, so a caller must not
//                         read a failed command's buffer as an answer
//   EFI_TIMEOUT           the BMC did not answer
//   EFI_NOT_READY         the BMC is not ready; nothing was sent
//   EFI_INVALID_PARAMETER ResponseSize NULL, or request bytes without a buffer
#pragma once

#include "uefi/Firmware.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vboard {

// IPMI network functions and commands the board's BMC peers use.
namespace ipmi {
constexpr uint8_t NetFnChassis = 0x00;
constexpr uint8_t NetFnApp = 0x06;
constexpr uint8_t NetFnStorage = 0x0A;

constexpr uint8_t CmdGetChassisStatus = 0x01;
constexpr uint8_t CmdSetPowerRestorePolicy = 0x06;
constexpr uint8_t CmdGetDeviceId = 0x01;
constexpr uint8_t CmdGetSelInfo = 0x40;
constexpr uint8_t CmdReserveSel = 0x42;
constexpr uint8_t CmdGetSelEntry = 0x43;
constexpr uint8_t CmdAddSelEntry = 0x44;
constexpr uint8_t CmdClearSel = 0x47;

constexpr uint8_t CcOk = 0x00;
constexpr uint8_t CcNodeBusy = 0xC0;
constexpr uint8_t CcInvalidCommand = 0xC1;
constexpr uint8_t CcOutOfSpace = 0xC4;
constexpr uint8_t CcReservationInvalid = 0xC5;
constexpr uint8_t CcRequestLengthInvalid = 0xC7;
constexpr uint8_t CcInvalidDataField = 0xCC;
constexpr uint8_t CcUnspecified = 0xFF;
}  // namespace ipmi

// A BMC's answer: completion code and the response data after it.
struct IpmiReply {
  uint8_t CompletionCode = ipmi::CcOk;
  std::vector<uint8_t> Data;
};

// Something that answers IPMI requests.
class IpmiLink {
 public:
  virtual ~IpmiLink () = default;
  // The value IsBmcReady hands the guest (1 = ready).
  virtual uint32_t ReadyValue () = 0;
  // One request; no value when no answer came.
  virtual std::optional<IpmiReply> Exchange (uint8_t NetFn, uint8_t Lun, uint8_t Cmd,
                                             const std::vector<uint8_t> &Request) = 0;
};

// One SendCommand as the guest issued it and what it got back.
struct IpmiSent {
  std::string Caller;            // image that called SendCommand
  uint8_t NetFn = 0, Lun = 0, Cmd = 0;
  std::vector<uint8_t> Request;
  uint8_t ResponseCapacity = 0;  // *ResponseSize on the call
  uint64_t Reserved = 0;         // the last argument
  bool Delivered = false;        // reached the BMC link
  uint8_t CompletionCode = 0;
  std::vector<uint8_t> Response; // bytes handed back to the guest
  uint64_t Status = 0;
};

// "Logsweep: netfn 0x0a cmd 0x47 [00 00 43 4c 52 aa] -> cc 0x00 [01] Success"
std::string Describe (const IpmiSent &S);

class IpmiTransport {
 public:
  IpmiTransport (Firmware &Fw, IpmiLink &Link);

  // Installs the protocol on a new handle (again after Uninstall).
  void Install ();
  void Uninstall ();
  uint64_t Interface () const { return mInterface; }
  // Answers from Link instead of the link the transport was built with
  // (the board's BMC) until called with nullptr; the transport keeps Link
  // alive meanwhile. The protocol stays where it is, so whichever DXE core
  // runs reaches the new replies through the same interface.
  void ServeFrom (std::shared_ptr<IpmiLink> Link) { mServedBy = std::move (Link); }

  std::vector<IpmiSent> Sent;    // every SendCommand, in order
  uint64_t ReadyQueries = 0;     // IsBmcReady calls

 private:
  uint64_t SendCommand (CallArgs &A);
  IpmiLink &ServingLink () { return mServedBy ? *mServedBy : mLink; }

  Firmware &mFw;
  IpmiLink &mLink;
  std::shared_ptr<IpmiLink> mServedBy;
  uint64_t mInterface = 0;
  uint64_t mHandle = 0;
};

}  // namespace vboard
