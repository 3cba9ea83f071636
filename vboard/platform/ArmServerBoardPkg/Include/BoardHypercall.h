/** @file
  The hypercalls of the virtual board's platform firmware.

  What stands for hardware on this board (the CPU's timer interrupt, the
  real-time clock, the loader's notifications to a debugger) is reached with
  SMC #0 in the SMC Calling Convention's SiP service range (fast calls,
  SMC64): the function identifier in X0, arguments in X1-X4, the result in X0.
  Reset and power-off use PSCI, as on any Arm server. The host program that
  emulates the board includes this header too, so both sides agree.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef BOARD_HYPERCALL_H_
#define BOARD_HYPERCALL_H_

#define BOARD_SMC_BASE  0xC2000000U

//
// X1: the timer period in 100 ns units (0 stops the tick). The board then
// raises the CPU's IRQ every period of simulated time while PSTATE.I is clear.
//
#define BOARD_SMC_TIMER_SET_PERIOD  (BOARD_SMC_BASE + 0x01)
//
// The tick was taken: the board lowers the IRQ line until the next period.
//
#define BOARD_SMC_TIMER_ACK  (BOARD_SMC_BASE + 0x02)
//
// The CPU has nothing to do until the next interrupt (WFI): simulated time
// passes to the next tick.
//
#define BOARD_SMC_IDLE  (BOARD_SMC_BASE + 0x03)
//
// Real-time clock. X1: EFI_TIME *. Returns an EFI_STATUS.
//
#define BOARD_SMC_RTC_GET_TIME  (BOARD_SMC_BASE + 0x10)
#define BOARD_SMC_RTC_SET_TIME  (BOARD_SMC_BASE + 0x11)
//
// X1: BOOLEAN *Enabled, X2: BOOLEAN *Pending, X3: EFI_TIME *.
//
#define BOARD_SMC_RTC_GET_WAKEUP  (BOARD_SMC_BASE + 0x12)
//
// X1: Enable, X2: EFI_TIME * (may be 0 when disabling).
//
#define BOARD_SMC_RTC_SET_WAKEUP  (BOARD_SMC_BASE + 0x13)
//
// The image loader placed an image: X1 image base, X2 image size, X3 entry
// point, X4 the image's PDB path (ASCII) or 0.
//
#define BOARD_SMC_IMAGE_LOADED  (BOARD_SMC_BASE + 0x20)
//
// X1: the base of an image being unloaded.
//
#define BOARD_SMC_IMAGE_UNLOADED  (BOARD_SMC_BASE + 0x21)

//
// The board's protocols (devices the platform has, reached from firmware
// through a protocol the host serves) are listed in a GUID HOB named
// gArmServerBoardServicesHobGuid: a UINT32 count, a UINT32 of zero, then that
// many entries. Entries with the same Group are installed on one handle, in
// order.
//
typedef struct {
  UINT32      Group;
  UINT32      Reserved;
  EFI_GUID    Protocol;
  UINT64      Interface;
} BOARD_SERVICE_ENTRY;

#endif
