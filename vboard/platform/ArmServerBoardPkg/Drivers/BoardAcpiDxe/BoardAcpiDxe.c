/** @file
  Installs the platform's own ACPI tables that the board hands over.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <PiDxe.h>

#include <IndustryStandard/Acpi.h>
#include <Library/DebugLib.h>
#include <Library/HobLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Protocol/AcpiTable.h>

extern EFI_GUID  gArmServerBoardAcpiTablesHobGuid;

/**
  Installs every table of the board's list, in order.

  @return EFI_SUCCESS (also with no list), EFI_VOLUME_CORRUPTED for a table
          that does not fit the list, or the first install error.
**/
EFI_STATUS
EFIAPI
BoardAcpiDxeInitialize (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_HOB_GUID_TYPE            *Hob;
  EFI_ACPI_TABLE_PROTOCOL      *AcpiTable;
  EFI_ACPI_DESCRIPTION_HEADER  *Table;
  UINT8                        *At;
  UINTN                        Left;
  UINTN                        Key;
  EFI_STATUS                   Status;

  Hob = GetFirstGuidHob (&gArmServerBoardAcpiTablesHobGuid);
  if (Hob == NULL) {
    return EFI_SUCCESS;
  }

  Status = gBS->LocateProtocol (&gEfiAcpiTableProtocolGuid, NULL, (VOID **)&AcpiTable);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  At   = GET_GUID_HOB_DATA (Hob);
  Left = GET_GUID_HOB_DATA_SIZE (Hob);
  while (Left >= sizeof (EFI_ACPI_DESCRIPTION_HEADER)) {
    Table = (EFI_ACPI_DESCRIPTION_HEADER *)At;
    if (Table->Signature == 0) {
      break;    // the HOB's padding
    }

    if ((Table->Length < sizeof (EFI_ACPI_DESCRIPTION_HEADER)) || (Table->Length > Left)) {
      DEBUG ((DEBUG_ERROR, "BoardAcpiDxe: a table of the list is corrupt\n"));
      return EFI_VOLUME_CORRUPTED;
    }

    Status = AcpiTable->InstallAcpiTable (AcpiTable, Table, Table->Length, &Key);
    if (EFI_ERROR (Status)) {
      DEBUG ((DEBUG_ERROR, "BoardAcpiDxe: table %-4.4a not installed: %r\n", (CHAR8 *)&Table->Signature, Status));
      return Status;
    }

    At   += Table->Length;
    Left -= Table->Length;
  }

  return EFI_SUCCESS;
}
