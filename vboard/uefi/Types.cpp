#include "uefi/Types.h"

#include <cstdio>
#include <stdexcept>

namespace vboard {

Guid Guid::Parse (const std::string &Text) {
  unsigned A, B, C, D[8];
  if (std::sscanf (Text.c_str (), "%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x", &A, &B, &C, &D[0], &D[1], &D[2],
                   &D[3], &D[4], &D[5], &D[6], &D[7]) != 11 || Text.size () != 36) {
    throw std::invalid_argument ("not a GUID: " + Text);
  }
  Guid G;
  for (int I = 0; I < 4; I++) G.Bytes[I] = static_cast<uint8_t> (A >> (8 * I));
  for (int I = 0; I < 2; I++) G.Bytes[4 + I] = static_cast<uint8_t> (B >> (8 * I));
  for (int I = 0; I < 2; I++) G.Bytes[6 + I] = static_cast<uint8_t> (C >> (8 * I));
  for (int I = 0; I < 8; I++) G.Bytes[8 + I] = static_cast<uint8_t> (D[I]);
  return G;
}

std::string Guid::ToString () const {
  char Buf[40];
  const auto &X = Bytes;
  std::snprintf (Buf, sizeof (Buf), "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", X[3], X[2],
                 X[1], X[0], X[5], X[4], X[7], X[6], X[8], X[9], X[10], X[11], X[12], X[13], X[14], X[15]);
  return Buf;
}

namespace efi {
std::string StatusName (uint64_t Status) {
  static const char *const kErrors[] = {
      "Success", "Load Error", "Invalid Parameter", "Unsupported", "Bad Buffer Size", "Buffer Too Small",
      "Not Ready", "Device Error", "Write Protected", "Out of Resources", "Volume Corrupt", "Volume Full",
      "No Media", "Media changed", "Not Found", "Access Denied", "No Response", "No mapping", "Time out",
      "Not started", "Already started", "Aborted", "ICMP Error", "TFTP Error", "Protocol Error",
      "Incompatible Version", "Security Violation", "CRC Error", "End of Media", "Reserved (29)",
      "Reserved (30)", "End of File", "Invalid Language", "Compromised Data"};
  uint64_t Code = Status & ~kErrorBit;
  if (Status == 0) return "Success";
  if (IsError (Status) && Code < sizeof (kErrors) / sizeof (kErrors[0])) return kErrors[Code];
  char Buf[40];
  std::snprintf (Buf, sizeof (Buf), "%s 0x%llx", IsError (Status) ? "Error" : "Warning",
                 static_cast<unsigned long long> (Status));
  return Buf;
}
}  // namespace efi

namespace guids {
const Guid DxeServicesTable = Guid::Parse ("05AD34BA-6F02-4214-952E-4DA0398E2BB9");
const Guid HobList = Guid::Parse ("7739F24C-93D7-11D4-9A3A-0090273FC14D");
const Guid LoadedImageProtocol = Guid::Parse ("5B1B31A1-9562-11D2-8E3F-00A0C969723B");
const Guid LoadedImageDevicePathProtocol = Guid::Parse ("BC62157E-3E33-4FEC-9920-2D3B36D750DF");
const Guid PcdProtocol = Guid::Parse ("11B34006-D85B-4D0A-A290-D5A571310EF7");
const Guid PiPcdProtocol = Guid::Parse ("13A3F0F6-264A-3EF0-F2E0-DEC512342F34");
const Guid DebugMaskProtocol = Guid::Parse ("4C8A2451-C207-405B-9694-99EA13251341");
const Guid EventReadyToBoot = Guid::Parse ("7CE88FB3-4BD7-4679-87A8-A8D8DEE50D2B");
const Guid EventExitBootServices = Guid::Parse ("27ABF055-B1B8-4C26-8048-748F37BAA2DF");
const Guid GlobalVariable = Guid::Parse ("8BE4DF61-93CA-11D2-AA0D-00E098032B8C");
}  // namespace guids

}  // namespace vboard
