#include "board/IpmiTransport.h"

#include "board/Platform.h"

#include <algorithm>
#include <cstdio>

namespace vboard {

namespace {
std::string Hex (const std::vector<uint8_t> &Bytes) {
  std::string Out;
  char Buf[4];
  for (uint8_t B : Bytes) {
    std::snprintf (Buf, sizeof (Buf), "%02x", B);
    Out += (Out.empty () ? "" : " ") + std::string (Buf);
  }
  return "[" + Out + "]";
}
}  // namespace

std::string Describe (const IpmiSent &S) {
  char Buf[64];
  std::snprintf (Buf, sizeof (Buf), "netfn 0x%02x cmd 0x%02x ", S.NetFn, S.Cmd);
  std::string Out = S.Caller + ": " + Buf + Hex (S.Request);
  if (S.Delivered) {
    std::snprintf (Buf, sizeof (Buf), " -> cc 0x%02x ", S.CompletionCode);
    Out += Buf + Hex (S.Response);
  }
  return Out + " " + efi::StatusName (S.Status);
}

IpmiTransport::IpmiTransport (Firmware &Fw, IpmiLink &Link) : mFw (Fw), mLink (Link) {
  mInterface = mFw.MakeHostInterface ("IpmiTransport",
      {{"SendCommand", [this] (CallArgs &A) { return SendCommand (A); }},
       {"Reserved1", nullptr},
       {"Reserved2", nullptr},
       {"Reserved3", nullptr},
       {"Reserved4", nullptr},
       {"IsBmcReady", [this] (CallArgs &A) -> uint64_t {
          ReadyQueries++;
          if (A[0] != mInterface) {
            mFw.Misuse ("IpmiTransport.IsBmcReady called with a This that is not the installed instance");
            return 0;
          }
          // Only bits 31..0 are the result; the upper half of x0 is junk.
          return 0x5AA5C33C00000000ull | ServingLink ().ReadyValue ();
        }}});
}

void IpmiTransport::Install () {
  if (mHandle != 0) {
    return;
  }
  uint64_t Handle = 0;
  if (!efi::IsError (mFw.InstallProtocol (Handle, platform::kIpmiTransportProtocol, mInterface))) {
    mHandle = Handle;
  }
}

void IpmiTransport::Uninstall () {
  if (mHandle != 0) {
    mFw.UninstallProtocol (mHandle, platform::kIpmiTransportProtocol, mInterface);
    mHandle = 0;
  }
}

uint64_t IpmiTransport::SendCommand (CallArgs &A) {
  Machine &M = mFw.M;
  IpmiSent S;
  S.Caller = mFw.CallerName (A.Caller ());
  uint16_t CommandId = static_cast<uint16_t> (A[1]);
  S.NetFn = static_cast<uint8_t> ((CommandId & 0xFF) >> 2);
  S.Lun = static_cast<uint8_t> (CommandId & 0x3);
  S.Cmd = static_cast<uint8_t> (CommandId >> 8);
  uint64_t RequestData = A[2];
  uint8_t RequestSize = static_cast<uint8_t> (A[3]);
  uint64_t ResponseData = A[4], ResponseSizePtr = A[5];
  S.Reserved = A[6];

  auto Finish = [this, &S] (uint64_t Status) {
    S.Status = Status;
    Sent.push_back (S);
    return Status;
  };

  if (A[0] != mInterface) {
    mFw.Misuse ("IpmiTransport.SendCommand called with a This that is not the installed instance");
    return Finish (efi::InvalidParameter);
  }
  if (ResponseSizePtr == 0 || (RequestSize != 0 && RequestData == 0)) {
    return Finish (efi::InvalidParameter);
  }
  S.Request.resize (RequestSize);
  if (RequestSize != 0 && !M.Read (RequestData, S.Request.data (), RequestSize)) {
    mFw.Misuse ("IpmiTransport.SendCommand: request data is not readable memory");
    return Finish (efi::InvalidParameter);
  }
  if (!M.Read (ResponseSizePtr, &S.ResponseCapacity, 1)) {
    mFw.Misuse ("IpmiTransport.SendCommand: ResponseSize is not readable memory");
    return Finish (efi::InvalidParameter);
  }
  if (S.ResponseCapacity != 0 && ResponseData == 0) {
    return Finish (efi::InvalidParameter);
  }
  if (ServingLink ().ReadyValue () != 1) {
    return Finish (efi::NotReady);
  }

  std::optional<IpmiReply> Reply = ServingLink ().Exchange (S.NetFn, S.Lun, S.Cmd, S.Request);
  S.Delivered = true;
  if (!Reply) {
    return Finish (efi::Timeout);
  }
  S.CompletionCode = Reply->CompletionCode;
  size_t Copy = std::min<size_t> (Reply->Data.size (), S.ResponseCapacity);
  S.Response.assign (Reply->Data.begin (), Reply->Data.begin () + Copy);
  if (Copy != 0 && !M.Write (ResponseData, S.Response.data (), Copy)) {
    mFw.Misuse ("IpmiTransport.SendCommand: response buffer is not writable memory");
    return Finish (efi::InvalidParameter);
  }
  if (Reply->CompletionCode != ipmi::CcOk) {
    M.Store<uint8_t> (ResponseSizePtr, static_cast<uint8_t> (Copy));
    return Finish (efi::DeviceError);
  }
  if (Reply->Data.size () > S.ResponseCapacity) {
    M.Store<uint8_t> (ResponseSizePtr, static_cast<uint8_t> (std::min<size_t> (Reply->Data.size (), 0xFF)));
    return Finish (efi::BufferTooSmall);
  }
  M.Store<uint8_t> (ResponseSizePtr, static_cast<uint8_t> (Copy));
  return Finish (efi::Success);
}

}  // namespace vboard
