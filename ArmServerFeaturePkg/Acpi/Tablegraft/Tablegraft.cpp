/** @file
  Tablegraft: installs the platform's two extra ACPI tables, OSDM and LPBT.

  The tables are compiled into the firmware image, each in a RAW section of
  the firmware file gExtraAcpiTableFileGuid. At dispatch the driver reads the
  sections in instance order (the volume that holds the driver first, then
  every other firmware volume), completes each OSDM or LPBT table with data
  the platform keeps at fixed places of the memory-mapped boot flash, fixes
  its checksum over the header Length and installs it. Sections with any
  other signature are passed over. It stops after two tables.

  - OSDM: bytes 113-240 take the 128-byte platform data block at 0x970000.
  - LPBT: the 9440-byte binary at 0x980000 is copied into a runtime-services
    pool block that the OS takes over (never freed by the firmware);
    BinarySize and BinaryAddress describe it, Arguments takes the 7 bytes at
    0x990000 and ArgumentsLength says 7. Without that block the table is
    installed as compiled ("no binary").

  A table that cannot take its flash data (shorter than the last byte the
  data goes to) or whose header Length runs past its section is refused with
  a message and not installed: patching it would write, and checksumming or
  installing it read, outside the section buffer.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

extern "C" {
#include <Uefi.h>
#include <IndustryStandard/Acpi.h>
#include <Guid/ExtraAcpiTableFile.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DebugLib.h>
#include <Library/DxeServicesLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Protocol/AcpiTable.h>
}

#include <ArmServerBoardMap.h>
#include <LayoutAssert.h>
#include <Library/EdkCpp.h>

namespace {
constexpr UINT32  OSDM_SIGNATURE = SIGNATURE_32 ('O', 'S', 'D', 'M');
constexpr UINT32  LPBT_SIGNATURE = SIGNATURE_32 ('L', 'P', 'B', 'T');

STATIC_ASSERT (OSDM_SIGNATURE == 0x4D44534F, "OSDM as a little-endian UINT32");
STATIC_ASSERT (LPBT_SIGNATURE == 0x5442504C, "LPBT as a little-endian UINT32");

///
/// Tables installed before the driver stops.
///
constexpr UINTN  EXTRA_TABLE_COUNT = 2;

//
// OSDM: the platform data block from flash goes to bytes 113-240.
//
constexpr UINTN  OSDM_FLASH_DATA_OFFSET = 113;
constexpr UINTN  OSDM_FLASH_DATA_SIZE   = BOARD_FLASH_ACPI_DATA0_SIZE;
constexpr UINTN  OSDM_MINIMUM_LENGTH    = OSDM_FLASH_DATA_OFFSET + OSDM_FLASH_DATA_SIZE;

STATIC_ASSERT (OSDM_FLASH_DATA_SIZE == 128, "the OSDM platform data block");
STATIC_ASSERT (OSDM_MINIMUM_LENGTH == 241, "OSDM bytes 113 to 240");

//
// LPBT: the fields after the header that describe the hand-off buffer.
//
#pragma pack(1)
typedef struct {
  EFI_ACPI_DESCRIPTION_HEADER    Header;
  UINT32                         BinarySize;
  UINT64                         BinaryAddress;
  UINT16                         Revision;
  UINT16                         ArgumentsLength;
  UINT8                          Arguments[BOARD_FLASH_ACPI_DATA2_SIZE];
} LPBT_TABLE;
#pragma pack()

constexpr UINT32  LPBT_BINARY_SIZE    = BOARD_FLASH_ACPI_DATA1_SIZE;
constexpr UINT16  LPBT_ARGUMENTS_SIZE = BOARD_FLASH_ACPI_DATA2_SIZE;

STATIC_ASSERT_SIZE (EFI_ACPI_DESCRIPTION_HEADER, 36);
STATIC_ASSERT_OFFSET (EFI_ACPI_DESCRIPTION_HEADER, Length, 4);
STATIC_ASSERT_OFFSET (EFI_ACPI_DESCRIPTION_HEADER, Checksum, 9);
STATIC_ASSERT_OFFSET (LPBT_TABLE, BinarySize, 36);
STATIC_ASSERT_OFFSET (LPBT_TABLE, BinaryAddress, 40);
STATIC_ASSERT_OFFSET (LPBT_TABLE, ArgumentsLength, 50);
STATIC_ASSERT_OFFSET (LPBT_TABLE, Arguments, 52);
STATIC_ASSERT_SIZE (LPBT_TABLE, 59);
STATIC_ASSERT (LPBT_BINARY_SIZE == 9440, "the LPBT hand-off binary");
STATIC_ASSERT (LPBT_ARGUMENTS_SIZE == 7, "the LPBT argument string");

/**
  Tells the signature's name for messages. (constexpr: a release build,
  which has no messages, has no use for it.)

  @param[in]  Signature  OSDM_SIGNATURE or LPBT_SIGNATURE.

  @return "OSDM" or "LPBT".
**/
constexpr
CONST CHAR8 *
ExtraTableName (
  IN UINT32  Signature
  )
{
  return (Signature == OSDM_SIGNATURE) ? "OSDM" : "LPBT";
}
}

///
/// Tables installed in this run.
///
STATIC UINTN  mInstalledTableCount;

/**
  Checks that a recognised table can be completed and installed without
  touching bytes outside its section: the header lies in the section, the
  header Length does not run past the section, and the table reaches the
  last byte its flash data goes to. Prints why a table is refused.

  @param[in]  Section      The section's contents: the table.
  @param[in]  SectionSize  The section's size in bytes.
  @param[in]  Signature    OSDM_SIGNATURE or LPBT_SIGNATURE.

  @retval TRUE   The table can be completed and installed.
  @retval FALSE  The table is refused.
**/
STATIC
BOOLEAN
ExtraTableFits (
  IN CONST UINT8  *Section,
  IN UINTN        SectionSize,
  IN UINT32       Signature
  )
{
  UINT32  Length;
  UINTN   Needed;

  Needed = (Signature == OSDM_SIGNATURE) ? OSDM_MINIMUM_LENGTH : sizeof (LPBT_TABLE);
  Length = 0;
  if (SectionSize >= sizeof (EFI_ACPI_DESCRIPTION_HEADER)) {
    Length = ReadUnaligned32 ((CONST UINT32 *)(Section + OFFSET_OF (EFI_ACPI_DESCRIPTION_HEADER, Length)));
  }

  if ((Length < Needed) || (Length > SectionSize)) {
    DEBUG ((
      DEBUG_ERROR,
      "%a: %a table refused: Length %u in a section of %lu bytes; it needs %lu bytes within its section\n",
      __func__,
      ExtraTableName (Signature),
      Length,
      (UINT64)SectionSize,
      (UINT64)Needed
      ));
    return FALSE;
  }

  return TRUE;
}

/**
  Completes a recognised table with its data from the boot flash.

  OSDM: the 128-byte platform data block at 0x970000 goes to bytes 113-240.
  LPBT: a 9440-byte runtime-services pool block receives the binary at
  0x980000 and Arguments the 7 bytes at 0x990000; BinarySize, BinaryAddress
  and ArgumentsLength then describe them. When the block cannot be allocated
  the table is left as loaded.

  The caller has checked with ExtraTableFits () that the table holds every
  byte written here.

  @param[in,out]  Table          The table, in its section buffer.
  @param[out]     HandOffBuffer  The LPBT hand-off block allocated here, or
                                 NULL when none was.
**/
STATIC
VOID
UpdateAcpiTable (
  IN OUT EFI_ACPI_DESCRIPTION_HEADER  *Table,
  OUT    VOID                         **HandOffBuffer
  )
{
  EFI_STATUS  Status;
  LPBT_TABLE  *Lpbt;
  VOID        *Binary;

  *HandOffBuffer = NULL;

  if (Table->Signature == OSDM_SIGNATURE) {
    DEBUG ((DEBUG_INFO, "%a(),%d,Osdm.asl update\n", __func__, __LINE__));
    DEBUG ((DEBUG_INFO, "Status update OSDM Table\n"));
    CopyMem (
      (UINT8 *)Table + OSDM_FLASH_DATA_OFFSET,
      (CONST VOID *)(UINTN)BOARD_FLASH_ACPI_DATA0_BASE,
      OSDM_FLASH_DATA_SIZE
      );
    return;
  }

  DEBUG ((DEBUG_INFO, "%a(),%d,Lpbt.asl update\n", __func__, __LINE__));
  DEBUG ((DEBUG_INFO, "Status Update LPBT Table\n"));

  //
  // The binary must outlive boot services: the OS takes it over from
  // runtime-services memory, which the firmware never frees.
  //
  Binary = NULL;
  Status = gBS->AllocatePool (EfiRuntimeServicesData, LPBT_BINARY_SIZE, &Binary);
  if (EFI_ERROR (Status) || (Binary == NULL)) {
    DEBUG ((DEBUG_INFO, "for LPBT Bin AllocatePool fail\n"));
    return;
  }

  //
  // Plain reads of the memory-mapped flash, which cannot fail.
  //
  Lpbt = (LPBT_TABLE *)Table;
  CopyMem (Binary, (CONST VOID *)(UINTN)BOARD_FLASH_ACPI_DATA1_BASE, LPBT_BINARY_SIZE);
  CopyMem (Lpbt->Arguments, (CONST VOID *)(UINTN)BOARD_FLASH_ACPI_DATA2_BASE, LPBT_ARGUMENTS_SIZE);

  Lpbt->BinarySize      = LPBT_BINARY_SIZE;
  Lpbt->BinaryAddress   = (UINT64)(UINTN)Binary;
  Lpbt->ArgumentsLength = LPBT_ARGUMENTS_SIZE;
  *HandOffBuffer        = Binary;
}

/**
  Completes, checksums and installs one recognised table held in a section
  buffer, and counts it. A failed install still counts (the count, not the
  set of tables, ends the search); it is reported, and an LPBT hand-off block
  that no installed table points to is freed.

  @param[in]  AcpiTable    The ACPI table protocol.
  @param[in]  Table        The table, in its section buffer.
**/
STATIC
VOID
InstallExtraTable (
  IN EFI_ACPI_TABLE_PROTOCOL      *AcpiTable,
  IN EFI_ACPI_DESCRIPTION_HEADER  *Table
  )
{
  EFI_STATUS  Status;
  VOID        *HandOffBuffer;
  UINTN       TableKey;
  UINT32      Signature;

  Signature = Table->Signature;
  UpdateAcpiTable (Table, &HandOffBuffer);

  Table->Checksum = 0;
  Table->Checksum = CalculateCheckSum8 ((CONST UINT8 *)Table, Table->Length);

  TableKey = 0;
  Status   = AcpiTable->InstallAcpiTable (AcpiTable, Table, Table->Length, &TableKey);
  if (EFI_ERROR (Status)) {
    DEBUG ((DEBUG_ERROR, "%a: InstallAcpiTable (%a) - %r\n", __func__, ExtraTableName (Signature), Status));
    if (HandOffBuffer != NULL) {
      gBS->FreePool (HandOffBuffer);
    }
  }

  DEBUG ((DEBUG_INFO, "Load qx acpi node\n"));
  mInstalledTableCount++;
}

/**
  Driver entry: installs the OSDM and LPBT tables found in the RAW sections
  of the extra-ACPI-table file.

  @param[in]  ImageHandle  The image handle of the driver.
  @param[in]  SystemTable  The EFI system table.

  @retval EFI_SUCCESS  Two tables were handed to the ACPI table protocol.
  @retval EFI_ABORTED  There is no ACPI table protocol; nothing was read.
  @retval Others       The section search failed before two tables were
                       found (EFI_NOT_FOUND: no further section); the tables
                       installed before stay installed.
**/
extern "C"
EFI_STATUS
EFIAPI
TablegraftEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS               Status;
  EFI_ACPI_TABLE_PROTOCOL  *AcpiTable;
  UINTN                    Instance;
  VOID                     *Section;
  UINTN                    SectionSize;
  UINT32                   Signature;

  mInstalledTableCount = 0;
  DEBUG ((DEBUG_INFO, "enter load qx acpi node\n"));

  AcpiTable = NULL;
  Status    = gBS->LocateProtocol (&gEfiAcpiTableProtocolGuid, NULL, (VOID **)&AcpiTable);
  if (EFI_ERROR (Status) || (AcpiTable == NULL)) {
    return EFI_ABORTED;
  }

  for (Instance = 0; mInstalledTableCount < EXTRA_TABLE_COUNT; Instance++) {
    Section     = NULL;
    SectionSize = 0;
    Status      = GetSectionFromAnyFv (&gExtraAcpiTableFileGuid, EFI_SECTION_RAW, Instance, &Section, &SectionSize);
    if (EFI_ERROR (Status)) {
      return Status;
    }

    //
    // The protocol keeps its own copy of an installed table; the section
    // buffer goes back to the pool in every case.
    //
    POOL_BUFFER<UINT8>  Buffer (static_cast<UINT8 *>(Section));

    if (SectionSize < sizeof (Signature)) {
      continue;
    }

    Signature = ReadUnaligned32 ((CONST UINT32 *)Buffer.Get ());
    if ((Signature != OSDM_SIGNATURE) && (Signature != LPBT_SIGNATURE)) {
      continue;
    }

    if (!ExtraTableFits (Buffer.Get (), SectionSize, Signature)) {
      continue;
    }

    InstallExtraTable (AcpiTable, (EFI_ACPI_DESCRIPTION_HEADER *)Buffer.Get ());
  }

  DEBUG ((DEBUG_INFO, "exit load qx acpi node\n"));
  return EFI_SUCCESS;
}
