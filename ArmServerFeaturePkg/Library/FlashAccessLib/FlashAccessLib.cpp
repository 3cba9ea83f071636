/** @file
  Flash-access library: FlashErase () and FlashWrite () over the platform's
  FLASH_ACCESS_PROTOCOL, which the constructor locates once.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

extern "C" {
#include <Uefi.h>
#include <Library/FlashAccessLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Protocol/FlashAccess.h>
}

#include <Library/EdkCpp.h>

namespace {
///
/// Bytes per word of FlashWrite ().
///
constexpr UINTN  FLASH_WORD_SIZE = sizeof (UINT32);
}

///
/// The platform's flash-access interface; NULL when it was not found.
///
STATIC FLASH_ACCESS_PROTOCOL  *mFlashAccessProtocol = NULL;

/**
  Library constructor: locates the flash-access protocol and keeps its
  interface for the module's lifetime.

  @param[in]  ImageHandle  The image handle of the module.
  @param[in]  SystemTable  The EFI system table.

  @retval EFI_SUCCESS       The protocol was found.
  @retval EFI_DEVICE_ERROR  The protocol is not installed.
**/
extern "C"
EFI_STATUS
EFIAPI
FlashAccessLibConstructor (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS  Status;
  VOID        *Interface;

  Interface = NULL;
  Status    = gBS->LocateProtocol (&gFlashAccessProtocolGuid, NULL, &Interface);
  if (EFI_ERROR (Status) || (Interface == NULL)) {
    mFlashAccessProtocol = NULL;
    return EFI_DEVICE_ERROR;
  }

  mFlashAccessProtocol = static_cast<FLASH_ACCESS_PROTOCOL *>(Interface);
  return EFI_SUCCESS;
}

/**
  Erases the flash block that contains Address through the protocol's Erase
  member (slot 4).

  @param[in]  Address  Flash address inside the block to erase.

  @retval EFI_DEVICE_ERROR  The flash-access protocol was not found.
  @retval Others            The status of Erase ().
**/
EFI_STATUS
EFIAPI
FlashErase (
  IN UINTN  Address
  )
{
  if (mFlashAccessProtocol == NULL) {
    return EFI_DEVICE_ERROR;
  }

  return mFlashAccessProtocol->Erase (Address);
}

/**
  Programs WordCount words from Buffer at Address through the protocol's
  Write member (slot 6), whose length is a byte count of 32 bits.

  A word count whose byte length does not fit 32 bits is refused rather than
  truncated: a truncated length would program fewer bytes than asked and
  still report success.

  @param[in]  Buffer     The bytes to program.
  @param[in]  Address    Flash address of the first byte.
  @param[in]  WordCount  Number of 32-bit words.

  @retval EFI_DEVICE_ERROR       The flash-access protocol was not found.
  @retval EFI_INVALID_PARAMETER  Buffer is NULL or the length is too large.
  @retval Others                 The status of Write ().
**/
EFI_STATUS
EFIAPI
FlashWrite (
  IN VOID   *Buffer,
  IN UINTN  Address,
  IN UINTN  WordCount
  )
{
  if (mFlashAccessProtocol == NULL) {
    return EFI_DEVICE_ERROR;
  }

  if ((Buffer == NULL) || (WordCount > MAX_UINT32 / FLASH_WORD_SIZE)) {
    return EFI_INVALID_PARAMETER;
  }

  return mFlashAccessProtocol->Write (Address, Buffer, static_cast<UINT32>(WordCount * FLASH_WORD_SIZE));
}
