#include "board/IpmiVmTransport.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace vboard {

namespace vmcodec {

namespace {
void Put (std::vector<uint8_t> &Out, uint8_t Byte) {
  if (Byte == kMsgEnd || Byte == kHwOpEnd || Byte == kEscape) {
    Out.push_back (kEscape);
    Out.push_back (static_cast<uint8_t> (Byte | 0x10));
  } else {
    Out.push_back (Byte);
  }
}
}  // namespace

uint8_t Checksum (const std::vector<uint8_t> &Bytes) {
  uint8_t Sum = 0;
  for (uint8_t B : Bytes) Sum = static_cast<uint8_t> (Sum + B);
  return static_cast<uint8_t> (-Sum);
}

std::vector<uint8_t> EncodeRequest (uint8_t Seq, uint8_t NetFn, uint8_t Lun, uint8_t Cmd, const std::vector<uint8_t> &Data) {
  std::vector<uint8_t> Raw{Seq, static_cast<uint8_t> ((NetFn << 2) | (Lun & 0x3)), Cmd};
  Raw.insert (Raw.end (), Data.begin (), Data.end ());
  Raw.push_back (Checksum (Raw));
  std::vector<uint8_t> Out;
  for (uint8_t B : Raw) Put (Out, B);
  Out.push_back (kMsgEnd);
  return Out;
}

std::vector<uint8_t> EncodeHwOp (const std::vector<uint8_t> &Bytes) {
  std::vector<uint8_t> Out;
  for (uint8_t B : Bytes) Put (Out, B);
  Out.push_back (kHwOpEnd);
  return Out;
}

void Decoder::Feed (const uint8_t *Data, size_t Size) {
  for (size_t I = 0; I < Size; I++) {
    uint8_t B = Data[I];
    if (B == kMsgEnd || B == kHwOpEnd) {
      // A frame that ends inside an escape is damaged; drop it.
      if (!mEscape && !mCurrent.empty ()) {
        mReady.push_back ({B == kHwOpEnd, mCurrent});
      }
      mCurrent.clear ();
      mEscape = false;
    } else if (B == kEscape) {
      mEscape = true;
    } else {
      mCurrent.push_back (mEscape ? static_cast<uint8_t> (B & ~0x10) : B);
      mEscape = false;
    }
  }
}

std::optional<Frame> Decoder::Next () {
  if (mReady.empty ()) return std::nullopt;
  Frame F = std::move (mReady.front ());
  mReady.pop_front ();
  return F;
}

std::optional<Response> ParseResponse (const std::vector<uint8_t> &Message) {
  // seq, netfn/lun, cmd, completion code, checksum at the least
  if (Message.size () < 5) return std::nullopt;
  uint8_t Sum = 0;
  for (uint8_t B : Message) Sum = static_cast<uint8_t> (Sum + B);
  if (Sum != 0) return std::nullopt;
  Response R;
  R.Seq = Message[0];
  R.NetFn = static_cast<uint8_t> (Message[1] >> 2);
  R.Lun = static_cast<uint8_t> (Message[1] & 0x3);
  R.Cmd = Message[2];
  R.CompletionCode = Message[3];
  R.Data.assign (Message.begin () + 4, Message.end () - 1);
  return R;
}

}  // namespace vmcodec

IpmiVmTransport::~IpmiVmTransport () { Close (); }

void IpmiVmTransport::Close () {
  if (mFd >= 0) {
    ::close (mFd);
    mFd = -1;
  }
}

bool IpmiVmTransport::SendAll (const std::vector<uint8_t> &Bytes) {
  size_t Done = 0;
  while (Done < Bytes.size ()) {
    ssize_t N = ::send (mFd, Bytes.data () + Done, Bytes.size () - Done, MSG_NOSIGNAL);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) {
      Close ();
      return false;
    }
    Done += static_cast<size_t> (N);
  }
  return true;
}

bool IpmiVmTransport::Connect (const std::string &Host, uint16_t Port, int TimeoutMs, std::string *Error) {
  Close ();
  sockaddr_in Addr{};
  Addr.sin_family = AF_INET;
  Addr.sin_port = htons (Port);
  if (inet_pton (AF_INET, Host.c_str (), &Addr.sin_addr) != 1) {
    if (Error) *Error = "not an IPv4 address: " + Host;
    return false;
  }
  auto Deadline = std::chrono::steady_clock::now () + std::chrono::milliseconds (TimeoutMs);
  for (;;) {
    int Fd = ::socket (AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (Fd < 0) {
      if (Error) *Error = std::string ("socket: ") + std::strerror (errno);
      return false;
    }
    if (::connect (Fd, reinterpret_cast<sockaddr *> (&Addr), sizeof (Addr)) == 0) {
      int One = 1;
      ::setsockopt (Fd, IPPROTO_TCP, TCP_NODELAY, &One, sizeof (One));
      mFd = Fd;
      break;
    }
    int Err = errno;
    ::close (Fd);
    if (std::chrono::steady_clock::now () >= Deadline) {
      if (Error) *Error = "connect " + Host + ":" + std::to_string (Port) + ": " + std::strerror (Err);
      return false;
    }
    std::this_thread::sleep_for (std::chrono::milliseconds (50));
  }
  // The version this side speaks, and no hardware operations (power, reset,
  // NMI, interrupts) that the BMC could ask of this side.
  return SendAll (vmcodec::EncodeHwOp ({vmcodec::kHwOpVersion, vmcodec::kProtocolVersion})) &&
         SendAll (vmcodec::EncodeHwOp ({vmcodec::kHwOpCapabilities, 0x00}));
}

std::optional<IpmiReply> IpmiVmTransport::Exchange (uint8_t NetFn, uint8_t Lun, uint8_t Cmd,
                                                    const std::vector<uint8_t> &Request) {
  if (mFd < 0) return std::nullopt;
  uint8_t Seq = mSeq++;
  if (!SendAll (vmcodec::EncodeRequest (Seq, NetFn, Lun, Cmd, Request))) return std::nullopt;

  auto Deadline = std::chrono::steady_clock::now () + std::chrono::milliseconds (ResponseTimeoutMs);
  for (;;) {
    while (auto F = mDecoder.Next ()) {
      if (F->HwOp) {
        HwOps.push_back (F->Bytes);
        continue;
      }
      auto R = vmcodec::ParseResponse (F->Bytes);
      if (R && R->Seq == Seq && R->NetFn == (NetFn | 1) && R->Lun == Lun && R->Cmd == Cmd) {
        return IpmiReply{R->CompletionCode, R->Data};
      }
      Discarded++;
    }
    auto Left = std::chrono::duration_cast<std::chrono::milliseconds> (Deadline - std::chrono::steady_clock::now ()).count ();
    if (Left <= 0) return std::nullopt;
    pollfd P{mFd, POLLIN, 0};
    int Ready = ::poll (&P, 1, static_cast<int> (Left));
    if (Ready < 0 && errno == EINTR) continue;
    if (Ready <= 0) return std::nullopt;
    uint8_t Buffer[512];
    ssize_t N = ::recv (mFd, Buffer, sizeof (Buffer), 0);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) {
      Close ();
      return std::nullopt;
    }
    mDecoder.Feed (Buffer, static_cast<size_t> (N));
  }
}

}  // namespace vboard
