/** @file
  The virtual board's platform boot manager.

  Before the consoles: the board's text console becomes ConOut, ErrOut and
  ConIn; the event-log trigger is installed, as the platform does once every
  driver has started, drivers it wakes are dispatched, and End of DXE is
  signalled. After the
  consoles: the network-boot application built into the firmware volume
  becomes Boot0000, first in BootOrder, as it is registered at every boot.
  When no option boots, the board powers off.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <PiDxe.h>

#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DebugLib.h>
#include <Library/DevicePathLib.h>
#include <Library/DxeServicesTableLib.h>
#include <Library/HiiLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/PlatformBootManagerLib.h>
#include <Library/UefiBootManagerLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>

#include <Guid/GlobalVariable.h>
#include <Protocol/DevicePath.h>
#include <Protocol/FirmwareVolume2.h>
#include <Protocol/SimpleTextIn.h>
#include <Protocol/SimpleTextOut.h>

extern EFI_GUID  gEventLogTriggerProtocolGuid;

//
// The board's name as a GUID package of the HII database. The platform
// registers no forms or strings of its own, and EDK II's HII database driver
// expects at least one package list when it exports the database for the
// operating system at ReadyToBoot.
//
#pragma pack(1)
typedef struct {
  UINT32                      BinaryLength;
  EFI_HII_GUID_PACKAGE_HDR    Package;
  CHAR8                       Name[16];
} BOARD_NAME_PACKAGE;
#pragma pack()

STATIC BOARD_NAME_PACKAGE  mBoardNamePackage = {
  sizeof (BOARD_NAME_PACKAGE),
  {
    { sizeof (EFI_HII_GUID_PACKAGE_HDR) + 16, EFI_HII_PACKAGE_TYPE_GUID },
    { 0x0e6b9d43, 0x7a21, 0x4c85, { 0xb3, 0xf0, 0x5d, 0x18, 0xe9, 0x2a, 0x6c, 0x07 } }
  },
  "ArmServerBoard"
};

//
// The application the platform registers as Boot0000, by its UI name.
//
#define NETWORK_BOOT_APPLICATION  L"Wirelaunch"

/**
  Makes the device path of the first handle with Protocol a console of the
  given console variables.

  @param[in] Protocol  The console protocol to look for.
  @param[in] In        TRUE for ConIn, FALSE for ConOut and ErrOut.
**/
STATIC
VOID
AddConsole (
  IN EFI_GUID  *Protocol,
  IN BOOLEAN   In
  )
{
  EFI_STATUS                Status;
  EFI_HANDLE                *Handles;
  UINTN                     Count;
  EFI_DEVICE_PATH_PROTOCOL  *DevicePath;

  Status = gBS->LocateHandleBuffer (ByProtocol, Protocol, NULL, &Count, &Handles);
  if (EFI_ERROR (Status) || (Count == 0)) {
    DEBUG ((DEBUG_WARN, "%a: no console with %g\n", __FUNCTION__, Protocol));
    return;
  }

  DevicePath = DevicePathFromHandle (Handles[0]);
  if (DevicePath != NULL) {
    if (In) {
      EfiBootManagerUpdateConsoleVariable (ConIn, DevicePath, NULL);
    } else {
      EfiBootManagerUpdateConsoleVariable (ConOut, DevicePath, NULL);
      EfiBootManagerUpdateConsoleVariable (ErrOut, DevicePath, NULL);
    }
  }

  FreePool (Handles);
}

/**
  Finds the application with the given UI name in the firmware volumes.

  @param[out] FvHandle  The volume that holds it.
  @param[out] FileName  Its file name.

  @return TRUE when found.
**/
STATIC
BOOLEAN
FindApplication (
  IN  CONST CHAR16  *UiName,
  OUT EFI_HANDLE    *FvHandle,
  OUT EFI_GUID      *FileName
  )
{
  EFI_STATUS                     Status;
  EFI_HANDLE                     *Handles;
  UINTN                          Count;
  UINTN                          Index;
  EFI_FIRMWARE_VOLUME2_PROTOCOL  *Fv;
  VOID                           *Key;
  EFI_FV_FILETYPE                Type;
  EFI_FV_FILE_ATTRIBUTES         Attributes;
  UINTN                          Size;
  CHAR16                         *Name;
  UINT32                         AuthenticationStatus;
  BOOLEAN                        Found;

  Found  = FALSE;
  Status = gBS->LocateHandleBuffer (ByProtocol, &gEfiFirmwareVolume2ProtocolGuid, NULL, &Count, &Handles);
  if (EFI_ERROR (Status)) {
    return FALSE;
  }

  for (Index = 0; Index < Count && !Found; Index++) {
    Status = gBS->HandleProtocol (Handles[Index], &gEfiFirmwareVolume2ProtocolGuid, (VOID **)&Fv);
    if (EFI_ERROR (Status)) {
      continue;
    }

    Key = AllocateZeroPool (Fv->KeySize);
    if (Key == NULL) {
      break;
    }

    for ( ; ;) {
      Type   = EFI_FV_FILETYPE_APPLICATION;
      Status = Fv->GetNextFile (Fv, Key, &Type, FileName, &Attributes, &Size);
      if (EFI_ERROR (Status)) {
        break;
      }

      Name   = NULL;
      Size   = 0;
      Status = Fv->ReadSection (Fv, FileName, EFI_SECTION_USER_INTERFACE, 0, (VOID **)&Name, &Size, &AuthenticationStatus);
      if (!EFI_ERROR (Status)) {
        Found = (StrnCmp (Name, UiName, Size / sizeof (CHAR16)) == 0) && (StrSize (UiName) <= Size);
        FreePool (Name);
        if (Found) {
          *FvHandle = Handles[Index];
          break;
        }
      }
    }

    FreePool (Key);
  }

  FreePool (Handles);
  return Found;
}

/**
  Registers the network-boot application as Boot0000 and puts it first in
  BootOrder, keeping the other options in their order.
**/
STATIC
VOID
RegisterNetworkBootApplication (
  VOID
  )
{
  EFI_STATUS                         Status;
  EFI_HANDLE                         FvHandle;
  EFI_GUID                           FileName;
  MEDIA_FW_VOL_FILEPATH_DEVICE_PATH  FileNode;
  EFI_DEVICE_PATH_PROTOCOL           *DevicePath;
  EFI_BOOT_MANAGER_LOAD_OPTION       Option;
  UINT16                             *Order;
  UINT16                             *NewOrder;
  UINTN                              Size;
  UINTN                              Index;
  UINTN                              Count;

  if (!FindApplication (NETWORK_BOOT_APPLICATION, &FvHandle, &FileName)) {
    DEBUG ((DEBUG_ERROR, "%a: no %s in the firmware volumes\n", __FUNCTION__, NETWORK_BOOT_APPLICATION));
    return;
  }

  EfiInitializeFwVolDevicepathNode (&FileNode, &FileName);
  DevicePath = AppendDevicePathNode (DevicePathFromHandle (FvHandle), (EFI_DEVICE_PATH_PROTOCOL *)&FileNode);
  if (DevicePath == NULL) {
    return;
  }

  Status = EfiBootManagerInitializeLoadOption (
             &Option,
             0,
             LoadOptionTypeBoot,
             LOAD_OPTION_ACTIVE,
             NETWORK_BOOT_APPLICATION,
             DevicePath,
             NULL,
             0
             );
  FreePool (DevicePath);
  if (EFI_ERROR (Status)) {
    return;
  }

  Status = EfiBootManagerLoadOptionToVariable (&Option);
  EfiBootManagerFreeLoadOption (&Option);
  if (EFI_ERROR (Status)) {
    DEBUG ((DEBUG_ERROR, "%a: Boot0000 not stored: %r\n", __FUNCTION__, Status));
    return;
  }

  GetEfiGlobalVariable2 (L"BootOrder", (VOID **)&Order, &Size);
  NewOrder = AllocatePool (Size + sizeof (UINT16));
  if (NewOrder == NULL) {
    if (Order != NULL) {
      FreePool (Order);
    }

    return;
  }

  Count           = 0;
  NewOrder[Count++] = 0;
  for (Index = 0; Order != NULL && Index < Size / sizeof (UINT16); Index++) {
    if (Order[Index] != 0) {
      NewOrder[Count++] = Order[Index];
    }
  }

  Status = gRT->SetVariable (
                  L"BootOrder",
                  &gEfiGlobalVariableGuid,
                  EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS,
                  Count * sizeof (UINT16),
                  NewOrder
                  );
  if (EFI_ERROR (Status)) {
    DEBUG ((DEBUG_ERROR, "%a: BootOrder not stored: %r\n", __FUNCTION__, Status));
  }

  FreePool (NewOrder);
  if (Order != NULL) {
    FreePool (Order);
  }
}

/**
  Before the consoles: console variables, the event-log trigger and a
  dispatch of the drivers it wakes.
**/
VOID
EFIAPI
PlatformBootManagerBeforeConsole (
  VOID
  )
{
  EFI_HANDLE  Handle;
  EFI_STATUS  Status;

  AddConsole (&gEfiSimpleTextOutProtocolGuid, FALSE);
  AddConsole (&gEfiSimpleTextInProtocolGuid, TRUE);
  if (HiiAddPackages (&gEfiCallerIdGuid, NULL, &mBoardNamePackage, NULL) == NULL) {
    DEBUG ((DEBUG_ERROR, "%a: the board's HII package was not added\n", __FUNCTION__));
  }

  Handle = NULL;
  Status = gBS->InstallProtocolInterface (&Handle, &gEventLogTriggerProtocolGuid, EFI_NATIVE_INTERFACE, NULL);
  if (EFI_ERROR (Status)) {
    DEBUG ((DEBUG_ERROR, "%a: event-log trigger not installed: %r\n", __FUNCTION__, Status));
  }

  gDS->Dispatch ();

  //
  // Everything the platform itself provides is now there: from here on,
  // images from outside the firmware volumes may be loaded.
  //
  EfiEventGroupSignal (&gEfiEndOfDxeEventGroupGuid);
}

/**
  After the consoles: the network-boot application as Boot0000.
**/
VOID
EFIAPI
PlatformBootManagerAfterConsole (
  VOID
  )
{
  RegisterNetworkBootApplication ();
}

/**
  Called once a second while the boot manager waits: nothing to show.

  @param[in] TimeoutRemain  Seconds left.
**/
VOID
EFIAPI
PlatformBootManagerWaitCallback (
  IN UINT16  TimeoutRemain
  )
{
}

/**
  No boot option booted: the board powers off.
**/
VOID
EFIAPI
PlatformBootManagerUnableToBoot (
  VOID
  )
{
  DEBUG ((DEBUG_ERROR, "%a: no boot option booted; powering off\n", __FUNCTION__));
  gRT->ResetSystem (EfiResetShutdown, EFI_NOT_FOUND, 0, NULL);
}
