#include "board/ExtraAcpiData.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace vboard {

std::vector<uint8_t> DefaultExtraAcpiData (const ExtraAcpiArea &Area) {
  // "OSDM@970000" and so on for the two larger areas; the 7-byte argument
  // string is "@990000" whole.
  char Tag[32];
  const char *Name = Area.Address == kOsdmDataArea.Address ? "OSDM" : Area.Address == kLpbtBinaryArea.Address ? "LPBT" : "";
  std::snprintf (Tag, sizeof (Tag), "%s@%06llX", Name, static_cast<unsigned long long> (Area.Address));
  std::string Text (Tag);
  std::vector<uint8_t> Bytes (Area.Size);
  for (uint64_t I = 0; I < Area.Size; I++) {
    uint64_t At = Area.Address + I;
    // Knuth's multiplicative hash of the address: neighbours differ.
    Bytes[I] = static_cast<uint8_t> ((static_cast<uint32_t> (At) * 2654435761u) >> 24);
  }
  std::copy_n (Text.begin (), std::min<size_t> (Text.size (), Bytes.size ()), Bytes.begin ());
  return Bytes;
}

void WriteDefaultExtraAcpiData (BootFlash &Flash) {
  for (const ExtraAcpiArea &Area : {kOsdmDataArea, kLpbtBinaryArea, kLpbtArgumentsArea}) {
    Flash.Program (Area.Address, DefaultExtraAcpiData (Area));
  }
}

}  // namespace vboard
