// The board at a glance: every device the firmware reaches, where it sits in
// the physical map, and the state the board leaves the factory in. The
// device models keep their own copies of these addresses (their headers say
// how each device behaves); BoardMap.cpp checks at compile time that they
// agree with this table.
#pragma once

#include <cstdint>

namespace vboard {

class Board;

namespace boardmap {

struct Device {
  const char *Name;
  uint64_t Base;
  uint64_t Size;
  const char *What;
};

// In address order; the flash's regions and the parameter block, which lies in
// the flash window, follow the flash. Socket 1's SCMI channel repeats socket
// 0's at +2^44.
inline constexpr Device kDevices[] = {
    {"boot flash", 0x00000000, 0x01000000, "W25Q SPI NOR array, memory-mapped read-only; page 0 unmapped (NULL faults)"},
    {"  protected volume 1", 0x00500000, 0x00150000, "firmware volume with the firmware-ID block at 0x600000"},
    {"  protected volume 2", 0x00650000, 0x002C0000, "recovery region"},
    {"  event-log area", 0x00930000, 0x00010000, "firmware event log (GPNV)"},
    {"  OSDM data", 0x00970000, 0x00000080, "extra ACPI data"},
    {"  LPBT binary", 0x00980000, 0x000024E0, "extra ACPI data"},
    {"  LPBT arguments", 0x00990000, 0x00000007, "extra ACPI data"},
    {"parameter block", 0x000C8500, 0x00000100, "RAM page 0xC8000 over the flash window; socket count at +0"},
    {"NOR flash controller", 0x1A100000, 0x00001000, "SPI command interface of the W25Q part"},
    {"UART0", 0x20000000, 0x00001000, "PL011 debug UART"},
    {"UART1", 0x20001000, 0x00001000, "PL011 console UART"},
    {"SoC register 0x2000A000", 0x2000A000, 0x00000004, "set at ReadyToBoot"},
    {"SoC register 0x2000A004", 0x2000A004, 0x00000004, "set at ReadyToBoot"},
    {"SCMI doorbell (socket 0)", 0x38001120, 0x00000010, "system-control processor mailbox doorbell"},
    {"SCMI control (socket 0)", 0x38001500, 0x00000010, "mailbox control register"},
    {"SoC register 0x380031D0", 0x380031D0, 0x00000004, "set at ReadyToBoot"},
    {"SCMI shared memory (socket 0)", 0x38004C00, 0x00000100, "SCMI transport area"},
    {"DXE images", 0x40000000, 0x20000000, "where loaded images are placed"},
    {"boot-services memory", 0x60000000, 0x20000000, "pool and page allocations"},
};

// Other devices, reached through firmware protocols rather than MMIO.
inline constexpr const char *kAttached[] = {
    "BMC: IPMI 2.0 (SEL with reservations, chassis power-restore policy) behind the IPMI transport protocol",
    "network interface: PciRoot(0x0)/Pci(0x1,0x0)/MAC(525400123456,0x1), PXE over IPv4 and IPv6",
    "consoles: a text screen (ConOut) and two text-input devices (ConIn)",
    "CPU sockets: two, one system-control processor each (SCMI sensor 0 = die temperature)",
    "real-time clock and a wake-up alarm (runtime services)",
};

// The factory state: what a board fresh from the factory holds before the
// first boot. Setup choices (SystemSetupConfig, IpmiSetupData, CrSetupData):
//   SystemSetupConfig  Type251Option 0 (every option), NetworkMode 1 with
//                      options A and B on, EraseEventLogWhenFull 1,
//                      SrIovEnable 1, PowerRestorePolicy 2 (restore the
//                      previous state)
//   IpmiSetupData      SelEnable 1, EraseSel 0, EraseSelWhenFull 1
//   CrSetupData        redirection on, UART1, VT-UTF8, 115200 8N1, SPCR kept
// Boot options: Boot0001 PXE over IPv4, Boot0002 PXE over IPv6, BootOrder
// 0001,0002; at each boot the platform's boot manager registers Boot0000,
// the network boot application from the firmware volume that holds it, and
// puts it first. Sockets at 47 and 44 degrees C. The BDS phase runs two
// seconds of simulated time before ReadyToBoot (the temperature timer
// fires meanwhile). The HOBs, the parameter block, the firmware-ID block
// and the ACPI data in flash are what every board is built with.
inline constexpr uint8_t kFactoryCrSetup[9] = {1, 1, 3, 7, 8, 1, 1, 0, 1};
inline constexpr uint32_t kFactoryTemperatureC[2] = {47, 44};
inline constexpr uint64_t kFactoryBdsNs = 2000000000ULL;
// The UI name of the application the boot manager registers as Boot0000.
inline constexpr const char *kNetworkBootApplication = "Wirelaunch";

void ApplyFactoryState (Board &B);

}  // namespace boardmap
}  // namespace vboard
