/** @file
  Fixed physical addresses of the Arm server board: the boot-flash map and the
  MMIO bases of the devices that the feature drivers program directly.

  The boot flash is memory-mapped from physical address 0, so a flash offset
  is also the address at which that byte is read. Every value here is a plain
  integer constant expression, usable from C and from C++ (including in
  constexpr and static_assert contexts).

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef ARM_SERVER_BOARD_MAP_H_
#define ARM_SERVER_BOARD_MAP_H_

//
// Boot flash: a 16 MiB SPI NOR part (W25Q family), 64 KiB blocks, 4 KiB
// sectors, memory-mapped from address 0.
//
#define BOARD_FLASH_BASE         0x00000000
#define BOARD_FLASH_SIZE         0x01000000
#define BOARD_FLASH_BLOCK_SIZE   0x00010000
#define BOARD_FLASH_SECTOR_SIZE  0x00001000

//
// First protected firmware volume, 0x500000-0x64FFFF. It holds the
// firmware-ID signature block.
//
#define BOARD_FLASH_FV_MAIN_BASE  0x00500000
#define BOARD_FLASH_FV_MAIN_SIZE  0x00150000

//
// Second protected firmware volume, 0x650000-0x90FFFF: the recovery region.
//
#define BOARD_FLASH_FV_RECOVERY_BASE  0x00650000
#define BOARD_FLASH_FV_RECOVERY_SIZE  0x002C0000

//
// Base of the second recovery image slot, handed to the recovery updater.
//
#define BOARD_FLASH_RECOVERY_SECOND_BASE  0x00A00000

//
// General-purpose non-volatile area holding the firmware event log,
// 0x930000-0x93FFFF.
//
#define BOARD_FLASH_EVENT_LOG_BASE  0x00930000
#define BOARD_FLASH_EVENT_LOG_SIZE  0x00010000

//
// Extra ACPI table data kept in flash: the OSDM platform data block, the
// binary handed to the OS through LPBT, and the LPBT argument string.
//
#define BOARD_FLASH_ACPI_DATA0_BASE  0x00970000
#define BOARD_FLASH_ACPI_DATA0_SIZE  0x80
#define BOARD_FLASH_ACPI_DATA1_BASE  0x00980000
#define BOARD_FLASH_ACPI_DATA1_SIZE  0x24E0
#define BOARD_FLASH_ACPI_DATA2_BASE  0x00990000
#define BOARD_FLASH_ACPI_DATA2_SIZE  7

//
// PL011-type UARTs. UART0 is also the default debug UART.
//
#define BOARD_UART0_BASE  0x20000000
#define BOARD_UART1_BASE  0x20001000

//
// PL011 registers used by the polled debug output.
//
#define PL011_UARTDR          0x000          ///< data register
#define PL011_UARTFR          0x018          ///< flag register
#define PL011_UARTFR_TXFF     0x00000020     ///< transmit FIFO full (bit 5)

//
// NOR flash controller in front of the boot-flash part.
//
#define BOARD_NOR_CONTROLLER_BASE  0x1A100000

//
// Platform registers adjusted once at ReadyToBoot. Their function is the SoC's
// business; the drivers only perform the documented read-modify-writes.
//
#define BOARD_PLATFORM_REG_A000  0x2000A000
#define BOARD_PLATFORM_REG_A004  0x2000A004
#define BOARD_PLATFORM_REG_31D0  0x380031D0

#define BOARD_PLATFORM_REG_31D0_FIELD_MASK   0x0000001F   ///< bits 4:0, set to 1
#define BOARD_PLATFORM_REG_31D0_FIELD_VALUE  0x00000001
#define BOARD_PLATFORM_REG_A00X_BIT          0x10000000   ///< bit 28: set in A004, cleared in A000

//
// SCMI mailbox channel of the system-control processor of socket 0. The
// channel of socket N is at the same addresses plus N * 2^44.
//
#define BOARD_SCMI_CONTROL_BASE        0x38001500
#define BOARD_SCMI_DOORBELL_BASE       0x38001120
#define BOARD_SCMI_SHARED_MEMORY_BASE  0x38004C00

#define BOARD_SCMI_CONTROL_START_OFFSET  0x0C   ///< in the control block: written 1 as an exchange starts
#define BOARD_SCMI_DOORBELL_OFFSET       0x08   ///< in the doorbell block: written with the message header
#define BOARD_SOCKET_ADDRESS_SHIFT     44
#define BOARD_SOCKET_STRIDE            (1ULL << BOARD_SOCKET_ADDRESS_SHIFT)

//
// Sockets the board is built for: there is one SCMI channel per socket, and
// none beyond this count.
//
#define BOARD_MAX_SOCKET_COUNT  2

/**
  Address of a per-socket MMIO resource, given its socket-0 address.

  @param  Socket0Address  The address of the resource on socket 0.
  @param  Socket          The socket number, from 0.
**/
#define BOARD_SOCKET_ADDRESS(Socket0Address, Socket) \
  ((UINT64)(Socket0Address) + ((UINT64)(Socket) << BOARD_SOCKET_ADDRESS_SHIFT))

//
// Platform parameter block left in memory by the earlier boot firmware.
//
#define BOARD_PARAMETER_BLOCK_BASE       0x000C8500
#define BOARD_PARAMETER_BLOCK_SIGNATURE  0x54460015
#define BOARD_PARAMETER_BLOCK_MAX_SIZE   0x100

#endif // ARM_SERVER_BOARD_MAP_H_
