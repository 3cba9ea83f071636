/** @file
  Gatewarden: setup-driven dependency markers for optional network drivers.

  The network drivers that a platform may or may not want (the two modes of
  the network stack, its options A and B, the Intel UNDI drivers) name one of
  the marker GUIDs below in their dependency expressions. This driver reads
  the network options of SystemSetupConfig once, at dispatch, and installs
  the markers the options enable, all on one new handle, with no interface.
  Because the DXE dispatcher evaluates dependency expressions again after
  each driver it starts, the gated drivers become eligible as soon as this
  entry point returns; with an option off its marker never appears and its
  drivers stay dormant for the whole boot.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

extern "C" {
#include <Uefi.h>
#include <Library/DebugLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
#include <Guid/SetupVariables.h>
#include <Protocol/NetworkDepex.h>
}

#include <LayoutAssert.h>
#include <Library/EdkCpp.h>
#include <SetupConfigRead.h>

namespace {
//
// NetworkMode values; any other nonzero value gates in only the UNDI drivers.
//
constexpr UINT8  NETWORK_MODE_OFF = 0;
constexpr UINT8  NETWORK_MODE_1   = 1;
constexpr UINT8  NETWORK_MODE_2   = 2;

//
// An option is on only when its byte is exactly 1.
//
constexpr UINT8  NETWORK_OPTION_ON = 1;

STATIC_ASSERT (SYSTEM_SETUP_CONFIG_SIZE == sizeof (SYSTEM_SETUP_CONFIG), "setup record size");
}

/**
  Installs one marker GUID with a NULL interface on Handle (a new handle when
  *Handle is NULL, which then receives it).

  @param[in, out]  Handle  The handle that collects the markers.
  @param[in]       Marker  The marker GUID.

  @return The status of InstallProtocolInterface.
**/
STATIC
EFI_STATUS
InstallMarker (
  IN OUT EFI_HANDLE  *Handle,
  IN     EFI_GUID    *Marker
  )
{
  return gBS->InstallProtocolInterface (Handle, Marker, EFI_NATIVE_INTERFACE, NULL);
}

/**
  Driver entry: reads the network options of SystemSetupConfig and installs
  the marker GUIDs they enable, in the fixed order mode, option A, option B,
  UNDI. The record is read into a zeroed buffer, so a stored record shorter
  than the options reads them as 0 (off). A missing or unreadable record, or
  no pool for the buffer, installs nothing.

  @param[in]  ImageHandle  The image handle of the driver.
  @param[in]  SystemTable  The EFI system table.

  @retval EFI_SUCCESS  Always; the driver holds no state afterwards.
**/
extern "C"
EFI_STATUS
EFIAPI
GatewardenEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS           Status;
  SYSTEM_SETUP_CONFIG  *SetupConfig;
  UINTN                StoredSize;
  EFI_HANDLE           Handle;
  UINT8                OptionA;
  UINT8                OptionB;

  SetupConfig = (SYSTEM_SETUP_CONFIG *)AllocateZeroPool (SYSTEM_SETUP_CONFIG_SIZE);
  if (SetupConfig == NULL) {
    return EFI_SUCCESS;
  }

  Status = ReadSystemSetupConfig (SetupConfig, &StoredSize);
  if (EFI_ERROR (Status) || (SetupConfig->NetworkMode == NETWORK_MODE_OFF)) {
    FreePool (SetupConfig);
    return EFI_SUCCESS;
  }

  Handle = NULL;
  if ((SetupConfig->NetworkMode == NETWORK_MODE_1) || (SetupConfig->NetworkMode == NETWORK_MODE_2)) {
    if (SetupConfig->NetworkMode == NETWORK_MODE_1) {
      InstallMarker (&Handle, &gNetworkMode1DepexProtocolGuid);
      OptionA = SetupConfig->Mode1OptionA;
      OptionB = SetupConfig->Mode1OptionB;
    } else {
      InstallMarker (&Handle, &gNetworkMode2DepexProtocolGuid);
      OptionA = SetupConfig->Mode2OptionA;
      OptionB = SetupConfig->Mode2OptionB;
    }

    if (OptionA == NETWORK_OPTION_ON) {
      InstallMarker (&Handle, &gNetworkOptionADepexProtocolGuid);
    }

    if (OptionB == NETWORK_OPTION_ON) {
      InstallMarker (&Handle, &gNetworkOptionBDepexProtocolGuid);
    }
  }

  //
  // Every nonzero mode gates in the UNDI drivers. A failed install halts a
  // debug build; a release build says so and does not claim the install.
  //
  Status = InstallMarker (&Handle, &gNetworkUndiDepexProtocolGuid);
  ASSERT_EFI_ERROR (Status);
  if (EFI_ERROR (Status)) {
    DEBUG ((DEBUG_ERROR, "UNDI dependency install failed: %r\n", Status));
  } else {
    DEBUG ((DEBUG_INFO, "intel GigUndiDxe.efi and XGigUndiDxe.efi install\n"));
  }

  FreePool (SetupConfig);
  return EFI_SUCCESS;
}
