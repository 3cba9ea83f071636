/** @file
  Wirelaunch: the network boot application.

  The application builds no device path of its own. It reads BootOrder and,
  in that order, each Boot#### load option; an active option whose device
  path holds a messaging MAC-address node is a network option. For each one
  it shows "Boot From Network" on the top line of a cleared screen and hands
  the option's whole file path list to LoadImage with BootPolicy TRUE: the
  firmware then finds the Load File protocol of that network interface,
  which downloads the network boot program. What was loaded is started; when
  it returns, or when nothing could be loaded, the next network option is
  tried. The result is the outcome of the last active option examined:

    EFI_SUCCESS            a network option that loaded (and returned)
    the LoadImage error    a network option that did not load
    EFI_UNSUPPORTED        an active option that is not a network option, or
                           no active option at all
    EFI_INVALID_PARAMETER  BootOrder cannot be read

  Load options are variables anyone can write, so they are never trusted:
  the description must end inside the variable, and the device path is
  walked only inside the variable and inside FilePathListLength; a node
  shorter than its own header, a node running past that bound, or a path
  with no end node makes the option "not a network option". An option
  shorter than its fixed header is treated the same way.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

extern "C" {
#include <Uefi.h>
#include <Guid/GlobalVariable.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DebugLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/PrintLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
#include <Protocol/DevicePath.h>
}

#include <LayoutAssert.h>
#include <Library/EdkCpp.h>

namespace {
//
// EFI_LOAD_OPTION: Attributes (UINT32), FilePathListLength (UINT16), then
// the NUL-terminated CHAR16 description, then the file path list. The
// fields are packed, so they are read byte-wise.
//
constexpr UINTN  LOAD_OPTION_ATTRIBUTES_OFFSET  = 0;
constexpr UINTN  LOAD_OPTION_PATH_LENGTH_OFFSET = 4;
constexpr UINTN  LOAD_OPTION_DESCRIPTION_OFFSET = 6;

//
// The option name "Boot####": eight characters and a NUL in a zeroed
// 10-character buffer.
//
constexpr UINTN  BOOT_OPTION_NAME_CHARS = 10;

//
// The first line of the screen is blanked with this many spaces before the
// banner is written over it.
//
constexpr UINTN  BANNER_BLANK_WIDTH = 22;

STATIC_ASSERT (sizeof (EFI_DEVICE_PATH_PROTOCOL) == 4, "a device-path node header is Type, SubType, Length[2]");
STATIC_ASSERT (sizeof (CHAR16) == 2, "descriptions are UCS-2");

/**
  What the walk of one load option found.
**/
enum class OPTION_KIND {
  Network,      ///< Well formed, with a MAC-address node before its end.
  NotNetwork    ///< Well formed without a MAC node, or malformed.
};

/**
  Reads a little-endian 16-bit value at an arbitrary byte position.

  @param[in]  Bytes  Where the value starts.

  @return The value.
**/
UINT16
ReadLe16 (
  IN CONST UINT8  *Bytes
  )
{
  return (UINT16)(Bytes[0] | (Bytes[1] << 8));
}

/**
  Finds the file path list of a load option and tells whether the option is
  a network option.

  The description is scanned for its terminating NUL inside the variable.
  The path is walked node by node, never beyond the end of the variable nor
  beyond FilePathListLength bytes after the description. End-of-instance
  nodes are stepped over like any other node, so every instance of a
  multi-instance path is searched. The walk goes on to the end-of-entire-path
  node even after a MAC node, so that only a path the firmware can walk
  safely is handed to LoadImage.

  @param[in]   Option      The load option (the variable's contents).
  @param[in]   OptionSize  Its size in bytes.
  @param[out]  FilePath    The start of the file path list when the option
                           is a network option; NULL otherwise.

  @retval OPTION_KIND::Network     A MAC-address node lies before the end
                                   node, and the path is well formed.
  @retval OPTION_KIND::NotNetwork  No MAC node, or the option is malformed
                                   (truncated, unterminated description,
                                   node Length below 4 or past the bound, no
                                   end node).
**/
OPTION_KIND
ClassifyLoadOption (
  IN  CONST UINT8               *Option,
  IN  UINTN                     OptionSize,
  OUT EFI_DEVICE_PATH_PROTOCOL  **FilePath
  )
{
  UINTN    Offset;
  UINTN    PathStart;
  UINTN    PathEnd;
  UINT16   NodeLength;
  BOOLEAN  SawMac;

  *FilePath = NULL;
  if (OptionSize < LOAD_OPTION_DESCRIPTION_OFFSET) {
    return OPTION_KIND::NotNetwork;
  }

  //
  // The description ends at the first NUL character; it must end inside the
  // variable.
  //
  Offset = LOAD_OPTION_DESCRIPTION_OFFSET;
  for ( ; ; ) {
    if (OptionSize - Offset < sizeof (CHAR16)) {
      return OPTION_KIND::NotNetwork;
    }

    if (ReadLe16 (Option + Offset) == 0) {
      break;
    }

    Offset += sizeof (CHAR16);
  }

  PathStart = Offset + sizeof (CHAR16);
  PathEnd   = PathStart + ReadLe16 (Option + LOAD_OPTION_PATH_LENGTH_OFFSET);
  if (PathEnd > OptionSize) {
    PathEnd = OptionSize;
  }

  SawMac = FALSE;
  for (Offset = PathStart; PathEnd - Offset >= sizeof (EFI_DEVICE_PATH_PROTOCOL); ) {
    NodeLength = ReadLe16 (Option + Offset + 2);
    if ((NodeLength < sizeof (EFI_DEVICE_PATH_PROTOCOL)) || (NodeLength > PathEnd - Offset)) {
      return OPTION_KIND::NotNetwork;
    }

    if ((Option[Offset] == END_DEVICE_PATH_TYPE) && (Option[Offset + 1] == END_ENTIRE_DEVICE_PATH_SUBTYPE)) {
      if (!SawMac) {
        return OPTION_KIND::NotNetwork;
      }

      *FilePath = (EFI_DEVICE_PATH_PROTOCOL *)(Option + PathStart);
      return OPTION_KIND::Network;
    }

    if ((Option[Offset] == MESSAGING_DEVICE_PATH) && (Option[Offset + 1] == MSG_MAC_ADDR_DP)) {
      SawMac = TRUE;
    }

    Offset += NodeLength;
  }

  //
  // The bound was reached without an end-of-entire-path node.
  //
  return OPTION_KIND::NotNetwork;
}

/**
  Clears the screen and shows the network-boot banner on its top line. The
  statuses of the console calls are not examined: the banner is only a
  courtesy to whoever watches the screen.
**/
VOID
ShowBanner (
  VOID
  )
{
  CHAR16  Blank[BANNER_BLANK_WIDTH + 3];
  UINTN   Index;

  for (Index = 0; Index < BANNER_BLANK_WIDTH; Index++) {
    Blank[Index] = u' ';
  }

  Blank[BANNER_BLANK_WIDTH]     = u'\n';
  Blank[BANNER_BLANK_WIDTH + 1] = u'\r';
  Blank[BANNER_BLANK_WIDTH + 2] = u'\0';

  gST->ConOut->ClearScreen (gST->ConOut);
  gST->ConOut->SetCursorPosition (gST->ConOut, 0, 0);
  gST->ConOut->OutputString (gST->ConOut, Blank);
  gST->ConOut->SetCursorPosition (gST->ConOut, 0, 0);
  gST->ConOut->OutputString (gST->ConOut, (CHAR16 *)u"Boot From Network\n\r");
}

/**
  Loads the network boot program through one option's device path and
  starts it.

  @param[in]  ImageHandle  The application's image handle (the parent).
  @param[in]  FilePath     The option's whole file path list.

  @retval EFI_SUCCESS  The program was loaded (and started, and returned),
                       or LoadImage succeeded without an image handle.
  @retval Others       The status of LoadImage; a program refused with
                       EFI_SECURITY_VIOLATION has been unloaded again.
**/
EFI_STATUS
BootNetworkOption (
  IN EFI_HANDLE                ImageHandle,
  IN EFI_DEVICE_PATH_PROTOCOL  *FilePath
  )
{
  EFI_STATUS  Status;
  EFI_HANDLE  LoadedHandle;
  UINTN       ExitDataSize;
  CHAR16      *ExitData;

  ShowBanner ();

  LoadedHandle = NULL;
  Status       = gBS->LoadImage (TRUE, ImageHandle, FilePath, NULL, 0, &LoadedHandle);
  if ((Status == EFI_SECURITY_VIOLATION) && (LoadedHandle != NULL)) {
    //
    // The platform's security policy let the program load but forbids
    // starting it: unload it rather than leave it resident, and report the
    // refusal like any other load failure.
    //
    gBS->UnloadImage (LoadedHandle);
    return Status;
  }

  if (EFI_ERROR (Status) || (LoadedHandle == NULL)) {
    return Status;
  }

  //
  // Whatever the started program returns, the next option is tried; its
  // status is not passed on. Exit data handed back by StartImage is a pool
  // buffer that now belongs to this caller, so it is released here.
  //
  ExitDataSize = 0;
  ExitData     = NULL;
  gBS->StartImage (LoadedHandle, &ExitDataSize, &ExitData);
  if (ExitData != NULL) {
    gBS->FreePool (ExitData);
  }

  return Status;
}
}

/**
  Application entry: tries every active network boot option in BootOrder
  order.

  @param[in]  ImageHandle  The image handle of the application.
  @param[in]  SystemTable  The EFI system table.

  @retval EFI_SUCCESS            The last active option examined was a network
                                 option that loaded.
  @retval EFI_UNSUPPORTED        The last active option examined was not a
                                 network option, or no option was active.
  @retval EFI_INVALID_PARAMETER  BootOrder cannot be read.
  @retval Others                 The LoadImage status of the last active
                                 option examined.
**/
extern "C"
EFI_STATUS
EFIAPI
WirelaunchEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS                Status;
  EFI_STATUS                Result;
  UINT16                    *BootOrder;
  UINTN                     BootOrderSize;
  UINTN                     BootOrderCount;
  UINTN                     Index;
  UINT8                     *Option;
  UINTN                     OptionSize;
  CHAR16                    OptionName[BOOT_OPTION_NAME_CHARS];
  EFI_DEVICE_PATH_PROTOCOL  *FilePath;

  ZeroMem (OptionName, sizeof (OptionName));

  BootOrder     = NULL;
  BootOrderSize = 0;
  Status        = GetEfiGlobalVariable2 ((CONST CHAR16 *)u"BootOrder", (VOID **)&BootOrder, &BootOrderSize);
  if (EFI_ERROR (Status) || (BootOrder == NULL)) {
    DEBUG ((DEBUG_ERROR, "BootOrder == NULL!!!!!!: "));
    return EFI_INVALID_PARAMETER;
  }

  //
  // A trailing odd byte is no entry. The counter is as wide as the count,
  // so even an absurdly long BootOrder ends.
  //
  BootOrderCount = BootOrderSize / sizeof (UINT16);
  Result         = EFI_UNSUPPORTED;
  Option         = NULL;

  for (Index = 0; Index < BootOrderCount; Index++) {
    UnicodeSPrint (OptionName, sizeof (OptionName), (CONST CHAR16 *)u"Boot%04X", (UINT32)BootOrder[Index]);

    if (Option != NULL) {
      FreePool (Option);
      Option = NULL;
    }

    OptionSize = 0;
    Status     = GetEfiGlobalVariable2 (OptionName, (VOID **)&Option, &OptionSize);
    if (EFI_ERROR (Status) || (Option == NULL)) {
      continue;
    }

    if ((OptionSize >= sizeof (UINT32)) &&
        ((ReadUnaligned32 ((CONST UINT32 *)(Option + LOAD_OPTION_ATTRIBUTES_OFFSET)) & LOAD_OPTION_ACTIVE) == 0))
    {
      continue;
    }

    if (ClassifyLoadOption (Option, OptionSize, &FilePath) != OPTION_KIND::Network) {
      Result = EFI_UNSUPPORTED;
      continue;
    }

    Result = BootNetworkOption (ImageHandle, FilePath);
  }

  if (Option != NULL) {
    FreePool (Option);
  }

  FreePool (BootOrder);
  return Result;
}
