/** @file
  DebugPrintErrorLevelLib instance driven by EFI_DEBUG_MASK_PROTOCOL.

  At image start the constructor looks for the platform's debug-mask
  protocol; if there is one, the module's mask is what its GetDebugMask
  member reports, otherwise it is PcdDebugPrintErrorLevel. Until the
  constructor has run (library constructors that print before it), the PCD
  value applies.

  This library deliberately uses no DebugLib services: the DebugLib calls
  GetDebugPrintErrorLevel () for every message.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

extern "C" {
#include <Uefi.h>
#include <Guid/DebugMask.h>
#include <Library/DebugPrintErrorLevelLib.h>
#include <Library/PcdLib.h>
#include <Library/UefiBootServicesTableLib.h>
}

///
/// The module's current debug print error-level mask.
///
STATIC UINT32  mDebugPrintErrorLevel = FixedPcdGet32 (PcdDebugPrintErrorLevel);

/**
  Takes the debug mask from EFI_DEBUG_MASK_PROTOCOL when it is installed.

  @param[in]  ImageHandle  The image handle of the module.
  @param[in]  SystemTable  The EFI system table.

  @retval EFI_SUCCESS  Always; without the protocol (or when it fails) the
                       mask stays PcdDebugPrintErrorLevel.
**/
extern "C"
EFI_STATUS
EFIAPI
DebugMaskErrorLevelLibConstructor (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS               Status;
  EFI_DEBUG_MASK_PROTOCOL  *DebugMask;
  UINTN                    Mask;

  DebugMask = NULL;
  Status    = gBS->LocateProtocol (&gEfiDebugMaskProtocolGuid, NULL, (VOID **)&DebugMask);
  if (EFI_ERROR (Status) || (DebugMask == NULL) || (DebugMask->GetDebugMask == NULL)) {
    return EFI_SUCCESS;
  }

  Mask   = mDebugPrintErrorLevel;
  Status = DebugMask->GetDebugMask (DebugMask, &Mask);
  if (!EFI_ERROR (Status)) {
    mDebugPrintErrorLevel = (UINT32)Mask;
  }

  return EFI_SUCCESS;
}

/**
  @return The module's current debug print error-level mask.
**/
UINT32
EFIAPI
GetDebugPrintErrorLevel (
  VOID
  )
{
  return mDebugPrintErrorLevel;
}

/**
  Replaces the module's debug print error-level mask.

  @param[in]  ErrorLevel  The new mask.

  @retval TRUE  Always.
**/
BOOLEAN
EFIAPI
SetDebugPrintErrorLevel (
  UINT32  ErrorLevel
  )
{
  mDebugPrintErrorLevel = ErrorLevel;
  return TRUE;
}
