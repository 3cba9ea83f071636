/** @file
  Name of the firmware file (FFS) whose raw sections each hold one complete
  ACPI table to be completed from flash data and installed.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef EXTRA_ACPI_TABLE_FILE_GUID_H_
#define EXTRA_ACPI_TABLE_FILE_GUID_H_

#define EXTRA_ACPI_TABLE_FILE_GUID \
  { 0x0871C77C, 0x1CD2, 0x4629, { 0xAF, 0x7F, 0x10, 0x56, 0x11, 0x55, 0xCF, 0xC7 } }

extern EFI_GUID  gExtraAcpiTableFileGuid;

#endif // EXTRA_ACPI_TABLE_FILE_GUID_H_
