/** @file
  Serialnote: makes the ACPI SPCR table agree with the console-redirection
  policy before the OS loader starts.

  The platform's ACPI code installs the Serial Port Console Redirection
  table. At the first ReadyToBoot signal this driver finds the first
  installed SPCR table and either removes it (no policy is published, or the
  policy's SpcrEnable is 0) or rewrites its serial-line fields in place from
  the policy and fixes its checksum. The SDT protocol hands out the installed
  copy itself, so the OS sees the patched bytes; the table keeps its address
  and length, so the XSDT entry that points to it stays valid.

  Only fields that lie inside the table's Length are written, and the
  checksum covers Length bytes, so a table shorter than the 80-byte layout is
  never written past its end. A terminal type the policy cannot name leaves
  the table's Terminal Type as installed.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

extern "C" {
#include <Uefi.h>
#include <Guid/SetupVariables.h>
#include <IndustryStandard/SerialPortConsoleRedirectionTable.h>
#include <Library/BaseLib.h>
#include <Library/DebugLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
#include <Protocol/AcpiSystemDescriptionTable.h>
#include <Protocol/AcpiTable.h>
#include <Protocol/ConsoleRedirectionPolicy.h>
}

#include <LayoutAssert.h>
#include <Library/EdkCpp.h>

namespace {
typedef EFI_ACPI_SERIAL_PORT_CONSOLE_REDIRECTION_TABLE  SPCR_TABLE;

constexpr UINT32  SPCR_SIGNATURE = SIGNATURE_32 ('S', 'P', 'C', 'R');

//
// Byte offsets of the fields written, from the start of the table. They are
// those of the 80-byte layout of SPCR revisions 1 and 2, which later
// revisions keep.
//
constexpr UINTN  SPCR_CHECKSUM_OFFSET      = OFFSET_OF (EFI_ACPI_DESCRIPTION_HEADER, Checksum);
constexpr UINTN  SPCR_LENGTH_OFFSET        = OFFSET_OF (EFI_ACPI_DESCRIPTION_HEADER, Length);
constexpr UINTN  SPCR_BASE_ADDRESS_OFFSET  = OFFSET_OF (SPCR_TABLE, BaseAddress) +
                                             OFFSET_OF (EFI_ACPI_5_0_GENERIC_ADDRESS_STRUCTURE, Address);
constexpr UINTN  SPCR_IRQ_OFFSET           = OFFSET_OF (SPCR_TABLE, Irq);
constexpr UINTN  SPCR_BAUD_RATE_OFFSET     = OFFSET_OF (SPCR_TABLE, BaudRate);
constexpr UINTN  SPCR_PARITY_OFFSET        = OFFSET_OF (SPCR_TABLE, Parity);
constexpr UINTN  SPCR_STOP_BITS_OFFSET     = OFFSET_OF (SPCR_TABLE, StopBits);
constexpr UINTN  SPCR_TERMINAL_TYPE_OFFSET = OFFSET_OF (SPCR_TABLE, TerminalType);
constexpr UINTN  SPCR_PCI_BUS_OFFSET       = OFFSET_OF (SPCR_TABLE, PciBusNumber);
constexpr UINTN  SPCR_PCI_DEVICE_OFFSET    = OFFSET_OF (SPCR_TABLE, PciDeviceNumber);
constexpr UINTN  SPCR_PCI_FUNCTION_OFFSET  = OFFSET_OF (SPCR_TABLE, PciFunctionNumber);

STATIC_ASSERT (sizeof (SPCR_TABLE) == 80, "SPCR revision 2 is 80 bytes");
STATIC_ASSERT (SPCR_CHECKSUM_OFFSET == 9, "header Checksum");
STATIC_ASSERT (SPCR_LENGTH_OFFSET == 4, "header Length");
STATIC_ASSERT (SPCR_BASE_ADDRESS_OFFSET == 44, "Base Address.Address");
STATIC_ASSERT (SPCR_IRQ_OFFSET == 53, "IRQ");
STATIC_ASSERT (SPCR_BAUD_RATE_OFFSET == 58, "Baud Rate");
STATIC_ASSERT (SPCR_PARITY_OFFSET == 59, "Parity");
STATIC_ASSERT (SPCR_STOP_BITS_OFFSET == 60, "Stop Bits");
STATIC_ASSERT (SPCR_TERMINAL_TYPE_OFFSET == 62, "Terminal Type");
STATIC_ASSERT (SPCR_PCI_BUS_OFFSET == 68, "PCI Bus Number");
STATIC_ASSERT (SPCR_PCI_DEVICE_OFFSET == 69, "PCI Device Number");
STATIC_ASSERT (SPCR_PCI_FUNCTION_OFFSET == 70, "PCI Function Number");

///
/// SPCR Baud Rate value for a rate the table below does not hold.
///
constexpr UINT8  SPCR_BAUD_RATE_UNKNOWN = 8;

/**
  Writes one byte of the table if it lies inside the table's Length.

  @param[in]  Table   The installed table.
  @param[in]  Length  The table's Length.
  @param[in]  Offset  The byte offset of the field.
  @param[in]  Value   The value to store.
**/
VOID
PatchByte (
  IN UINT8   *Table,
  IN UINT32  Length,
  IN UINTN   Offset,
  IN UINT8   Value
  )
{
  if (Offset < Length) {
    Table[Offset] = Value;
  }
}
}

///
/// SPCR Terminal Type for each policy TerminalType: ANSI, VT100, VT100+,
/// VT-UTF8 and the fifth type, which SPCR numbers 3, 0, 1, 2 and 4.
///
STATIC CONST UINT8  mSpcrTerminalTypeMap[] = { 3, 0, 1, 2, 4 };

STATIC_ASSERT (ARRAY_SIZE (mSpcrTerminalTypeMap) == CR_TERMINAL_TYPE_FIFTH + 1, "one entry per terminal type");

///
/// The policy found at ReadyToBoot (NULL when none is published).
///
STATIC CONST CONSOLE_REDIRECTION_POLICY  *mConsoleRedirectionPolicy;

/**
  Gives the SPCR Baud Rate value of a rate: its position in the eight
  selectable rates (1200 bit/s is 0, 115200 bit/s is 7), or 8 when the rate
  is not one of them. The whole 64-bit rate is compared.

  @param[in]  BaudRate  The policy's rate in bit/s.

  @return The SPCR Baud Rate value, 0 to 8.
**/
STATIC
UINT8
SpcrBaudRate (
  IN UINT64  BaudRate
  )
{
  CONST UINT32  RateTable[] = CR_SETUP_BAUD_RATES;
  UINT8         Index;

  STATIC_ASSERT (ARRAY_SIZE (RateTable) == CR_SETUP_BAUD_RATE_COUNT, "eight known rates");
  STATIC_ASSERT (SPCR_BAUD_RATE_UNKNOWN == CR_SETUP_BAUD_RATE_COUNT, "the value after the known rates");

  for (Index = 0; Index < ARRAY_SIZE (RateTable); Index++) {
    if (BaudRate == (UINT64)RateTable[Index]) {
      return Index;
    }
  }

  return SPCR_BAUD_RATE_UNKNOWN;
}

/**
  Rewrites the serial-line fields of the installed SPCR table from the
  policy and recomputes its checksum over Length bytes. A field beyond
  Length is left unwritten.

  @param[in]  Table   The installed SPCR table.
  @param[in]  Policy  The console-redirection policy.
**/
STATIC
VOID
UpdateSpcrTable (
  IN EFI_ACPI_SDT_HEADER               *Table,
  IN CONST CONSOLE_REDIRECTION_POLICY  *Policy
  )
{
  UINT8   *Bytes;
  UINT32  Length;

  Bytes  = (UINT8 *)Table;
  Length = Table->Length;

  PatchByte (Bytes, Length, SPCR_BAUD_RATE_OFFSET, SpcrBaudRate (Policy->BaudRate));

  if (Policy->DeviceType == CR_DEVICE_TYPE_MMIO_UART) {
    PatchByte (Bytes, Length, SPCR_IRQ_OFFSET, Policy->Irq);
  } else if (Policy->DeviceType == CR_DEVICE_TYPE_PCI) {
    PatchByte (Bytes, Length, SPCR_PCI_BUS_OFFSET, Policy->PciBus);
    PatchByte (Bytes, Length, SPCR_PCI_DEVICE_OFFSET, Policy->PciDevice);
    PatchByte (Bytes, Length, SPCR_PCI_FUNCTION_OFFSET, Policy->PciFunction);
  }

  if (SPCR_BASE_ADDRESS_OFFSET + sizeof (UINT64) <= Length) {
    WriteUnaligned64 ((UINT64 *)(Bytes + SPCR_BASE_ADDRESS_OFFSET), Policy->PortAddress);
  }

  //
  // The setup Parity counts from 1 (none); SPCR counts from 0.
  //
  PatchByte (Bytes, Length, SPCR_PARITY_OFFSET, (UINT8)(Policy->Parity - 1));
  PatchByte (Bytes, Length, SPCR_STOP_BITS_OFFSET, Policy->StopBits);

  if (Policy->TerminalType < ARRAY_SIZE (mSpcrTerminalTypeMap)) {
    PatchByte (Bytes, Length, SPCR_TERMINAL_TYPE_OFFSET, mSpcrTerminalTypeMap[Policy->TerminalType]);
  }

  if (SPCR_CHECKSUM_OFFSET < Length) {
    Bytes[SPCR_CHECKSUM_OFFSET] = 0;
    Bytes[SPCR_CHECKSUM_OFFSET] = CalculateCheckSum8 (Bytes, Length);
  }
}

/**
  ReadyToBoot notification: removes the first installed SPCR table or
  patches it from the console-redirection policy. Runs once: it closes its
  own event first, so a later ReadyToBoot signal changes nothing.

  The table is removed when no policy is published or its SpcrEnable is 0,
  and patched otherwise. Without the ACPI table protocol, the ACPI SDT
  protocol or an SPCR table nothing is done. A failed removal is reported at
  warning level and leaves the table installed.

  @param[in]  Event    The ReadyToBoot event of this driver.
  @param[in]  Context  Not used.
**/
STATIC
VOID
EFIAPI
UpdateOrDeleteSpcrTable (
  IN EFI_EVENT  Event,
  IN VOID       *Context
  )
{
  EFI_STATUS               Status;
  BOOLEAN                  Delete;
  EFI_ACPI_TABLE_PROTOCOL  *AcpiTable;
  EFI_ACPI_SDT_PROTOCOL    *AcpiSdt;
  EFI_ACPI_SDT_HEADER      *Table;
  EFI_ACPI_TABLE_VERSION   Version;
  UINTN                    TableKey;
  UINTN                    Index;

  gBS->CloseEvent (Event);

  mConsoleRedirectionPolicy = NULL;
  Status                    = gBS->LocateProtocol (
                                     &gConsoleRedirectionPolicyProtocolGuid,
                                     NULL,
                                     (VOID **)&mConsoleRedirectionPolicy
                                     );
  if (EFI_ERROR (Status) || (mConsoleRedirectionPolicy == NULL)) {
    mConsoleRedirectionPolicy = NULL;
    Delete                    = TRUE;
  } else {
    Delete = (BOOLEAN)(mConsoleRedirectionPolicy->SpcrEnable == 0);
  }

  AcpiTable = NULL;
  Status    = gBS->LocateProtocol (&gEfiAcpiTableProtocolGuid, NULL, (VOID **)&AcpiTable);
  if (EFI_ERROR (Status) || (AcpiTable == NULL)) {
    return;
  }

  AcpiSdt = NULL;
  Status  = gBS->LocateProtocol (&gEfiAcpiSdtProtocolGuid, NULL, (VOID **)&AcpiSdt);
  if (EFI_ERROR (Status) || (AcpiSdt == NULL)) {
    return;
  }

  for (Index = 0; ; Index++) {
    Table  = NULL;
    Status = AcpiSdt->GetAcpiTable (Index, &Table, &Version, &TableKey);
    if (EFI_ERROR (Status) || (Table == NULL)) {
      return;
    }

    if (Table->Signature == SPCR_SIGNATURE) {
      break;
    }
  }

  if (Delete) {
    Status = AcpiTable->UninstallAcpiTable (AcpiTable, TableKey);
    if (EFI_ERROR (Status)) {
      DEBUG ((DEBUG_WARN, "%a: failed to uninstall SPCR table - %r\n", __func__, Status));
    }

    return;
  }

  UpdateSpcrTable (Table, mConsoleRedirectionPolicy);
}

/**
  Driver entry: arms the ReadyToBoot notification at TPL_NOTIFY.

  @param[in]  ImageHandle  The image handle of the driver.
  @param[in]  SystemTable  The EFI system table.

  @retval EFI_SUCCESS  The ReadyToBoot event is created.
  @retval Others       The event could not be created; the driver is unloaded.
**/
extern "C"
EFI_STATUS
EFIAPI
SerialnoteEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_EVENT  ReadyToBootEvent;

  return EfiCreateEventReadyToBootEx (
           TPL_NOTIFY,
           UpdateOrDeleteSpcrTable,
           NULL,
           &ReadyToBootEvent
           );
}
