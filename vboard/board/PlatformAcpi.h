// The ACPI tables this board's own platform code installs before the feature
// drivers run: the SPCR table describing a PL011 debug UART as the serial
// console. Board::SetPlatformSpcrCount chooses how many are installed (one
// by default, none, or two for the tests that need a second).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vboard::platform {

// Global system interrupts of the two UARTs (GIC SPIs 1 and 2).
constexpr uint32_t kUart0Gsiv = 33;
constexpr uint32_t kUart1Gsiv = 34;

// Byte offsets of the fields of the 80-byte SPCR layout (revisions 1 and 2).
namespace spcr {
constexpr size_t kLength = 4;
constexpr size_t kRevision = 8;
constexpr size_t kChecksum = 9;
constexpr size_t kInterfaceType = 36;
constexpr size_t kBaseAddressGas = 40;     // 12-byte generic address structure
constexpr size_t kBaseAddress = 44;        // its 64-bit Address member
constexpr size_t kInterruptType = 52;
constexpr size_t kIrq = 53;
constexpr size_t kGsiv = 54;
constexpr size_t kBaudRate = 58;
constexpr size_t kParity = 59;
constexpr size_t kStopBits = 60;
constexpr size_t kFlowControl = 61;
constexpr size_t kTerminalType = 62;
constexpr size_t kPciDeviceId = 64;
constexpr size_t kPciVendorId = 66;
constexpr size_t kPciBus = 68;
constexpr size_t kPciDevice = 69;
constexpr size_t kPciFunction = 70;
constexpr size_t kPciFlags = 71;
constexpr size_t kPciSegment = 75;
constexpr size_t kSize = 80;

constexpr uint8_t kInterfacePl011 = 0x03;
constexpr uint8_t kInterruptGic = 0x08;
constexpr uint8_t kBaud115200 = 7;
constexpr uint8_t kTerminalVt100 = 0;
}  // namespace spcr

// An SPCR table, revision 2, for a PL011 at UartBase: 32-bit MMIO register
// access, GIC interrupt Gsiv, 115200 bit/s, no parity, one stop bit, no flow
// control, VT100, not a PCI device. The checksum is valid.
std::vector<uint8_t> PlatformSpcr (uint64_t UartBase, uint32_t Gsiv);

}  // namespace vboard::platform
