/** @file
  The board's real-time clock, reached by SMC (see BoardHypercall.h). The
  clock keeps the time and the wake-up alarm; it validates what it is given
  and answers with an EFI_STATUS.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <Uefi.h>

#include <Library/BaseMemoryLib.h>
#include <Library/BoardHypercallLib.h>
#include <Library/RealTimeClockLib.h>

/**
  Returns the current time and the clock's capabilities.

  @return EFI_SUCCESS, EFI_INVALID_PARAMETER or EFI_DEVICE_ERROR.
**/
EFI_STATUS
EFIAPI
LibGetTime (
  OUT EFI_TIME               *Time,
  OUT EFI_TIME_CAPABILITIES  *Capabilities
  )
{
  if (Time == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  if (Capabilities != NULL) {
    Capabilities->Resolution = 1;
    Capabilities->Accuracy   = 50000000;
    Capabilities->SetsToZero = FALSE;
  }

  return (EFI_STATUS)BoardHypercall (BOARD_SMC_RTC_GET_TIME, (UINTN)Time, 0, 0, 0);
}

/**
  Sets the current time.

  @return The clock's status.
**/
EFI_STATUS
EFIAPI
LibSetTime (
  IN EFI_TIME  *Time
  )
{
  if (Time == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  return (EFI_STATUS)BoardHypercall (BOARD_SMC_RTC_SET_TIME, (UINTN)Time, 0, 0, 0);
}

/**
  Returns the wake-up alarm.

  @return The clock's status.
**/
EFI_STATUS
EFIAPI
LibGetWakeupTime (
  OUT BOOLEAN   *Enabled,
  OUT BOOLEAN   *Pending,
  OUT EFI_TIME  *Time
  )
{
  if ((Enabled == NULL) || (Pending == NULL) || (Time == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  return (EFI_STATUS)BoardHypercall (BOARD_SMC_RTC_GET_WAKEUP, (UINTN)Enabled, (UINTN)Pending, (UINTN)Time, 0);
}

/**
  Sets or clears the wake-up alarm.

  @return The clock's status.
**/
EFI_STATUS
EFIAPI
LibSetWakeupTime (
  IN BOOLEAN    Enabled,
  OUT EFI_TIME  *Time
  )
{
  return (EFI_STATUS)BoardHypercall (BOARD_SMC_RTC_SET_WAKEUP, Enabled, (UINTN)Time, 0, 0);
}

/**
  The clock needs no set-up.

  @return EFI_SUCCESS.
**/
EFI_STATUS
EFIAPI
LibRtcInitialize (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  return EFI_SUCCESS;
}

/**
  The clock is reached by SMC, which needs no address conversion.
**/
VOID
EFIAPI
LibRtcVirtualNotifyEvent (
  IN EFI_EVENT  Event,
  IN VOID       *Context
  )
{
}
