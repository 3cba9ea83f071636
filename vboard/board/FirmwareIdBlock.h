// The firmware-ID block that the firmware build places in the first
// protected firmware volume of the boot flash (0x500000-0x64FFFF):
//   0    7 bytes   signature "$QXBIOS"
//   7    3 bytes   build data, not read by the firmware-ID driver
//   10   32 bytes  CHAR8 string, NUL-terminated within the field
//   42   38 CHAR16 UCS-2 string, NUL-terminated within the field
//   118  20 bytes  CHAR8 string, NUL-terminated within the field
// A string that fills its field leaves no room for the terminator (the
// form a corrupt or over-long block takes); a longer one is cut to the field.
#pragma once

#include "board/BootFlash.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vboard {

struct FirmwareId {
  std::string Ascii;
  std::u16string Unicode;
  std::string ShortAscii;
};

constexpr uint64_t kFirmwareIdBlockSize = 138;
constexpr uint64_t kFirmwareIdAsciiOffset = 10, kFirmwareIdUnicodeOffset = 42, kFirmwareIdShortOffset = 118;
// Where the default board's flash holds its block, and what it says.
constexpr uint64_t kDefaultFirmwareIdAddress = 0x600000;
extern const FirmwareId kDefaultFirmwareId;

std::vector<uint8_t> FirmwareIdBlockBytes (const FirmwareId &Id, const std::string &Signature = "$QXBIOS");
// Programs a block at Address (host side, as the firmware build's image has it).
void WriteFirmwareIdBlock (BootFlash &Flash, uint64_t Address, const FirmwareId &Id);
void WriteDefaultFirmwareId (BootFlash &Flash);

}  // namespace vboard
