/** @file
  A test-only parser with a planted fault. The "PlantedRecord" variable holds
  records of a type byte, a length byte and that many payload bytes; each
  payload is copied into a pool buffer of its length. For the text record
  type the copy also writes a terminator, one byte past the buffer: the
  off-by-one the fuzz harness must find.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

extern "C" {
#include <Uefi.h>
#include <Library/DebugLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
}

#include <Library/EdkCpp.h>

namespace {
constexpr UINT8  RECORD_TYPE_TEXT = 0x7E;
constexpr UINTN  RECORD_MAX       = 512;
}

/**
  Driver entry: parses the PlantedRecord variable record by record.

  @param[in]  ImageHandle  The image handle of the driver.
  @param[in]  SystemTable  The EFI system table.

  @retval EFI_SUCCESS  Always.
**/
extern "C"
EFI_STATUS
EFIAPI
PlantedOverrunEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  UINT8       Data[RECORD_MAX];
  UINTN       DataSize;
  UINTN       Offset;
  UINTN       Length;
  UINTN       Index;
  UINT8       *Copy;
  UINTN       Records;
  EFI_STATUS  Status;

  DataSize = sizeof (Data);
  Status   = gRT->GetVariable ((CHAR16 *)u"PlantedRecord", &gPlantedRecordVariableGuid, NULL, &DataSize, Data);
  if (EFI_ERROR (Status)) {
    return EFI_SUCCESS;
  }

  Records = 0;
  for (Offset = 0; Offset + 2 <= DataSize; Offset += 2 + Length) {
    Length = Data[Offset + 1];
    if ((Length == 0) || (Offset + 2 + Length > DataSize)) {
      break;
    }

    Copy = (UINT8 *)AllocatePool (Length);
    if (Copy == NULL) {
      break;
    }

    for (Index = 0; Index < Length; Index++) {
      Copy[Index] = Data[Offset + 2 + Index];
    }

    if (Data[Offset] == RECORD_TYPE_TEXT) {
      Copy[Length] = 0;   // the planted fault: one byte past the buffer
    }

    FreePool (Copy);
    Records++;
  }

  DEBUG ((DEBUG_INFO, "PlantedOverrun: %u records\n", (UINT32)Records));
  return EFI_SUCCESS;
}
