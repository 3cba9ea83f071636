/** @file
  Flash-access protocol: programs and erases the boot flash on behalf of
  drivers that keep data in it.

  The protocol is produced by a platform module outside this package. Only two
  of its members are relied on here: Erase (the fifth member, slot 4) and
  Write (the seventh member, slot 6). The other slots are named for reference
  only; their signatures belong to the producer and this package never calls
  them, so they are declared as opaque function pointers.

  Addresses are boot-flash addresses, which equal the physical addresses at
  which the memory-mapped flash is read.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef FLASH_ACCESS_PROTOCOL_H_
#define FLASH_ACCESS_PROTOCOL_H_

#include <LayoutAssert.h>

#define FLASH_ACCESS_PROTOCOL_GUID \
  { 0x00B4AF42, 0xFBD0, 0x11EA, { 0x80, 0x3A, 0x27, 0xEA, 0x5E, 0x65, 0xE3, 0xF6 } }

typedef struct _FLASH_ACCESS_PROTOCOL FLASH_ACCESS_PROTOCOL;

/**
  A member that this package does not call; its real signature is the
  producer's.
**/
typedef
VOID
(EFIAPI *FLASH_ACCESS_UNUSED_SERVICE)(
  VOID
  );

/**
  Erases the flash block that contains Address; the producer guarantees that
  one call at the base of the event-log area leaves the whole 64 KiB area
  erased (all bytes 0xFF).

  @param[in]  Address  Flash address inside the block to erase.

  @return EFI_SUCCESS or the producer's error status.
**/
typedef
EFI_STATUS
(EFIAPI *FLASH_ACCESS_ERASE)(
  IN UINTN  Address
  );

/**
  Programs Length bytes at Address. NOR flash programs bits from 1 to 0 only,
  so the destination is expected to be erased.

  @param[in]  Address  Flash address of the first byte to program.
  @param[in]  Buffer   The bytes to program.
  @param[in]  Length   Number of bytes.

  @return EFI_SUCCESS or the producer's error status.
**/
typedef
EFI_STATUS
(EFIAPI *FLASH_ACCESS_WRITE)(
  IN UINTN   Address,
  IN VOID    *Buffer,
  IN UINT32  Length
  );

struct _FLASH_ACCESS_PROTOCOL {
  FLASH_ACCESS_UNUSED_SERVICE    Initialize;   ///< slot 0, not called
  FLASH_ACCESS_UNUSED_SERVICE    GetInfo;      ///< slot 1, not called
  FLASH_ACCESS_UNUSED_SERVICE    Read;         ///< slot 2, not called
  FLASH_ACCESS_UNUSED_SERVICE    Lock;         ///< slot 3, not called
  FLASH_ACCESS_ERASE             Erase;        ///< slot 4
  FLASH_ACCESS_UNUSED_SERVICE    EraseRange;   ///< slot 5, not called
  FLASH_ACCESS_WRITE             Write;        ///< slot 6
};

STATIC_ASSERT_SIZE (FLASH_ACCESS_PROTOCOL, 7 * sizeof (VOID *));
STATIC_ASSERT_OFFSET (FLASH_ACCESS_PROTOCOL, Erase, 4 * sizeof (VOID *));
STATIC_ASSERT_OFFSET (FLASH_ACCESS_PROTOCOL, Write, 6 * sizeof (VOID *));

extern EFI_GUID  gFlashAccessProtocolGuid;

#endif // FLASH_ACCESS_PROTOCOL_H_
