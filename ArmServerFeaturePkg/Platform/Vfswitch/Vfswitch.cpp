/** @file
  Vfswitch: SR-IOV on or off for the boot, from the setup option.

  The PCI Express code of the platform reads three dynamic PCDs: the SR-IOV
  switch itself, a flag that this driver always clears, and a value it sets
  to 16 when SR-IOV is on. They are written by name through PcdLib, which
  reaches PCD_PROTOCOL with the local token numbers the platform build
  assigned, so the driver writes the right entries of any platform's PCD
  database. Writes go in the order switch, flag, value.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

extern "C" {
#include <Uefi.h>
#include <Library/DebugLib.h>
#include <Library/PcdLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
#include <Guid/SetupVariables.h>
}

#include <LayoutAssert.h>
#include <Library/EdkCpp.h>
#include <SetupConfigRead.h>

namespace {
//
// The value written to PcdSrIovPlatformValue while SR-IOV is on.
//
constexpr UINT32  SR_IOV_PLATFORM_VALUE = 16;

}

/**
  Driver entry: reads SystemSetupConfig and writes the SR-IOV PCDs.

  SR-IOV is on when the record's SrIovEnable byte is nonzero, and also when
  there is no record (the platform default) or the stored record is too short
  to hold the byte (no choice was stored, so the default applies). Any other
  read failure writes nothing and is returned, so the DXE core unloads the
  driver. The statuses of the PCD writes are not looked at.

  @param[in]  ImageHandle  The image handle of the driver.
  @param[in]  SystemTable  The EFI system table.

  @retval EFI_SUCCESS  The PCDs were written.
  @retval Others       The GetVariable status; nothing was written.
**/
extern "C"
EFI_STATUS
EFIAPI
VfswitchEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS           Status;
  SYSTEM_SETUP_CONFIG  SetupConfig;
  UINTN                StoredSize;
  BOOLEAN              SrIovOn;

  Status = ReadSystemSetupConfig (&SetupConfig, &StoredSize);
  if (Status == EFI_NOT_FOUND) {
    SrIovOn = TRUE;
  } else if (EFI_ERROR (Status)) {
    DEBUG ((DEBUG_ERROR, "SystemSetupConfig unreadable: %r\n", Status));
    return Status;
  } else if (!SetupByteStored (StoredSize, OFFSET_OF (SYSTEM_SETUP_CONFIG, SrIovEnable))) {
    SrIovOn = TRUE;
  } else {
    SrIovOn = (BOOLEAN)(SetupConfig.SrIovEnable != 0);
  }

  PcdSetBoolS (PcdSrIovEnable, SrIovOn);
  PcdSetBoolS (PcdSrIovPlatformFlag, FALSE);
  if (SrIovOn) {
    PcdSet32S (PcdSrIovPlatformValue, SR_IOV_PLATFORM_VALUE);
  }

  return EFI_SUCCESS;
}
