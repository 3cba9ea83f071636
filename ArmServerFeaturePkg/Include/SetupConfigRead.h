/** @file
  The one read of the SystemSetupConfig setup variable that every module of
  this package uses, and the test of whether a stored record reaches a byte.

  The record is read with gRT->GetVariable: no attributes pointer, DataSize
  the full 184-byte record, into a buffer cleared first. A stored record
  larger than that fails with EFI_BUFFER_TOO_SMALL; a shorter one reads
  without error and leaves the bytes past its end 0. What a byte the stored
  record does not reach means is each module's own rule, made with
  SetupByteStored () on the size the read returns.

  C++ only; include it after the extern "C" block of EDK II headers.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef SETUP_CONFIG_READ_H_
#define SETUP_CONFIG_READ_H_

extern "C" {
#include <Uefi.h>
#include <Guid/SetupVariables.h>
#include <Library/BaseMemoryLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
}

/**
  Reads SystemSetupConfig into a cleared record.

  @param[out]  SetupConfig  The record: the stored bytes, then zeros up to its
                            full size. Cleared even when the read fails.
  @param[out]  StoredSize   The number of bytes read; 0 when the read fails.

  @return The status of gRT->GetVariable ().
**/
inline
EFI_STATUS
ReadSystemSetupConfig (
  OUT SYSTEM_SETUP_CONFIG  *SetupConfig,
  OUT UINTN                *StoredSize
  )
{
  EFI_STATUS  Status;
  UINTN       DataSize;

  ZeroMem (SetupConfig, SYSTEM_SETUP_CONFIG_SIZE);
  DataSize = SYSTEM_SETUP_CONFIG_SIZE;
  Status   = gRT->GetVariable (
                    SYSTEM_SETUP_CONFIG_VARIABLE_NAME,
                    &gSystemSetupConfigGuid,
                    NULL,
                    &DataSize,
                    SetupConfig
                    );
  *StoredSize = EFI_ERROR (Status) ? 0 : DataSize;
  return Status;
}

/**
  Tells whether a stored record of StoredSize bytes holds the byte at Offset.

  @param[in]  StoredSize  The size ReadSystemSetupConfig () returned.
  @param[in]  Offset      The byte's offset in the record.

  @retval TRUE   The byte was stored.
  @retval FALSE  The record ends before it.
**/
constexpr
BOOLEAN
SetupByteStored (
  IN UINTN  StoredSize,
  IN UINTN  Offset
  )
{
  return (BOOLEAN)(StoredSize > Offset);
}

#endif // SETUP_CONFIG_READ_H_
