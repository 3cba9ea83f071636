/** @file
  NetBootProbe: a network boot program for the tests.

  It prints, on the console:

    NetBootProbe: ran
    NetBootProbe: device <text of its loaded image's device handle path>
    NetBootProbe: parent <text of its parent image's file path>

  and then ends as the one-byte variable "NetBootProbeMode"
  (gNetBootProbeVariableGuid) says:

    absent  ResetSystem (EfiResetShutdown): the machine powers off
    1       returns EFI_SUCCESS
    2       Exit (EFI_ABORTED) with exit data "NetBootProbe gave up"
    3       returns EFI_DEVICE_ERROR

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

extern "C" {
#include <Uefi.h>
#include <Library/DevicePathLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
#include <Protocol/LoadedImage.h>
}

#include <Library/EdkCpp.h>

namespace {
/**
  Prints one line naming a device path, or "(none)".

  @param[in]  What  The label.
  @param[in]  Path  The device path, or NULL.
**/
VOID
PrintPath (
  IN CONST CHAR16              *What,
  IN EFI_DEVICE_PATH_PROTOCOL  *Path
  )
{
  CHAR16  *Text;

  Text = (Path != NULL) ? ConvertDevicePathToText (Path, FALSE, FALSE) : NULL;
  Print ((CONST CHAR16 *)u"NetBootProbe: %s %s\n", What, (Text != NULL) ? Text : (CONST CHAR16 *)u"(none)");
  if (Text != NULL) {
    FreePool (Text);
  }
}
}

/**
  Application entry: reports and ends as the mode variable says.

  @param[in]  ImageHandle  The image handle of the probe.
  @param[in]  SystemTable  The EFI system table.

  @retval EFI_SUCCESS       Mode 1.
  @retval EFI_DEVICE_ERROR  Mode 3.
  @retval EFI_ABORTED       Mode 2 (through Exit), or any other mode.
**/
extern "C"
EFI_STATUS
EFIAPI
NetBootProbeMain (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_LOADED_IMAGE_PROTOCOL  *Self;
  EFI_LOADED_IMAGE_PROTOCOL  *Parent;
  EFI_DEVICE_PATH_PROTOCOL   *DevicePath;
  EFI_STATUS                 Status;
  UINT8                      Mode;
  UINTN                      Size;
  CHAR16                     *ExitData;
  STATIC CONST char16_t      Reason[] = u"NetBootProbe gave up";

  Print ((CONST CHAR16 *)u"NetBootProbe: ran\n");

  Status = gBS->HandleProtocol (ImageHandle, &gEfiLoadedImageProtocolGuid, (VOID **)&Self);
  if (!EFI_ERROR (Status)) {
    DevicePath = NULL;
    gBS->HandleProtocol (Self->DeviceHandle, &gEfiDevicePathProtocolGuid, (VOID **)&DevicePath);
    PrintPath ((CONST CHAR16 *)u"device", DevicePath);
    Parent = NULL;
    if (Self->ParentHandle != NULL) {
      gBS->HandleProtocol (Self->ParentHandle, &gEfiLoadedImageProtocolGuid, (VOID **)&Parent);
    }

    PrintPath ((CONST CHAR16 *)u"parent", (Parent != NULL) ? Parent->FilePath : NULL);
  }

  Mode   = 0;
  Size   = sizeof (Mode);
  Status = gRT->GetVariable ((CHAR16 *)u"NetBootProbeMode", &gNetBootProbeVariableGuid, NULL, &Size, &Mode);
  if (EFI_ERROR (Status)) {
    Print ((CONST CHAR16 *)u"NetBootProbe: powering off\n");
    gRT->ResetSystem (EfiResetShutdown, EFI_SUCCESS, 0, NULL);
    return EFI_ABORTED;
  }

  switch (Mode) {
    case 1:
      return EFI_SUCCESS;

    case 2:
      ExitData = (CHAR16 *)AllocateCopyPool (sizeof (Reason), Reason);
      gBS->Exit (ImageHandle, EFI_ABORTED, (ExitData != NULL) ? sizeof (Reason) : 0, ExitData);
      return EFI_ABORTED;

    case 3:
      return EFI_DEVICE_ERROR;

    default:
      return EFI_ABORTED;
  }
}
