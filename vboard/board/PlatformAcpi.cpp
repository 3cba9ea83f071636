#include "board/PlatformAcpi.h"

#include "board/Board.h"

#include <cstring>

namespace vboard {

namespace platform {

std::vector<uint8_t> PlatformSpcr (uint64_t UartBase, uint32_t Gsiv) {
  std::vector<uint8_t> T (spcr::kSize, 0);
  auto Put = [&T] (size_t Offset, const void *Value, size_t Size) { std::memcpy (T.data () + Offset, Value, Size); };
  uint32_t Length = spcr::kSize, One = 1;
  Put (0, "SPCR", 4);
  Put (spcr::kLength, &Length, 4);
  T[spcr::kRevision] = 2;
  Put (10, "ARMSVR", 6);               // OEM ID
  Put (16, "VBOARD  ", 8);             // OEM table ID
  Put (24, &One, 4);                   // OEM revision
  Put (28, "VBRD", 4);                 // creator ID
  Put (32, &One, 4);                   // creator revision

  T[spcr::kInterfaceType] = spcr::kInterfacePl011;
  // Base address: system memory space, 32-bit registers at bit offset 0,
  // accessed as dwords.
  T[spcr::kBaseAddressGas + 0] = 0;
  T[spcr::kBaseAddressGas + 1] = 32;
  T[spcr::kBaseAddressGas + 2] = 0;
  T[spcr::kBaseAddressGas + 3] = 3;
  Put (spcr::kBaseAddress, &UartBase, 8);
  T[spcr::kInterruptType] = spcr::kInterruptGic;
  T[spcr::kIrq] = 0;                   // no PC-AT interrupt
  Put (spcr::kGsiv, &Gsiv, 4);
  T[spcr::kBaudRate] = spcr::kBaud115200;
  T[spcr::kParity] = 0;
  T[spcr::kStopBits] = 1;
  T[spcr::kFlowControl] = 0;
  T[spcr::kTerminalType] = spcr::kTerminalVt100;
  uint16_t NotPci = 0xFFFF;
  Put (spcr::kPciDeviceId, &NotPci, 2);
  Put (spcr::kPciVendorId, &NotPci, 2);

  uint8_t Sum = 0;
  for (uint8_t B : T) Sum = static_cast<uint8_t> (Sum + B);
  T[spcr::kChecksum] = static_cast<uint8_t> (0x100 - Sum);
  return T;
}

}  // namespace platform

void Board::SetPlatformSpcrCount (unsigned Count) {
  // Remove what the platform installed before, keep what drivers installed.
  for (size_t I = Acpi.Tables ().size (); I-- > 0;) {
    const AcpiTable &T = Acpi.Tables ()[I];
    if (T.Signature == "SPCR" && T.Installer == "platform") {
      Acpi.Uninstall (T.Key);
    }
  }
  for (unsigned I = 0; I < Count; I++) {
    bool First = I % 2 == 0;
    Acpi.Install (platform::PlatformSpcr (First ? platform::kUart0 : platform::kUart1,
                                          First ? platform::kUart0Gsiv : platform::kUart1Gsiv));
  }
}

}  // namespace vboard
