/** @file
  Flash-access library: erases and programs the boot flash through the
  platform's FLASH_ACCESS_PROTOCOL.

  The library constructor locates the protocol once; a module that links the
  library fails its start (EFI_DEVICE_ERROR from the constructor) when the
  protocol is not there, and every later call then returns EFI_DEVICE_ERROR.

  Addresses are boot-flash addresses, which equal the physical addresses at
  which the memory-mapped flash is read, so a plain read of the same address
  sees what a successful FlashWrite () programmed.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef FLASH_ACCESS_LIB_H_
#define FLASH_ACCESS_LIB_H_

/**
  Erases the flash block that contains Address (all its bytes read 0xFF
  afterwards).

  @param[in]  Address  Flash address inside the block to erase.

  @retval EFI_SUCCESS       The block is erased.
  @retval EFI_DEVICE_ERROR  The flash-access protocol was not found.
  @retval Others            The status of the protocol's Erase member.
**/
EFI_STATUS
EFIAPI
FlashErase (
  IN UINTN  Address
  );

/**
  Programs WordCount 32-bit words (WordCount * 4 bytes) from Buffer at
  Address. NOR flash only clears bits, so the destination is expected to be
  erased.

  @param[in]  Buffer     The bytes to program.
  @param[in]  Address    Flash address of the first byte.
  @param[in]  WordCount  Number of 32-bit words.

  @retval EFI_SUCCESS            The bytes are programmed.
  @retval EFI_DEVICE_ERROR       The flash-access protocol was not found.
  @retval EFI_INVALID_PARAMETER  Buffer is NULL, or WordCount * 4 does not fit
                                 the protocol's 32-bit length.
  @retval Others                 The status of the protocol's Write member.
**/
EFI_STATUS
EFIAPI
FlashWrite (
  IN VOID   *Buffer,
  IN UINTN  Address,
  IN UINTN  WordCount
  );

#endif // FLASH_ACCESS_LIB_H_
