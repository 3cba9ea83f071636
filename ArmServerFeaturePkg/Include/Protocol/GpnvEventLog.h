/** @file
  General-purpose non-volatile (GPNV) event-log protocol and record.

  The event log is a 64 KiB area of the boot flash holding SMBIOS System Event
  Log records (SMBIOS type 15 log records without a log header) back to back.
  The producer appends and erases records; consumers walk them.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef GPNV_EVENT_LOG_PROTOCOL_H_
#define GPNV_EVENT_LOG_PROTOCOL_H_

#include <LayoutAssert.h>

#define GPNV_EVENT_LOG_PROTOCOL_GUID \
  { 0x6A73DEEB, 0x63C0, 0x49C6, { 0xA5, 0xD4, 0x94, 0xCF, 0xE0, 0x10, 0x0F, 0xE3 } }

typedef struct _GPNV_EVENT_LOG_PROTOCOL GPNV_EVENT_LOG_PROTOCOL;

///
/// Event type of a POST-error record, the only type that carries the two
/// POST-results DWORDs.
///
#define GPNV_EVENT_LOG_TYPE_POST_ERROR  0x08

///
/// A type or length byte of this value marks erased flash: the free space
/// after the last record. 0xFF 0xFF is the end-of-log marker.
///
#define GPNV_EVENT_LOG_ERASED_BYTE  0xFF

#pragma pack(1)

///
/// Header common to every event-log record. The time stamp is BCD.
///
typedef struct {
  UINT8    Type;     ///< SMBIOS event-log type code
  UINT8    Length;   ///< whole record in bytes, header included
  UINT8    Year;     ///< last two digits of the year, BCD
  UINT8    Month;    ///< BCD
  UINT8    Day;      ///< BCD
  UINT8    Hour;     ///< BCD
  UINT8    Minute;   ///< BCD
  UINT8    Second;   ///< BCD
} GPNV_EVENT_LOG_RECORD;

///
/// A POST-error record (type 08h): the header followed by the two DWORDs of
/// the POST-results bitmap. Caller data, if any, follows at offset 16.
///
typedef struct {
  GPNV_EVENT_LOG_RECORD    Header;
  UINT32                   PostResults0;
  UINT32                   PostResults1;
} GPNV_POST_EVENT_LOG_RECORD;

#pragma pack()

STATIC_ASSERT_SIZE (GPNV_EVENT_LOG_RECORD, 8);
STATIC_ASSERT_OFFSET (GPNV_EVENT_LOG_RECORD, Type, 0);
STATIC_ASSERT_OFFSET (GPNV_EVENT_LOG_RECORD, Length, 1);
STATIC_ASSERT_OFFSET (GPNV_EVENT_LOG_RECORD, Year, 2);
STATIC_ASSERT_OFFSET (GPNV_EVENT_LOG_RECORD, Month, 3);
STATIC_ASSERT_OFFSET (GPNV_EVENT_LOG_RECORD, Day, 4);
STATIC_ASSERT_OFFSET (GPNV_EVENT_LOG_RECORD, Hour, 5);
STATIC_ASSERT_OFFSET (GPNV_EVENT_LOG_RECORD, Minute, 6);
STATIC_ASSERT_OFFSET (GPNV_EVENT_LOG_RECORD, Second, 7);

STATIC_ASSERT_SIZE (GPNV_POST_EVENT_LOG_RECORD, 16);
STATIC_ASSERT_OFFSET (GPNV_POST_EVENT_LOG_RECORD, PostResults0, 8);
STATIC_ASSERT_OFFSET (GPNV_POST_EVENT_LOG_RECORD, PostResults1, 12);

/**
  Appends one record to the end of the event log.

  @param[in]  This          The protocol instance.
  @param[in]  EventLogType  SMBIOS event-log type code of the record.
  @param[in]  PostResults0  First POST-results DWORD; stored for type 08h only.
  @param[in]  PostResults1  Second POST-results DWORD; stored for type 08h only.
  @param[in]  DataSize      Number of data bytes to append to the record.
  @param[in]  Data          The data bytes; with DataSize 0 or Data NULL the
                            record carries no data.
  @param[in]  Time          Time stamp of the record; required.

  @retval EFI_SUCCESS           The record was written.
  @retval EFI_OUT_OF_RESOURCES  The log is full and may not be erased.
  @retval EFI_UNSUPPORTED       The log is damaged (a zero-length record).
  @retval Others                The flash write or the allocation failed.
**/
typedef
EFI_STATUS
(EFIAPI *GPNV_WRITE_EVENT_LOG)(
  IN GPNV_EVENT_LOG_PROTOCOL  *This,
  IN UINT8                    EventLogType,
  IN UINT32                   PostResults0,
  IN UINT32                   PostResults1,
  IN UINTN                    DataSize,
  IN VOID                     *Data,
  IN EFI_TIME                 *Time
  );

/**
  Erases the whole event-log area.

  @param[in]  This  The protocol instance.

  @return The status of the flash erase.
**/
typedef
EFI_STATUS
(EFIAPI *GPNV_ERASE_EVENT_LOG)(
  IN GPNV_EVENT_LOG_PROTOCOL  *This
  );

/**
  Steps through the records of the event log.

  @param[in]      This    The protocol instance.
  @param[in,out]  Record  On entry NULL to start at the first record, or a
                          record returned by an earlier call; on success the
                          next record. The end-of-log marker (0xFF 0xFF) is
                          itself returned once before EFI_NOT_FOUND.

  @retval EFI_SUCCESS            *Record points to the next record.
  @retval EFI_NOT_FOUND          The log is empty or the walk has ended.
  @retval EFI_INVALID_PARAMETER  *Record lies outside the area or has length 0.
**/
typedef
EFI_STATUS
(EFIAPI *GPNV_GET_NEXT_EVENT_LOG)(
  IN     GPNV_EVENT_LOG_PROTOCOL  *This,
  IN OUT UINT8                    **Record
  );

struct _GPNV_EVENT_LOG_PROTOCOL {
  GPNV_WRITE_EVENT_LOG       WriteEventLog;
  GPNV_ERASE_EVENT_LOG       EraseEventLog;
  GPNV_GET_NEXT_EVENT_LOG    GetNextEventLog;
  ///
  /// TRUE when the last WriteEventLog refused a record for lack of space;
  /// cleared by every WriteEventLog call and by a successful erase.
  ///
  BOOLEAN                    LogFull;
};

STATIC_ASSERT_SIZE (GPNV_EVENT_LOG_PROTOCOL, 32);
STATIC_ASSERT_OFFSET (GPNV_EVENT_LOG_PROTOCOL, WriteEventLog, 0);
STATIC_ASSERT_OFFSET (GPNV_EVENT_LOG_PROTOCOL, EraseEventLog, 8);
STATIC_ASSERT_OFFSET (GPNV_EVENT_LOG_PROTOCOL, GetNextEventLog, 16);
STATIC_ASSERT_OFFSET (GPNV_EVENT_LOG_PROTOCOL, LogFull, 24);

extern EFI_GUID  gGpnvEventLogProtocolGuid;

#endif // GPNV_EVENT_LOG_PROTOCOL_H_
