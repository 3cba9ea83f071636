/** @file
  Stampread: publishes the firmware identity strings.

  The firmware build places a firmware-ID block, starting with the 7-byte
  signature "$QXBIOS", in the first protected firmware volume of the boot
  flash. The flash is memory-mapped, so the driver scans it as ordinary
  memory, from the top of the volume down in 8-byte steps, and copies the
  block's three strings into the buffer of the dynamic PCD PcdFirmwareIdData
  at the block's own offsets. The platform declares and initialises that
  buffer; its first ten bytes are never written here.

  When the PCD's current value already spans the block's layout, the buffer
  is written in place through the pointer PcdGetPtr returns and its size
  stays as the platform declared it. A platform may declare a larger maximum
  than its initial value; then the current value, extended with zeros to
  the layout's size, receives the strings and is published with PcdSetPtrS,
  which checks the declared maximum and makes the new size current. A PCD
  whose maximum cannot hold the layout is left untouched rather than
  overrun.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

extern "C" {
#include <Uefi.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DebugLib.h>
#include <Library/PcdLib.h>
}

#include <ArmServerBoardMap.h>
#include <LayoutAssert.h>
#include <Library/EdkCpp.h>

#define FID_SIGNATURE_SIZE           7
#define FID_ASCII_FIELD_SIZE         32      // bytes
#define FID_UNICODE_FIELD_CHARS      38      // CHAR16, terminator included
#define FID_SHORT_ASCII_FIELD_SIZE   20      // bytes

///
/// The firmware-ID block in flash. The PCD buffer uses the same offsets for
/// the three strings; bytes 7-9 and everything after the last field are not
/// read. The natural layout has no padding (checked below), so the CHAR16
/// field stays 2-byte aligned as the safe-string functions require.
///
typedef struct {
  CHAR8     Signature[FID_SIGNATURE_SIZE];
  UINT8     Reserved[3];
  CHAR8     AsciiField[FID_ASCII_FIELD_SIZE];
  CHAR16    UnicodeField[FID_UNICODE_FIELD_CHARS];
  CHAR8     ShortAsciiField[FID_SHORT_ASCII_FIELD_SIZE];
} FIRMWARE_ID_BLOCK;

STATIC_ASSERT_SIZE (FIRMWARE_ID_BLOCK, 138);
STATIC_ASSERT_OFFSET (FIRMWARE_ID_BLOCK, Signature, 0);
STATIC_ASSERT_OFFSET (FIRMWARE_ID_BLOCK, AsciiField, 10);
STATIC_ASSERT_OFFSET (FIRMWARE_ID_BLOCK, UnicodeField, 42);
STATIC_ASSERT_OFFSET (FIRMWARE_ID_BLOCK, ShortAsciiField, 118);

namespace {
//
// Search window: candidates from the first address above the first
// protected firmware volume down to (not including) 8 bytes above its base,
// every 8 bytes.
//
constexpr UINTN  FID_SEARCH_TOP    = BOARD_FLASH_FV_MAIN_BASE + BOARD_FLASH_FV_MAIN_SIZE;
constexpr UINTN  FID_SEARCH_BOTTOM = BOARD_FLASH_FV_MAIN_BASE + 8;     // exclusive
constexpr UINTN  FID_SEARCH_STEP   = 8;

STATIC_ASSERT (FID_SEARCH_TOP == 0x650000, "the search starts just above the first firmware volume");
STATIC_ASSERT (FID_SEARCH_TOP + sizeof (FIRMWARE_ID_BLOCK) <= BOARD_FLASH_SIZE, "a block at the top lies in the flash");
STATIC_ASSERT (OFFSET_OF (FIRMWARE_ID_BLOCK, UnicodeField) % sizeof (CHAR16) == 0, "the CHAR16 field is aligned");
}

///
/// The signature that opens a firmware-ID block.
///
STATIC CONST CHAR8  mFidSignature[FID_SIGNATURE_SIZE] = { '$', 'Q', 'X', 'B', 'I', 'O', 'S' };

/**
  Finds the firmware-ID block: the highest candidate address of the search
  window whose first 7 bytes are the signature.

  @return The block's address, or NULL when no candidate matches.
**/
STATIC
CONST FIRMWARE_ID_BLOCK *
FindFirmwareIdBlock (
  VOID
  )
{
  UINTN  Address;

  for (Address = FID_SEARCH_TOP; Address > FID_SEARCH_BOTTOM; Address -= FID_SEARCH_STEP) {
    if (CompareMem ((CONST VOID *)Address, mFidSignature, FID_SIGNATURE_SIZE) == 0) {
      return (CONST FIRMWARE_ID_BLOCK *)Address;
    }
  }

  return NULL;
}

/**
  Copies the block's strings into Target at the block's own offsets, the
  CHAR16 field first, then the short and the long CHAR8 fields. A string
  that does not fit its field, with its terminator, leaves that field as it
  was; the other copies still happen.

  @param[out]  Target  The PCD value to fill.
  @param[in]   Block   The firmware-ID block found in flash.
**/
STATIC
VOID
CopyFirmwareIdStrings (
  OUT FIRMWARE_ID_BLOCK        *Target,
  IN  CONST FIRMWARE_ID_BLOCK  *Block
  )
{
  StrCpyS (Target->UnicodeField, FID_UNICODE_FIELD_CHARS, Block->UnicodeField);
  AsciiStrCpyS (Target->ShortAsciiField, FID_SHORT_ASCII_FIELD_SIZE, Block->ShortAsciiField);
  AsciiStrCpyS (Target->AsciiField, FID_ASCII_FIELD_SIZE, Block->AsciiField);
}

/**
  Driver entry: finds the firmware-ID block and copies its strings into
  PcdFirmwareIdData.

  @param[in]  ImageHandle  The image handle of the driver.
  @param[in]  SystemTable  The EFI system table.

  @retval EFI_SUCCESS           The block was found and its strings copied.
  @retval EFI_NOT_FOUND         No block in the window; the PCD is untouched.
  @retval EFI_BAD_BUFFER_SIZE   The PCD's declared maximum is smaller than
                                the block's layout (or it has no buffer); it
                                is left untouched.
**/
extern "C"
EFI_STATUS
EFIAPI
StampreadEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  CONST FIRMWARE_ID_BLOCK  *Block;
  FIRMWARE_ID_BLOCK        *Pcd;
  UINTN                    PcdSize;
  FIRMWARE_ID_BLOCK        Grown;
  UINTN                    GrownSize;
  EFI_STATUS               Status;

  Block = FindFirmwareIdBlock ();
  if (Block == NULL) {
    return EFI_NOT_FOUND;
  }

  PcdSize = PcdGetSize (PcdFirmwareIdData);
  Pcd     = (FIRMWARE_ID_BLOCK *)PcdGetPtr (PcdFirmwareIdData);
  if (Pcd == NULL) {
    DEBUG ((DEBUG_ERROR, "%a: PcdFirmwareIdData has no buffer; not written\n", __FUNCTION__));
    return EFI_BAD_BUFFER_SIZE;
  }

  if (PcdSize >= sizeof (FIRMWARE_ID_BLOCK)) {
    CopyFirmwareIdStrings (Pcd, Block);
    return EFI_SUCCESS;
  }

  //
  // The current value is shorter than the layout: keep its bytes, zero the
  // rest, and let the PCD driver decide whether the declared maximum holds
  // the whole layout.
  //
  ZeroMem (&Grown, sizeof (Grown));
  CopyMem (&Grown, Pcd, PcdSize);
  CopyFirmwareIdStrings (&Grown, Block);
  GrownSize = sizeof (Grown);
  Status    = PcdSetPtrS (PcdFirmwareIdData, &GrownSize, &Grown);
  if (EFI_ERROR (Status)) {
    DEBUG ((
      DEBUG_ERROR,
      "%a: PcdFirmwareIdData holds %u bytes, %u needed; not written\n",
      __FUNCTION__,
      (UINT32)GrownSize,
      (UINT32)sizeof (FIRMWARE_ID_BLOCK)
      ));
    return EFI_BAD_BUFFER_SIZE;
  }

  return EFI_SUCCESS;
}
