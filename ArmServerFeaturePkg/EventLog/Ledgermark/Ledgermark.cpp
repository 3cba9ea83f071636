/** @file
  Ledgermark: publishes the firmware event log in an SMBIOS Type 15 (System
  Event Log) structure.

  The log is not parsed or converted. When the event-log trigger protocol is
  installed (or at the driver's start, when it is already installed), the
  driver copies the whole 64 KiB event-log area of the boot flash into
  runtime memory below 4 GiB, measures how much of it the records use by
  walking them with the event-log protocol's GetNextEventLog, and adds one
  Type 15 structure whose access method is a memory-mapped 32-bit
  physical address pointing at the copy. Every installation of the trigger
  protocol adds one more structure with its own copy; a copy describes the
  log as it was at that moment and is never updated.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

extern "C" {
#include <Uefi.h>
#include <IndustryStandard/SmBios.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DebugLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Protocol/EventLogTrigger.h>
#include <Protocol/GpnvEventLog.h>
#include <Protocol/Smbios.h>
}

#include <ArmServerBoardMap.h>
#include <LayoutAssert.h>
#include <Library/EdkCpp.h>

#pragma pack(1)

///
/// The Type 15 structure as added: the 25-byte standard layout (with room
/// for one log-type descriptor), three further descriptors, and the two zero
/// bytes that end a structure without strings.
///
typedef struct {
  SMBIOS_TABLE_TYPE15    Type15;
  EVENT_LOG_TYPE         FurtherDescriptors[3];
  UINT8                  Terminator[2];
} EVENT_LOG_SMBIOS_RECORD;

#pragma pack()

STATIC_ASSERT_SIZE (SMBIOS_TABLE_TYPE15, 25);
STATIC_ASSERT_OFFSET (SMBIOS_TABLE_TYPE15, LogAreaLength, 0x04);
STATIC_ASSERT_OFFSET (SMBIOS_TABLE_TYPE15, LogHeaderStartOffset, 0x06);
STATIC_ASSERT_OFFSET (SMBIOS_TABLE_TYPE15, LogDataStartOffset, 0x08);
STATIC_ASSERT_OFFSET (SMBIOS_TABLE_TYPE15, AccessMethod, 0x0A);
STATIC_ASSERT_OFFSET (SMBIOS_TABLE_TYPE15, LogStatus, 0x0B);
STATIC_ASSERT_OFFSET (SMBIOS_TABLE_TYPE15, LogChangeToken, 0x0C);
STATIC_ASSERT_OFFSET (SMBIOS_TABLE_TYPE15, AccessMethodAddress, 0x10);
STATIC_ASSERT_OFFSET (SMBIOS_TABLE_TYPE15, LogHeaderFormat, 0x14);
STATIC_ASSERT_OFFSET (SMBIOS_TABLE_TYPE15, NumberOfSupportedLogTypeDescriptors, 0x15);
STATIC_ASSERT_OFFSET (SMBIOS_TABLE_TYPE15, LengthOfLogTypeDescriptor, 0x16);
STATIC_ASSERT_OFFSET (SMBIOS_TABLE_TYPE15, EventLogTypeDescriptors, 0x17);
STATIC_ASSERT_SIZE (EVENT_LOG_SMBIOS_RECORD, 33);
STATIC_ASSERT_OFFSET (EVENT_LOG_SMBIOS_RECORD, FurtherDescriptors, 0x19);
STATIC_ASSERT_OFFSET (EVENT_LOG_SMBIOS_RECORD, Terminator, 0x1F);

namespace {
///
/// The event-log area, the same constants as the event-log driver's.
///
constexpr UINTN   GPNV_BASE = BOARD_FLASH_EVENT_LOG_BASE;
constexpr UINT32  GPNV_SIZE = BOARD_FLASH_EVENT_LOG_SIZE;

///
/// LogAreaLength is 16 bits wide and cannot hold the 0x10000-byte area.
///
constexpr UINT16  LOG_AREA_LENGTH = 0xFFFF;

///
/// A log with less free space than this is reported full: the smallest
/// record is 8 bytes and must leave one byte after it.
///
constexpr UINT32  LOG_FULL_THRESHOLD = 9;

///
/// Type 15 field values.
///
constexpr UINT8  ACCESS_METHOD_MEMORY_MAPPED_32 = 0x03;
constexpr UINT8  LOG_STATUS_VALID               = 0x01;
constexpr UINT8  LOG_STATUS_VALID_AND_FULL      = 0x03;
constexpr UINT8  LOG_HEADER_FORMAT_NONE         = 0x00;
constexpr UINT8  FORMATTED_LENGTH               = OFFSET_OF (EVENT_LOG_SMBIOS_RECORD, Terminator);

STATIC_ASSERT (FORMATTED_LENGTH == 31, "formatted area of the Type 15 structure");
STATIC_ASSERT (GPNV_BASE + GPNV_SIZE <= BASE_4GB, "the area is addressable in 32 bits");

///
/// The four log types the structure declares, with their variable-data formats.
///
constexpr EVENT_LOG_TYPE  LOG_TYPE_DESCRIPTORS[] = {
  { EventLogTypePOSTErr,       EventLogVariablePOSTResultBitmap },
  { EventLogTypeHDInfo,        EventLogVariableNone             },
  { EventLogTypeSysLimitExce,  EventLogVariableNone             },
  { EventLogTypeSysConfigInfo, EventLogVariableNone             }
};

STATIC_ASSERT (ARRAY_SIZE (LOG_TYPE_DESCRIPTORS) == 4, "four descriptors");
}

///
/// The fixed part of the structure: type 15, the standard 25-byte length,
/// everything else 0, room for one descriptor.
///
STATIC CONST SMBIOS_TABLE_TYPE15  mType15Template = {
  { EFI_SMBIOS_TYPE_SYSTEM_EVENT_LOG, sizeof (SMBIOS_TABLE_TYPE15), 0 },
  0,
  0,
  0,
  0,
  0,
  0,
  0,
  0,
  0,
  0,
  { { 0, 0 } }
};

///
/// Registration of the trigger-protocol notification.
///
STATIC VOID  *mTriggerRegistration = NULL;

/**
  Measures the part of the log the records use: the sum of the length bytes
  of the records that GetNextEventLog returns, up to the end marker or the
  first error.

  @param[in]  EventLog  The event-log protocol.

  @return The number of bytes in use (a wider sum than the area, so a log
          that fills the area is never mistaken for an empty one).
**/
STATIC
UINT32
MeasureUsedLog (
  IN GPNV_EVENT_LOG_PROTOCOL  *EventLog
  )
{
  UINT32  Used;
  UINT8   *Record;

  Used   = 0;
  Record = NULL;
  while (!EFI_ERROR (EventLog->GetNextEventLog (EventLog, &Record))) {
    if ((Record[0] == GPNV_EVENT_LOG_ERASED_BYTE) && (Record[1] == GPNV_EVENT_LOG_ERASED_BYTE)) {
      break;
    }

    Used += Record[1];
  }

  return Used;
}

/**
  Builds one Type 15 structure with a fresh runtime copy of the event-log
  area and adds it through the SMBIOS protocol.

  Nothing is published when the event-log protocol is missing (the used size
  and the full status cannot be told) or when either buffer cannot be
  allocated. When Add () fails, the runtime copy, which nothing refers to
  then, is given back. The structure buffer is freed in every case; the
  SMBIOS protocol keeps its own copy.
**/
STATIC
VOID
PublishEventLogRecord (
  VOID
  )
{
  EFI_STATUS                        Status;
  EFI_SMBIOS_PROTOCOL               *Smbios;
  GPNV_EVENT_LOG_PROTOCOL           *EventLog;
  POOL_BUFFER<EVENT_LOG_SMBIOS_RECORD>  Buffer;
  EVENT_LOG_SMBIOS_RECORD           *Record;
  UINT32                            Used;
  UINT32                            FreeSpace;
  EFI_PHYSICAL_ADDRESS              SystemLogBaseAddr;
  EFI_SMBIOS_HANDLE                 SmbiosHandle;
  UINTN                             Index;

  Status = gBS->LocateProtocol (&gEfiSmbiosProtocolGuid, NULL, (VOID **)&Smbios);
  ASSERT_EFI_ERROR (Status);
  if (EFI_ERROR (Status)) {
    return;
  }

  Status = gBS->LocateProtocol (&gGpnvEventLogProtocolGuid, NULL, (VOID **)&EventLog);
  if (EFI_ERROR (Status)) {
    DEBUG ((DEBUG_ERROR, "found event log protocol error. \n"));
    return;
  }

  Status = Buffer.Allocate (sizeof (EVENT_LOG_SMBIOS_RECORD));
  if (EFI_ERROR (Status)) {
    DEBUG ((DEBUG_ERROR, "SMBIOS type15 buffer allocate failed: %r\n", Status));
    return;
  }

  Record = Buffer.Get ();
  ZeroMem (Record, sizeof (*Record));
  CopyMem (&Record->Type15, &mType15Template, sizeof (mType15Template));
  Record->Type15.Hdr.Length = FORMATTED_LENGTH;

  Used      = MeasureUsedLog (EventLog);
  FreeSpace = (Used >= LOG_AREA_LENGTH) ? 0 : LOG_AREA_LENGTH - Used;

  Record->Type15.AccessMethod         = ACCESS_METHOD_MEMORY_MAPPED_32;
  Record->Type15.LogStatus            = (FreeSpace < LOG_FULL_THRESHOLD) ? LOG_STATUS_VALID_AND_FULL : LOG_STATUS_VALID;
  Record->Type15.LogAreaLength        = LOG_AREA_LENGTH;
  Record->Type15.LogHeaderStartOffset = 0;
  Record->Type15.LogChangeToken       = mType15Template.LogChangeToken + 1;
  Record->Type15.LogDataStartOffset   = 0;

  //
  // The structure carries a 32-bit address, so the copy must lie below
  // 4 GiB; whole pages of runtime data survive the end of boot services.
  //
  SystemLogBaseAddr = BASE_4GB - 1;
  Status            = gBS->AllocatePages (
                             AllocateMaxAddress,
                             EfiRuntimeServicesData,
                             EFI_SIZE_TO_PAGES (GPNV_SIZE),
                             &SystemLogBaseAddr
                             );
  if (EFI_ERROR (Status)) {
    DEBUG ((DEBUG_ERROR, "SystemLogBaseAddr allocate failed: %r\n", Status));
    return;
  }

  DEBUG ((DEBUG_ERROR | DEBUG_INFO, "SystemLogBaseAddr = %lx .\n", SystemLogBaseAddr));
  CopyMem ((VOID *)(UINTN)SystemLogBaseAddr, (VOID *)GPNV_BASE, GPNV_SIZE);
  Record->Type15.AccessMethodAddress = (UINT32)SystemLogBaseAddr;

  Record->Type15.LogHeaderFormat                     = LOG_HEADER_FORMAT_NONE;
  Record->Type15.NumberOfSupportedLogTypeDescriptors = ARRAY_SIZE (LOG_TYPE_DESCRIPTORS);
  Record->Type15.LengthOfLogTypeDescriptor           = sizeof (EVENT_LOG_TYPE);
  Record->Type15.EventLogTypeDescriptors[0]          = LOG_TYPE_DESCRIPTORS[0];
  for (Index = 1; Index < ARRAY_SIZE (LOG_TYPE_DESCRIPTORS); Index++) {
    Record->FurtherDescriptors[Index - 1] = LOG_TYPE_DESCRIPTORS[Index];
  }

  SmbiosHandle = SMBIOS_HANDLE_PI_RESERVED;
  Status       = Smbios->Add (Smbios, NULL, &SmbiosHandle, &Record->Type15.Hdr);
  if (EFI_ERROR (Status)) {
    DEBUG ((DEBUG_ERROR | DEBUG_INFO, "Add SMBIOS type15 failed .\n"));
    gBS->FreePages (SystemLogBaseAddr, EFI_SIZE_TO_PAGES (GPNV_SIZE));
  }
}

/**
  Notify function of the trigger-protocol event: publishes one structure for
  every installation of the trigger protocol not seen yet. Several
  installations between two notifications are all counted, and a signal
  without a new installation publishes nothing. Does nothing when the
  notification could not be registered.

  @param[in]  Event    The notification event.
  @param[in]  Context  Not used.
**/
STATIC
VOID
EFIAPI
OnEventLogTrigger (
  IN EFI_EVENT  Event,
  IN VOID       *Context
  )
{
  VOID  *Interface;

  //
  // Without a registration the search below would find the first trigger
  // instance over and over.
  //
  if (mTriggerRegistration == NULL) {
    return;
  }

  while (!EFI_ERROR (gBS->LocateProtocol (&gEventLogTriggerProtocolGuid, mTriggerRegistration, &Interface))) {
    PublishEventLogRecord ();
  }
}

/**
  Driver entry: arranges for OnEventLogTrigger () to run whenever the
  trigger protocol is installed, and once at its start for a trigger
  installed before the driver started.

  A registration hands out every instance of the protocol, those installed
  before it included, but its event is signalled only by installations that
  come after. On a platform whose trigger producer is dispatched first the
  event would never fire, so it is signalled once here (as EDK II's
  EfiCreateProtocolNotifyEvent () does): the notify function then publishes
  for an instance already there and finds nothing otherwise.

  @param[in]  ImageHandle  The image handle of the driver.
  @param[in]  SystemTable  The EFI system table.

  @retval EFI_SUCCESS  The notification is registered.
  @retval Others       The event could not be created.
**/
extern "C"
EFI_STATUS
EFIAPI
LedgermarkEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS  Status;
  EFI_EVENT   Event;

  Status = gBS->CreateEvent (EVT_NOTIFY_SIGNAL, TPL_CALLBACK, OnEventLogTrigger, NULL, &Event);
  ASSERT_EFI_ERROR (Status);
  if (EFI_ERROR (Status)) {
    //
    // Without the event the driver can never publish anything; returning the
    // error lets the DXE core unload it instead of keeping a driver that only
    // occupies memory (a release build, whose assertion is compiled out,
    // reaches this point).
    //
    return Status;
  }

  gBS->RegisterProtocolNotify (&gEventLogTriggerProtocolGuid, Event, &mTriggerRegistration);
  gBS->SignalEvent (Event);
  return EFI_SUCCESS;
}
