/** @file
  WakeAlarmCheck: checks WAKE_ALARM_PROTOCOL on a real UEFI implementation.

  Each mode of SetWakeAlarm () is compared with what the platform's own
  SetWakeupTime () answers for the EFI_TIME the mode must produce: the
  protocol passes the clock's verdict through, so the two statuses must be
  equal, whatever the clock supports. Modes above 3 and NoOp () must succeed
  without touching the clock, and an arming mode with no time record must be
  refused. One line per check, then "WakeAlarmCheck: PASS" or "... FAIL".

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

extern "C" {
#include <Uefi.h>
#include <Library/BaseMemoryLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
#include <Protocol/WakeAlarm.h>
}

#include <Library/EdkCpp.h>

namespace {
/**
  Prints one check's verdict.

  @param[in]  Name      What was checked.
  @param[in]  Got       The status SetWakeAlarm () or NoOp () returned.
  @param[in]  Expected  The status it had to return.

  @retval TRUE   The two are equal.
  @retval FALSE  They differ.
**/
BOOLEAN
Check (
  IN const char16_t  *Name,
  IN EFI_STATUS      Got,
  IN EFI_STATUS      Expected
  )
{
  Print ((CHAR16 *)u"WakeAlarmCheck: %s: %r (expected %r) %s\n", Name, Got, Expected, (Got == Expected) ? u"ok" : u"MISMATCH");
  return (BOOLEAN)(Got == Expected);
}
}

/**
  Application entry: runs the checks.

  @param[in]  ImageHandle  The image handle of the application.
  @param[in]  SystemTable  The EFI system table.

  @retval EFI_SUCCESS    Every check passed.
  @retval EFI_NOT_FOUND  No wake-alarm protocol is installed.
  @retval EFI_ABORTED    A check failed.
**/
extern "C"
EFI_STATUS
EFIAPI
WakeAlarmCheckMain (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  WAKE_ALARM_PROTOCOL  *WakeAlarm;
  WAKE_ALARM_TIME      Alarm;
  EFI_TIME             Expected;
  BOOLEAN              Pass;
  EFI_STATUS           Status;

  Status = gBS->LocateProtocol (&gWakeAlarmProtocolGuid, NULL, (VOID **)&WakeAlarm);
  if (EFI_ERROR (Status)) {
    Print ((CHAR16 *)u"WakeAlarmCheck: no wake-alarm protocol (%r)\nWakeAlarmCheck: FAIL\n", Status);
    return EFI_NOT_FOUND;
  }

  ZeroMem (&Alarm, sizeof (Alarm));
  Alarm.Year   = 2030;
  Alarm.Month  = 6;
  Alarm.Day    = 15;
  Alarm.Hour   = 7;
  Alarm.Minute = 30;
  Alarm.Second = 5;

  ZeroMem (&Expected, sizeof (Expected));
  Expected.Year   = 2030;
  Expected.Month  = 6;
  Expected.Day    = 15;
  Expected.Hour   = 7;
  Expected.Minute = 30;
  Expected.Second = 5;

  Pass = TRUE;
  Pass = Check (u"mode 1 arms as SetWakeupTime does", WakeAlarm->SetWakeAlarm (WakeAlarm, 1, &Alarm), gRT->SetWakeupTime (TRUE, &Expected)) && Pass;
  Expected.Day = 15 | 0x80;
  Pass = Check (u"mode 2 sets Day bit 7", WakeAlarm->SetWakeAlarm (WakeAlarm, 2, &Alarm), gRT->SetWakeupTime (TRUE, &Expected)) && Pass;
  Expected.Day = 15 | 0x40;
  Pass = Check (u"mode 3 sets Day bit 6", WakeAlarm->SetWakeAlarm (WakeAlarm, 3, &Alarm), gRT->SetWakeupTime (TRUE, &Expected)) && Pass;
  Pass = Check (u"mode 0 disables", WakeAlarm->SetWakeAlarm (WakeAlarm, 0, &Alarm), gRT->SetWakeupTime (FALSE, NULL)) && Pass;
  Pass = Check (u"mode 4 does nothing", WakeAlarm->SetWakeAlarm (WakeAlarm, 4, &Alarm), EFI_SUCCESS) && Pass;
  Pass = Check (u"mode 1 without a time record", WakeAlarm->SetWakeAlarm (WakeAlarm, 1, NULL), EFI_INVALID_PARAMETER) && Pass;
  Pass = Check (u"NoOp", WakeAlarm->NoOp (WakeAlarm), EFI_SUCCESS) && Pass;

  Print ((CHAR16 *)u"WakeAlarmCheck: %s\n", Pass ? u"PASS" : u"FAIL");
  return Pass ? EFI_SUCCESS : EFI_ABORTED;
}
