#include "board/FirmwareIdBlock.h"

#include <algorithm>

namespace vboard {

const FirmwareId kDefaultFirmwareId{"ASRV.1.04.0003", u"Arm Server Board UEFI Firmware", "2026-01-15"};

std::vector<uint8_t> FirmwareIdBlockBytes (const FirmwareId &Id, const std::string &Signature) {
  std::vector<uint8_t> Bytes (kFirmwareIdBlockSize, 0);
  std::copy_n (Signature.begin (), std::min<size_t> (Signature.size (), 7), Bytes.begin ());
  Bytes[7] = 0x01;   // build data the driver does not read
  Bytes[8] = 0x04;
  std::copy_n (Id.Ascii.begin (), std::min<size_t> (Id.Ascii.size (), 32), Bytes.begin () + kFirmwareIdAsciiOffset);
  for (size_t I = 0; I < Id.Unicode.size () && I < 38; I++) {
    Bytes[kFirmwareIdUnicodeOffset + 2 * I] = static_cast<uint8_t> (Id.Unicode[I]);
    Bytes[kFirmwareIdUnicodeOffset + 2 * I + 1] = static_cast<uint8_t> (Id.Unicode[I] >> 8);
  }
  std::copy_n (Id.ShortAscii.begin (), std::min<size_t> (Id.ShortAscii.size (), 20), Bytes.begin () + kFirmwareIdShortOffset);
  return Bytes;
}

void WriteFirmwareIdBlock (BootFlash &Flash, uint64_t Address, const FirmwareId &Id) {
  Flash.Program (Address, FirmwareIdBlockBytes (Id));
}

void WriteDefaultFirmwareId (BootFlash &Flash) { WriteFirmwareIdBlock (Flash, kDefaultFirmwareIdAddress, kDefaultFirmwareId); }

}  // namespace vboard
