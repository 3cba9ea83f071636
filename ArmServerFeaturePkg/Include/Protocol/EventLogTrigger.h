/** @file
  Event-log trigger protocol: a marker with no interface, installed by a
  platform module outside this package when the firmware event log may be
  published to the operating system.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef EVENT_LOG_TRIGGER_PROTOCOL_H_
#define EVENT_LOG_TRIGGER_PROTOCOL_H_

#define EVENT_LOG_TRIGGER_PROTOCOL_GUID \
  { 0xDD0D9E46, 0xDF98, 0x43CB, { 0xB6, 0x9C, 0x3B, 0xC3, 0x79, 0x4F, 0x7A, 0xD1 } }

extern EFI_GUID  gEventLogTriggerProtocolGuid;

#endif // EVENT_LOG_TRIGGER_PROTOCOL_H_
