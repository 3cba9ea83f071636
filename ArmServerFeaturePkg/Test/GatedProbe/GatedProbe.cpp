/** @file
  A test-only driver that leaves proof of its own dispatch: it installs its
  own file GUID as a protocol with no interface and prints its name. Each
  INF of this directory builds it with another dependency expression, so a
  test can see which of them a DXE dispatcher started.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

extern "C" {
#include <Uefi.h>
#include <Library/DebugLib.h>
#include <Library/UefiBootServicesTableLib.h>
}

#include <Library/EdkCpp.h>

/**
  Driver entry: installs gEfiCallerIdGuid (the driver's file GUID) on a new
  handle and says so.

  @param[in]  ImageHandle  The image handle of the driver.
  @param[in]  SystemTable  The EFI system table.

  @return The status of the install.
**/
extern "C"
EFI_STATUS
EFIAPI
GatedProbeEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS  Status;
  EFI_HANDLE  Handle;

  Handle = NULL;
  Status = gBS->InstallProtocolInterface (&Handle, &gEfiCallerIdGuid, EFI_NATIVE_INTERFACE, NULL);
  DEBUG ((DEBUG_INFO, "%a started: %r\n", gEfiCallerBaseName, Status));
  return Status;
}
