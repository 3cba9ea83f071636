/** @file
  Rescuetab: publishes the recovery-flash parameters.

  The firmware-recovery updater asks RECOVERY_FLASH_INFO_PROTOCOL where the
  recovery region of the boot flash is. The region (the second protected
  firmware volume) and the second image slot are fixed by the board's flash
  map; the platform recovery parameter comes from the DynamicEx PCD
  PcdRecoveryParameter and is read again at every query, so a change made
  after this driver ran is seen by later callers.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

extern "C" {
#include <Uefi.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DebugLib.h>
#include <Library/PcdLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Protocol/RecoveryFlashInfo.h>
}

#include <ArmServerBoardMap.h>
#include <LayoutAssert.h>
#include <Library/EdkCpp.h>

#define RECOVERY_FLASH_INFO_SIGNATURE  SIGNATURE_32 ('r', 'c', 'v', 'y')

///
/// The driver's private instance, kept in boot-services pool for the rest of
/// boot. The installed interface is the Protocol member.
///
typedef struct {
  UINTN                           Signature;
  EFI_HANDLE                      Handle;
  RECOVERY_FLASH_INFO_PROTOCOL    Protocol;
} RECOVERY_FLASH_INFO_INSTANCE;

STATIC_ASSERT_SIZE (RECOVERY_FLASH_INFO_INSTANCE, 24);
STATIC_ASSERT_OFFSET (RECOVERY_FLASH_INFO_INSTANCE, Signature, 0);
STATIC_ASSERT_OFFSET (RECOVERY_FLASH_INFO_INSTANCE, Handle, 8);
STATIC_ASSERT_OFFSET (RECOVERY_FLASH_INFO_INSTANCE, Protocol, 16);

namespace {
//
// The recovery region is the second protected firmware volume of the boot
// flash; RegionSize is a 32-bit field.
//
constexpr UINT64  RECOVERY_REGION_BASE = BOARD_FLASH_FV_RECOVERY_BASE;
constexpr UINT64  RECOVERY_SECOND_BASE = BOARD_FLASH_RECOVERY_SECOND_BASE;
constexpr UINT32  RECOVERY_REGION_SIZE = BOARD_FLASH_FV_RECOVERY_SIZE;

STATIC_ASSERT (RECOVERY_REGION_BASE + RECOVERY_REGION_SIZE <= BOARD_FLASH_SIZE, "recovery region lies in the flash");
STATIC_ASSERT (RECOVERY_SECOND_BASE < BOARD_FLASH_SIZE, "second recovery slot lies in the flash");
}

/**
  Fills the caller's record with the recovery-flash parameters. The fields
  are written one by one in the order PcdValue, RegionBase, SecondBase,
  RegionSize; bytes 28-31 of the record (tail padding) are left as they were.
  A NULL Info is refused before anything is read or written.

  @param[in]   This  The protocol instance; not used.
  @param[out]  Info  The record to fill.

  @retval EFI_SUCCESS            Info was filled.
  @retval EFI_INVALID_PARAMETER  Info is NULL.
**/
STATIC
EFI_STATUS
EFIAPI
GetRecoveryFlashInfo (
  IN  RECOVERY_FLASH_INFO_PROTOCOL  *This,
  OUT RECOVERY_FLASH_INFO           *Info
  )
{
  volatile RECOVERY_FLASH_INFO  *Record;

  if (Info == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  //
  // Volatile stores keep the four writes separate, in order and exactly as
  // wide as their fields.
  //
  Record             = Info;
  Record->PcdValue   = PcdGetEx64 (&gRecoveryParamTokenSpaceGuid, PcdRecoveryParameter);
  Record->RegionBase = RECOVERY_REGION_BASE;
  Record->SecondBase = RECOVERY_SECOND_BASE;
  Record->RegionSize = RECOVERY_REGION_SIZE;

  return EFI_SUCCESS;
}

///
/// Template of the instance, copied into pool at entry.
///
STATIC CONST RECOVERY_FLASH_INFO_INSTANCE  mRecoveryFlashInfoTemplate = {
  RECOVERY_FLASH_INFO_SIGNATURE,
  NULL,
  {
    GetRecoveryFlashInfo
  }
};

/**
  Driver entry: builds the instance in boot-services pool from the template
  and installs its protocol on a new handle. The instance is never freed
  once installed.

  @param[in]  ImageHandle  The image handle of the driver.
  @param[in]  SystemTable  The EFI system table.

  @retval EFI_SUCCESS           The protocol is installed.
  @retval EFI_OUT_OF_RESOURCES  The instance could not be allocated.
  @retval Others                The installation failed; the instance was freed.
**/
extern "C"
EFI_STATUS
EFIAPI
RescuetabEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS                    Status;
  RECOVERY_FLASH_INFO_INSTANCE  *Instance;

  Instance = NULL;
  Status   = gBS->AllocatePool (EfiBootServicesData, sizeof (RECOVERY_FLASH_INFO_INSTANCE), (VOID **)&Instance);
  if (EFI_ERROR (Status) || (Instance == NULL)) {
    DEBUG ((DEBUG_ERROR, "ERROR: No enouge memory for Rescuetab module!\n"));
    return EFI_OUT_OF_RESOURCES;
  }

  CopyMem (Instance, &mRecoveryFlashInfoTemplate, sizeof (RECOVERY_FLASH_INFO_INSTANCE));

  Status = gBS->InstallProtocolInterface (
                  &Instance->Handle,
                  &gRecoveryFlashInfoProtocolGuid,
                  EFI_NATIVE_INTERFACE,
                  &Instance->Protocol
                  );
  if (EFI_ERROR (Status)) {
    DEBUG ((DEBUG_ERROR, "ERROR: Install protocol for Rescuetab module fail!\n"));
    //
    // Nothing refers to the instance after a failed installation and the
    // DXE core unloads the driver, so give the pool back.
    //
    gBS->FreePool (Instance);
    return Status;
  }

  DEBUG ((DEBUG_INFO, "Rescuetab module success!\n"));
  return EFI_SUCCESS;
}
