/** @file
  Recovery-flash information protocol: tells the firmware-recovery updater
  where the recovery region of the boot flash is.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef RECOVERY_FLASH_INFO_PROTOCOL_H_
#define RECOVERY_FLASH_INFO_PROTOCOL_H_

#include <LayoutAssert.h>

#define RECOVERY_FLASH_INFO_PROTOCOL_GUID \
  { 0x24B57096, 0xC11C, 0x4039, { 0x94, 0x7E, 0xB9, 0xB3, 0x9F, 0x4A, 0xFA, 0xF7 } }

typedef struct _RECOVERY_FLASH_INFO_PROTOCOL RECOVERY_FLASH_INFO_PROTOCOL;

///
/// Recovery parameters, natural alignment (32 bytes). The producer fills the
/// four fields only; bytes 28-31 (tail padding) are never written.
///
typedef struct {
  UINT64    RegionBase;   ///< flash address of the recovery region
  UINT64    SecondBase;   ///< flash address of the second recovery image slot
  UINT64    PcdValue;     ///< platform recovery parameter, read at each query
  UINT32    RegionSize;   ///< size of the recovery region in bytes
} RECOVERY_FLASH_INFO;

STATIC_ASSERT_SIZE (RECOVERY_FLASH_INFO, 32);
STATIC_ASSERT_OFFSET (RECOVERY_FLASH_INFO, RegionBase, 0);
STATIC_ASSERT_OFFSET (RECOVERY_FLASH_INFO, SecondBase, 8);
STATIC_ASSERT_OFFSET (RECOVERY_FLASH_INFO, PcdValue, 16);
STATIC_ASSERT_OFFSET (RECOVERY_FLASH_INFO, RegionSize, 24);

/**
  Fills the caller's record with the recovery-flash parameters.

  @param[in]   This  The protocol instance; not used.
  @param[out]  Info  The record to fill.

  @retval EFI_SUCCESS            Info was filled.
  @retval EFI_INVALID_PARAMETER  Info is NULL; nothing was written.
**/
typedef
EFI_STATUS
(EFIAPI *RECOVERY_FLASH_INFO_GET)(
  IN  RECOVERY_FLASH_INFO_PROTOCOL  *This,
  OUT RECOVERY_FLASH_INFO           *Info
  );

struct _RECOVERY_FLASH_INFO_PROTOCOL {
  RECOVERY_FLASH_INFO_GET    GetRecoveryFlashInfo;
};

STATIC_ASSERT_SIZE (RECOVERY_FLASH_INFO_PROTOCOL, 8);

extern EFI_GUID  gRecoveryFlashInfoProtocolGuid;

#endif // RECOVERY_FLASH_INFO_PROTOCOL_H_
