/** @file
  Wattkeep: the wake-alarm service.

  Installs WAKE_ALARM_PROTOCOL on a new handle. SetWakeAlarm () turns the
  caller's WAKE_ALARM_TIME into a fresh EFI_TIME (Nanosecond, TimeZone and
  Daylight 0; the reserved byte of the caller's record is dropped) and hands
  it to the platform's SetWakeupTime () runtime service:

    mode 0  disable the alarm (the time record is not needed)
    mode 1  arm the alarm at the given date and time
    mode 2  as mode 1, with bit 7 set in the Day byte
    mode 3  as mode 1, with bit 6 set in the Day byte
    above   nothing is done

  The alarm state lives in the real-time clock; the driver keeps none.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

extern "C" {
#include <Uefi.h>
#include <Library/BaseMemoryLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
#include <Protocol/WakeAlarm.h>
}

#include <Library/EdkCpp.h>

namespace {
/**
  The SetWakeAlarm () modes.
**/
enum class WAKE_ALARM_MODE : UINT32 {
  Disable     = WAKE_ALARM_MODE_DISABLE,
  Enable      = WAKE_ALARM_MODE_ENABLE,
  EnableFlag7 = WAKE_ALARM_MODE_ENABLE_FLAG7,
  EnableFlag6 = WAKE_ALARM_MODE_ENABLE_FLAG6
};

STATIC_ASSERT (sizeof (EFI_TIME) == 16, "EFI_TIME is the 16-byte UEFI time record");
}

/**
  Arms or disarms the real-time clock's wake-up alarm.

  Mode 0 disables the alarm without looking at Time, so a NULL Time is fine
  there. The arming modes (1 to 3) need the record: with a NULL Time they
  return EFI_INVALID_PARAMETER and leave the clock alone. Modes above 3 do
  nothing and succeed whatever Time is. The result of SetWakeupTime () is
  passed back, so a caller learns when the clock rejected the alarm (for
  example an invalid date, or a clock without alarm support).

  @param[in]  This  The protocol instance; not used.
  @param[in]  Mode  0 to 3 as above; larger values do nothing.
  @param[in]  Time  The alarm time; only read by modes 1 to 3.

  @retval EFI_SUCCESS            The alarm was set or cleared, or Mode is above 3.
  @retval EFI_INVALID_PARAMETER  Mode is 1 to 3 and Time is NULL.
  @retval Others                 The status of SetWakeupTime ().
**/
STATIC
EFI_STATUS
EFIAPI
SetWakeAlarm (
  IN WAKE_ALARM_PROTOCOL  *This,
  IN UINT32               Mode,
  IN WAKE_ALARM_TIME      *Time
  )
{
  EFI_TIME  AlarmTime;
  UINT8     DayFlag;

  switch (static_cast<WAKE_ALARM_MODE>(Mode)) {
    case WAKE_ALARM_MODE::Disable:
      return gRT->SetWakeupTime (FALSE, NULL);

    case WAKE_ALARM_MODE::Enable:
      DayFlag = 0;
      break;

    case WAKE_ALARM_MODE::EnableFlag7:
      DayFlag = WAKE_ALARM_DAY_FLAG7;
      break;

    case WAKE_ALARM_MODE::EnableFlag6:
      DayFlag = WAKE_ALARM_DAY_FLAG6;
      break;

    default:
      return EFI_SUCCESS;
  }

  if (Time == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  ZeroMem (&AlarmTime, sizeof (AlarmTime));
  AlarmTime.Year   = Time->Year;
  AlarmTime.Month  = Time->Month;
  AlarmTime.Day    = (UINT8)(Time->Day | DayFlag);
  AlarmTime.Hour   = Time->Hour;
  AlarmTime.Minute = Time->Minute;
  AlarmTime.Second = Time->Second;

  return gRT->SetWakeupTime (TRUE, &AlarmTime);
}

/**
  Takes no action.

  @param[in]  This  The protocol instance; not used.

  @retval EFI_SUCCESS  Always.
**/
STATIC
EFI_STATUS
EFIAPI
WakeAlarmNoOp (
  IN WAKE_ALARM_PROTOCOL  *This
  )
{
  return EFI_SUCCESS;
}

/**
  Driver entry: allocates the protocol interface from boot-services pool and
  installs it on a new handle. The interface stays allocated and installed
  for the rest of boot.

  @param[in]  ImageHandle  The image handle of the driver.
  @param[in]  SystemTable  The EFI system table.

  @retval EFI_SUCCESS           The protocol is installed.
  @retval EFI_OUT_OF_RESOURCES  The interface could not be allocated.
  @retval Others                The installation failed; the interface was freed.
**/
extern "C"
EFI_STATUS
EFIAPI
WattkeepEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS           Status;
  WAKE_ALARM_PROTOCOL  *WakeAlarm;
  EFI_HANDLE           Handle;

  WakeAlarm = NULL;
  Status    = gBS->AllocatePool (EfiBootServicesData, sizeof (WAKE_ALARM_PROTOCOL), (VOID **)&WakeAlarm);
  if (EFI_ERROR (Status) || (WakeAlarm == NULL)) {
    return EFI_OUT_OF_RESOURCES;
  }

  ZeroMem (WakeAlarm, sizeof (WAKE_ALARM_PROTOCOL));
  WakeAlarm->SetWakeAlarm = SetWakeAlarm;
  WakeAlarm->NoOp         = WakeAlarmNoOp;

  Handle = NULL;
  Status = gBS->InstallProtocolInterface (
                  &Handle,
                  &gWakeAlarmProtocolGuid,
                  EFI_NATIVE_INTERFACE,
                  WakeAlarm
                  );
  if (EFI_ERROR (Status)) {
    gBS->FreePool (WakeAlarm);
    return Status;
  }

  return EFI_SUCCESS;
}
