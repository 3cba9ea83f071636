/** @file
  Wake-alarm protocol: arms or disarms the real-time clock's wake-up alarm so
  that the platform powers itself on at a set time.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef WAKE_ALARM_PROTOCOL_H_
#define WAKE_ALARM_PROTOCOL_H_

#include <LayoutAssert.h>

#define WAKE_ALARM_PROTOCOL_GUID \
  { 0xBFD35C46, 0x28FF, 0x49E0, { 0xBE, 0x6F, 0xEE, 0x48, 0xCC, 0xA5, 0x98, 0x5F } }

typedef struct _WAKE_ALARM_PROTOCOL WAKE_ALARM_PROTOCOL;

//
// SetWakeAlarm modes. Modes 2 and 3 arm the alarm like mode 1 and also set a
// flag bit in the Day byte of the EFI_TIME handed to SetWakeupTime(); what
// the flag means is agreed between the caller and the platform's real-time
// clock driver. Larger modes are accepted and do nothing.
//
#define WAKE_ALARM_MODE_DISABLE        0
#define WAKE_ALARM_MODE_ENABLE         1
#define WAKE_ALARM_MODE_ENABLE_FLAG7   2
#define WAKE_ALARM_MODE_ENABLE_FLAG6   3

#define WAKE_ALARM_DAY_FLAG7  0x80   ///< Day flag of WAKE_ALARM_MODE_ENABLE_FLAG7
#define WAKE_ALARM_DAY_FLAG6  0x40   ///< Day flag of WAKE_ALARM_MODE_ENABLE_FLAG6

#pragma pack(1)

///
/// Alarm time as passed by callers (8 bytes).
///
typedef struct {
  UINT16    Year;
  UINT8     Month;
  UINT8     Day;
  UINT8     Reserved;   ///< ignored: never reaches the clock
  UINT8     Hour;
  UINT8     Minute;
  UINT8     Second;
} WAKE_ALARM_TIME;

#pragma pack()

STATIC_ASSERT_SIZE (WAKE_ALARM_TIME, 8);
STATIC_ASSERT_OFFSET (WAKE_ALARM_TIME, Year, 0);
STATIC_ASSERT_OFFSET (WAKE_ALARM_TIME, Month, 2);
STATIC_ASSERT_OFFSET (WAKE_ALARM_TIME, Day, 3);
STATIC_ASSERT_OFFSET (WAKE_ALARM_TIME, Reserved, 4);
STATIC_ASSERT_OFFSET (WAKE_ALARM_TIME, Hour, 5);
STATIC_ASSERT_OFFSET (WAKE_ALARM_TIME, Minute, 6);
STATIC_ASSERT_OFFSET (WAKE_ALARM_TIME, Second, 7);

/**
  Arms or disarms the wake-up alarm.

  @param[in]  This  The protocol instance; not used.
  @param[in]  Mode  WAKE_ALARM_MODE_*; larger values do nothing.
  @param[in]  Time  The alarm time; required by the arming modes, not read by
                    WAKE_ALARM_MODE_DISABLE or by the modes that do nothing.

  @retval EFI_SUCCESS            The alarm was set as asked, or Mode does nothing.
  @retval EFI_INVALID_PARAMETER  An arming mode was given a NULL Time.
  @retval Others                 The platform's SetWakeupTime() refused the request.
**/
typedef
EFI_STATUS
(EFIAPI *WAKE_ALARM_SET)(
  IN WAKE_ALARM_PROTOCOL  *This,
  IN UINT32               Mode,
  IN WAKE_ALARM_TIME      *Time
  );

/**
  Takes no action.

  @param[in]  This  The protocol instance; not used.

  @retval EFI_SUCCESS  Always.
**/
typedef
EFI_STATUS
(EFIAPI *WAKE_ALARM_NO_OP)(
  IN WAKE_ALARM_PROTOCOL  *This
  );

struct _WAKE_ALARM_PROTOCOL {
  WAKE_ALARM_SET      SetWakeAlarm;
  WAKE_ALARM_NO_OP    NoOp;
};

STATIC_ASSERT_SIZE (WAKE_ALARM_PROTOCOL, 16);
STATIC_ASSERT_OFFSET (WAKE_ALARM_PROTOCOL, SetWakeAlarm, 0);
STATIC_ASSERT_OFFSET (WAKE_ALARM_PROTOCOL, NoOp, 8);

extern EFI_GUID  gWakeAlarmProtocolGuid;

#endif // WAKE_ALARM_PROTOCOL_H_
