// The extra ACPI data the platform keeps in the boot flash, outside the
// protected volumes, for the OSDM and LPBT tables:
//   0x970000  128 bytes   the OSDM platform data block
//   0x980000  9440 bytes  the binary handed to the OS through LPBT
//   0x990000  7 bytes     the LPBT argument string
// The default board's flash holds recognisable contents there: each area
// begins with a tag naming it and its address, and every other byte is a
// function of its own flash address, so a copy that is shifted, cut short or
// taken from the wrong place shows.
#pragma once

#include "board/BootFlash.h"

#include <cstdint>
#include <vector>

namespace vboard {

struct ExtraAcpiArea {
  uint64_t Address;
  uint64_t Size;
};
constexpr ExtraAcpiArea kOsdmDataArea{0x970000, 128};
constexpr ExtraAcpiArea kLpbtBinaryArea{0x980000, 9440};
constexpr ExtraAcpiArea kLpbtArgumentsArea{0x990000, 7};

// The default contents of an area.
std::vector<uint8_t> DefaultExtraAcpiData (const ExtraAcpiArea &Area);
// Programs the three areas (host side, as the firmware build's image has them).
void WriteDefaultExtraAcpiData (BootFlash &Flash);

}  // namespace vboard
