/** @file
  Reset and power-off through PSCI over SMC.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <PiDxe.h>

#include <IndustryStandard/ArmStdSmc.h>
#include <Library/ArmSmcLib.h>
#include <Library/BaseLib.h>
#include <Library/DebugLib.h>
#include <Library/ResetSystemLib.h>

/**
  Makes one PSCI call that does not return, and dead-loops if it does.

  @param[in] Function  The PSCI function.
**/
STATIC
VOID
PsciCall (
  IN UINTN  Function
  )
{
  ARM_SMC_ARGS  Args;

  Args.Arg0 = Function;
  ArmCallSmc (&Args);
  DEBUG ((DEBUG_ERROR, "PSCI function 0x%lx returned\n", (UINT64)Function));
  CpuDeadLoop ();
}

/**
  Cold reset: PSCI SYSTEM_RESET.
**/
VOID
EFIAPI
ResetCold (
  VOID
  )
{
  PsciCall (ARM_SMC_ID_PSCI_SYSTEM_RESET);
}

/**
  Warm reset: the board has none of its own, so a system reset.
**/
VOID
EFIAPI
ResetWarm (
  VOID
  )
{
  ResetCold ();
}

/**
  Power off: PSCI SYSTEM_OFF.
**/
VOID
EFIAPI
ResetShutdown (
  VOID
  )
{
  PsciCall (ARM_SMC_ID_PSCI_SYSTEM_OFF);
}

/**
  A platform-specific reset: a system reset.

  @param[in] DataSize  Size of ResetData.
  @param[in] ResetData The reset's data.
**/
VOID
EFIAPI
ResetPlatformSpecific (
  IN UINTN  DataSize,
  IN VOID   *ResetData
  )
{
  ResetCold ();
}

/**
  Resets or powers off the system as ResetType asks.

  @param[in] ResetType    The kind of reset.
  @param[in] ResetStatus  Why.
  @param[in] DataSize     Size of ResetData.
  @param[in] ResetData    The reset's data.
**/
VOID
EFIAPI
ResetSystem (
  IN EFI_RESET_TYPE  ResetType,
  IN EFI_STATUS      ResetStatus,
  IN UINTN           DataSize,
  IN VOID            *ResetData OPTIONAL
  )
{
  switch (ResetType) {
    case EfiResetWarm:
      ResetWarm ();
      break;
    case EfiResetShutdown:
      ResetShutdown ();
      break;
    case EfiResetPlatformSpecific:
      ResetPlatformSpecific (DataSize, ResetData);
      break;
    default:
      ResetCold ();
      break;
  }
}
