/** @file
  Tallyvault: the firmware event log in the general-purpose non-volatile
  (GPNV) area of the boot flash, served through GPNV_EVENT_LOG_PROTOCOL.

  The area holds SMBIOS System Event Log records back to back from its start
  and nothing else: no header, no count, no checksum. Erased flash reads
  0xFF, so the first position whose type or length byte is 0xFF is the free
  space, and 0xFF 0xFF (an erased record header) marks the end of the log.
  Whether the log is empty, where it ends and whether it is full are found
  by walking the records on every call; the driver keeps no state in flash
  besides the records.

  Reading is a plain read of the memory-mapped flash; erasing and
  programming go through FlashAccessLib. A record is built in one pool
  buffer and programmed with one flash write.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

extern "C" {
#include <Uefi.h>
#include <Guid/SetupVariables.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DebugLib.h>
#include <Library/FlashAccessLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
#include <Protocol/GpnvEventLog.h>
}

#include <ArmServerBoardMap.h>
#include <LayoutAssert.h>
#include <Library/EdkCpp.h>
#include <SetupConfigRead.h>

namespace {
///
/// The longest record that can be stored. The Length byte would allow 255,
/// but a Length of 0xFF (like a Type of 0xFF) reads as erased flash: the
/// walk would take such a record for the free space and the next record
/// would be programmed over it.
///
constexpr UINTN  GPNV_MAX_RECORD_SIZE = MAX_UINT8 - 1;

///
/// Records are programmed in whole 32-bit flash words.
///
constexpr UINTN  GPNV_FLASH_WORD_SIZE = sizeof (UINT32);

///
/// The bytes of a record every reader looks at: Type and Length.
///
constexpr UINTN  GPNV_RECORD_HEADER_SIZE = 2;

STATIC_ASSERT (BOARD_FLASH_EVENT_LOG_SIZE == BOARD_FLASH_BLOCK_SIZE, "one erase clears the whole event-log area");
STATIC_ASSERT ((BOARD_FLASH_EVENT_LOG_BASE % BOARD_FLASH_BLOCK_SIZE) == 0, "the event-log area is one flash block");

/**
  Converts a value to two BCD digits; a value above 99 keeps its last two
  decimal digits.

  @param[in]  Value  The binary value.

  @return The packed BCD byte.
**/
constexpr UINT8
ToBcd (
  IN UINTN  Value
  )
{
  return static_cast<UINT8>((((Value / 10) % 10) << 4) | (Value % 10));
}

STATIC_ASSERT (ToBcd (2024 % 100) == 0x24, "year digits");
STATIC_ASSERT (ToBcd (7) == 0x07, "single digit");
STATIC_ASSERT (ToBcd (59) == 0x59, "two digits");
}

///
/// Address of the event-log area, both for reading the mapped flash and for
/// the flash-access protocol. Set at entry.
///
STATIC UINTN  mGpnvBase;

///
/// Size of the event-log area in bytes. Set at entry.
///
STATIC UINT32  mGpnvSize;

/**
  Tells whether a record header is erased flash, the end of the log.

  @param[in]  Record  The first byte of the record.

  @retval TRUE   Both the type and the length byte read 0xFF.
  @retval FALSE  Otherwise.
**/
STATIC
BOOLEAN
IsEndOfLog (
  IN CONST UINT8  *Record
  )
{
  return (BOOLEAN)((Record[0] == GPNV_EVENT_LOG_ERASED_BYTE) && (Record[1] == GPNV_EVENT_LOG_ERASED_BYTE));
}

/**
  Decides what to do with a record that does not fit behind the last one:
  erase the area when the setup option EraseEventLogWhenFull asks for it,
  else refuse the record.

  SystemSetupConfig is read into a cleared buffer, so a stored record too
  short to hold the option reads as 0 (refuse) rather than as whatever the
  stack held. When the erase fails the old records are still in the area;
  programming the new record over the first of them would corrupt both, so
  the record is refused and the erase status returned.

  @param[in]  This  The protocol instance; its LogFull is set on refusal.

  @retval EFI_SUCCESS           The area was erased; the record goes to its
                                start.
  @retval EFI_OUT_OF_RESOURCES  The option is unreadable or 0.
  @retval Others                The erase failed.
**/
STATIC
EFI_STATUS
MakeRoomInFullLog (
  IN GPNV_EVENT_LOG_PROTOCOL  *This
  )
{
  EFI_STATUS           Status;
  SYSTEM_SETUP_CONFIG  SetupConfig;
  UINTN                StoredSize;

  Status = ReadSystemSetupConfig (&SetupConfig, &StoredSize);
  if (EFI_ERROR (Status)) {
    DEBUG ((DEBUG_ERROR, "Mesk: can't find SystemSetupConfig.\n"));
    DEBUG ((DEBUG_ERROR, "gpnv EFI_OUT_OF_RESOURCES \n"));
    This->LogFull = TRUE;
    return EFI_OUT_OF_RESOURCES;
  }

  if (SetupConfig.EraseEventLogWhenFull == 0) {
    DEBUG ((DEBUG_ERROR, "gpnv EFI_OUT_OF_RESOURCES \n"));
    This->LogFull = TRUE;
    return EFI_OUT_OF_RESOURCES;
  }

  Status = FlashErase (mGpnvBase);
  DEBUG ((DEBUG_ERROR, "FlashErase Result = %r.\n", Status));
  if (EFI_ERROR (Status)) {
    This->LogFull = TRUE;
    return Status;
  }

  return EFI_SUCCESS;
}

/**
  Appends one record at the end of the log.

  The record is Type, Length and the six BCD date and time bytes of Time,
  then for type 08h (POST error) the two POST-results DWORDs, then the
  caller's data. A walk from the area's start finds the free position; a
  record must leave at least one byte of the area after it. A full log is
  erased first when EraseEventLogWhenFull is set, else the record is
  refused.

  A record longer than 254 bytes, or of type 0xFF, would carry an erased
  length or type byte and is refused before anything is read or written. A
  record whose length is not a whole number of flash words is programmed
  whole: its last word is padded with 0xFF, which leaves the flash after the
  record erased.

  @param[in]  This          The protocol instance.
  @param[in]  EventLogType  SMBIOS event-log type code of the record.
  @param[in]  PostResults0  First POST-results DWORD (type 08h only).
  @param[in]  PostResults1  Second POST-results DWORD (type 08h only).
  @param[in]  DataSize      Number of data bytes; 0 means no data.
  @param[in]  Data          The data bytes; NULL means no data.
  @param[in]  Time          Time stamp of the record.

  @retval EFI_SUCCESS            The record was programmed.
  @retval EFI_INVALID_PARAMETER  This or Time is NULL, EventLogType is 0xFF,
                                 or the record would be longer than 254 bytes.
  @retval EFI_OUT_OF_RESOURCES   The log is full and may not be erased.
  @retval EFI_UNSUPPORTED        A zero-length record makes the log unreadable.
  @retval Others                 The allocation, the erase or the flash write
                                 failed.
**/
STATIC
EFI_STATUS
EFIAPI
WriteEventLog (
  IN GPNV_EVENT_LOG_PROTOCOL  *This,
  IN UINT8                    EventLogType,
  IN UINT32                   PostResults0,
  IN UINT32                   PostResults1,
  IN UINTN                    DataSize,
  IN VOID                     *Data,
  IN EFI_TIME                 *Time
  )
{
  EFI_STATUS                  Status;
  CONST UINT8                 *Area;
  UINTN                       HeaderSize;
  UINTN                       NumBytes;
  UINTN                       ProgramSize;
  UINTN                       Lead;
  CONST UINT8                 *Current;
  UINTN                       End;
  POOL_BUFFER<UINT8>          Buffer;
  GPNV_EVENT_LOG_RECORD       *Record;
  GPNV_POST_EVENT_LOG_RECORD  *PostRecord;

  if (This == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  This->LogFull = FALSE;
  if ((DataSize == 0) || (Data == NULL)) {
    DataSize = 0;
    Data     = NULL;
  }

  Area = reinterpret_cast<CONST UINT8 *>(mGpnvBase);
  DEBUG ((DEBUG_ERROR, "CurrentLog->Type : %d, Length: %d \n", Area[0], Area[1]));

  HeaderSize = (EventLogType == GPNV_EVENT_LOG_TYPE_POST_ERROR) ? sizeof (GPNV_POST_EVENT_LOG_RECORD)
                                                                 : sizeof (GPNV_EVENT_LOG_RECORD);
  if ((Time == NULL) || (EventLogType == GPNV_EVENT_LOG_ERASED_BYTE) || (DataSize > GPNV_MAX_RECORD_SIZE - HeaderSize)) {
    DEBUG ((DEBUG_ERROR, "gpnv EFI_INVALID_PARAMETER \n"));
    return EFI_INVALID_PARAMETER;
  }

  //
  // The flash is programmed in whole, aligned words. Behind a record of odd
  // length the free position is not word-aligned, so the write starts at the
  // word boundary below it and ends at the one above the record, padded with
  // 0xFF on both sides: NOR programming only clears bits, so the padding
  // leaves the neighbouring bytes as they are, and since the area's end is
  // word-aligned the write never leaves the area.
  //
  NumBytes = HeaderSize + DataSize;

  //
  // The buffer is taken before the walk: once a full log has been erased,
  // nothing may stop the new record from being written. It has room for the
  // largest lead-in.
  //
  Status = Buffer.Allocate (ALIGN_VALUE (NumBytes + GPNV_FLASH_WORD_SIZE - 1, GPNV_FLASH_WORD_SIZE));
  if (EFI_ERROR (Status)) {
    DEBUG ((DEBUG_ERROR, "Event Log allocate pool failed: %r\n", Status));
    return Status;
  }

  //
  // Walk to the free position. The fit test keeps every position the walk
  // reads inside the area.
  //
  End     = mGpnvBase + mGpnvSize;
  Current = Area;
  while ((Current[0] != GPNV_EVENT_LOG_ERASED_BYTE) && (Current[1] != GPNV_EVENT_LOG_ERASED_BYTE)) {
    if (reinterpret_cast<UINTN>(Current) + Current[1] + NumBytes >= End) {
      Status = MakeRoomInFullLog (This);
      if (EFI_ERROR (Status)) {
        return Status;
      }

      Current = Area;
      break;
    }

    if (Current[1] == 0) {
      DEBUG ((DEBUG_ERROR, "gpnv EFI_UNSUPPORTED \n"));
      return EFI_UNSUPPORTED;
    }

    Current += Current[1];
  }

  DEBUG ((DEBUG_ERROR, "gpnv EventLogType: %d \n", EventLogType));
  DEBUG ((DEBUG_ERROR, "gpnv NumBytes: %d \n", static_cast<UINT32>(NumBytes)));

  Lead        = reinterpret_cast<UINTN>(Current) % GPNV_FLASH_WORD_SIZE;
  ProgramSize = ALIGN_VALUE (Lead + NumBytes, GPNV_FLASH_WORD_SIZE);
  SetMem (Buffer.Get (), ProgramSize, GPNV_EVENT_LOG_ERASED_BYTE);
  ZeroMem (Buffer.Get () + Lead, NumBytes);

  Record         = reinterpret_cast<GPNV_EVENT_LOG_RECORD *>(Buffer.Get () + Lead);
  Record->Type   = EventLogType;
  Record->Length = static_cast<UINT8>(NumBytes);
  Record->Year   = ToBcd (Time->Year % 100);
  Record->Month  = ToBcd (Time->Month);
  Record->Day    = ToBcd (Time->Day);
  Record->Hour   = ToBcd (Time->Hour);
  Record->Minute = ToBcd (Time->Minute);
  Record->Second = ToBcd (Time->Second);
  if (EventLogType == GPNV_EVENT_LOG_TYPE_POST_ERROR) {
    PostRecord               = reinterpret_cast<GPNV_POST_EVENT_LOG_RECORD *>(Buffer.Get () + Lead);
    PostRecord->PostResults0 = PostResults0;
    PostRecord->PostResults1 = PostResults1;
  }

  if (DataSize != 0) {
    CopyMem (Buffer.Get () + Lead + NumBytes - DataSize, Data, DataSize);
  }

  Status = FlashWrite (Buffer.Get (), reinterpret_cast<UINTN>(Current) - Lead, ProgramSize / GPNV_FLASH_WORD_SIZE);
  if (EFI_ERROR (Status)) {
    DEBUG ((DEBUG_ERROR, "Event Log flash bios error! %r\n", Status));
  }

  return Status;
}

/**
  Erases the whole event-log area with one flash erase at its base.

  @param[in]  This  The protocol instance; its LogFull is cleared on success.

  @retval EFI_SUCCESS            The area is erased.
  @retval EFI_INVALID_PARAMETER  This is NULL.
  @retval Others                 The status of the erase.
**/
STATIC
EFI_STATUS
EFIAPI
EraseEventLog (
  IN GPNV_EVENT_LOG_PROTOCOL  *This
  )
{
  EFI_STATUS  Status;

  if (This == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  Status = FlashErase (mGpnvBase);
  if (EFI_ERROR (Status)) {
    DEBUG ((DEBUG_ERROR, "Event log erase error, status: %r \n", Status));
    return Status;
  }

  This->LogFull = FALSE;
  return EFI_SUCCESS;
}

/**
  Steps through the records of the log.

  From NULL the walk starts at the area's start, unless the log is empty.
  From a record it moves on by the record's Length without looking at the
  record it reaches, so the end marker (0xFF 0xFF) is itself returned once
  before EFI_NOT_FOUND; callers stop on it.

  Every position handed out holds a whole two-byte record header inside the
  area, since callers read both bytes. A record whose Length carries the walk
  to the area's last byte, to its end or beyond is the last one: there is no
  room behind it for another header, so the walk ends there instead of
  handing out a position whose header lies outside the area.

  @param[in]      This    The protocol instance; not used.
  @param[in,out]  Record  NULL to start, or a record from an earlier call;
                          on success the next record.

  @retval EFI_SUCCESS            *Record points to the next record.
  @retval EFI_NOT_FOUND          The log is empty, *Record is the end marker,
                                 or no record header fits behind *Record.
  @retval EFI_INVALID_PARAMETER  Record is NULL, *Record's header does not lie
                                 wholly inside the area, or the record has
                                 Length 0.
**/
STATIC
EFI_STATUS
EFIAPI
GetNextEventLog (
  IN     GPNV_EVENT_LOG_PROTOCOL  *This,
  IN OUT UINT8                    **Record
  )
{
  UINTN        Address;
  CONST UINT8  *Current;

  if (Record == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  if (*Record == NULL) {
    if (IsEndOfLog (reinterpret_cast<CONST UINT8 *>(mGpnvBase))) {
      return EFI_NOT_FOUND;
    }

    *Record = reinterpret_cast<UINT8 *>(mGpnvBase);
    return EFI_SUCCESS;
  }

  //
  // Both header bytes must lie inside the area: a position at or past its
  // end, or on its last byte, is not a record of this log.
  //
  Address = reinterpret_cast<UINTN>(*Record);
  if ((Address < mGpnvBase) || (Address > mGpnvBase + mGpnvSize - GPNV_RECORD_HEADER_SIZE)) {
    return EFI_INVALID_PARAMETER;
  }

  Current = *Record;
  if (Current[1] == 0) {
    return EFI_INVALID_PARAMETER;
  }

  if (IsEndOfLog (Current)) {
    return EFI_NOT_FOUND;
  }

  if (Address + Current[1] > mGpnvBase + mGpnvSize - GPNV_RECORD_HEADER_SIZE) {
    return EFI_NOT_FOUND;
  }

  *Record += Current[1];
  return EFI_SUCCESS;
}

///
/// The installed protocol instance.
///
STATIC GPNV_EVENT_LOG_PROTOCOL  mGpnvEventLogProtocol = {
  WriteEventLog,
  EraseEventLog,
  GetNextEventLog,
  FALSE
};

/**
  Driver entry: fixes the event-log area and installs the event-log protocol
  on a new handle.

  @param[in]  ImageHandle  The image handle of the driver.
  @param[in]  SystemTable  The EFI system table.

  @retval EFI_SUCCESS  The protocol is installed.
  @retval Others       The status of InstallProtocolInterface ().
**/
extern "C"
EFI_STATUS
EFIAPI
TallyvaultEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS  Status;
  EFI_HANDLE  Handle;

  mGpnvBase = BOARD_FLASH_EVENT_LOG_BASE;
  mGpnvSize = BOARD_FLASH_EVENT_LOG_SIZE;
  DEBUG ((DEBUG_ERROR, "mGpnvSize 0x%x \n", mGpnvSize));

  Handle = NULL;
  Status = gBS->InstallProtocolInterface (
                  &Handle,
                  &gGpnvEventLogProtocolGuid,
                  EFI_NATIVE_INTERFACE,
                  &mGpnvEventLogProtocol
                  );
  ASSERT_EFI_ERROR (Status);
  return Status;
}
