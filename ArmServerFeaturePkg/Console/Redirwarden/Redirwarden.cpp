/** @file
  Redirwarden: the console-redirection policy.

  The setup utility stores the serial-console choices in the 9-byte
  CrSetupData variable. At entry this driver turns them into one
  CONSOLE_REDIRECTION_POLICY record (or a set of defaults when the variable
  cannot be used), points PcdSerialPortBaseAddress at the selected UART so
  that the debug output of every module that prints after this one goes
  there, and installs the record under gConsoleRedirectionPolicyProtocolGuid.
  The record is written completely before it is installed and never changed
  afterwards; the SPCR driver reads it at ReadyToBoot.

  A stored record that is not exactly 9 bytes long, or whose baud-rate index
  lies outside the rate table, is not trusted: the defaults are published
  instead, as for a missing variable. A shorter record would leave bytes of
  the buffer unset, and a large index would read past the table.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

extern "C" {
#include <Uefi.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DebugLib.h>
#include <Library/PcdLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
#include <Guid/SetupVariables.h>
#include <Protocol/ConsoleRedirectionPolicy.h>
}

#include <ArmServerBoardMap.h>
#include <Library/EdkCpp.h>

namespace {
//
// Serial line settings published when CrSetupData cannot be used: the
// second UART at 115200 bit/s, 8 data bits, one stop bit, VT-UTF8, console
// redirection off and the SPCR table removed.
//
constexpr UINT64  DEFAULT_BAUD_RATE     = 115200;
constexpr UINT8   DEFAULT_SERIAL_PORT   = 1;
constexpr UINT8   DEFAULT_DATA_BITS     = 8;
constexpr UINT8   DEFAULT_STOP_BITS     = 1;
constexpr UINT8   DEFAULT_TERMINAL_TYPE = CR_TERMINAL_TYPE_VT_UTF8;

STATIC_ASSERT (CR_SETUP_DATA_SIZE == sizeof (CR_SETUP_DATA), "CrSetupData is read whole");
}

///
/// The rates selected by CR_SETUP_DATA.BaudRateIndex, in bit/s.
///
STATIC CONST UINT32  mBaudRateTable[] = CR_SETUP_BAUD_RATES;

STATIC_ASSERT (ARRAY_SIZE (mBaudRateTable) == CR_SETUP_BAUD_RATE_COUNT, "eight selectable baud rates");

///
/// The installed policy. Zero at load; filled once at entry, then read-only.
///
STATIC CONSOLE_REDIRECTION_POLICY  mConsoleRedirectionPolicy;

/**
  Reads CrSetupData into Data.

  The variable is asked for with exactly its record size. A variable stored
  larger fails with EFI_BUFFER_TOO_SMALL; one stored smaller reads without
  error but would leave part of the record unset, and a baud-rate index
  past the rate table has no rate. Both are reported as EFI_VOLUME_CORRUPTED
  so that the caller falls back to the defaults.

  @param[out]  Data  The record; fully written when EFI_SUCCESS is returned.

  @retval EFI_SUCCESS           Data holds a complete, usable record.
  @retval EFI_VOLUME_CORRUPTED  The stored record is short or out of range.
  @retval Others                The status of GetVariable ().
**/
STATIC
EFI_STATUS
ReadCrSetupData (
  OUT CR_SETUP_DATA  *Data
  )
{
  EFI_STATUS  Status;
  UINTN       DataSize;

  ZeroMem (Data, sizeof (*Data));
  DataSize = CR_SETUP_DATA_SIZE;
  Status   = gRT->GetVariable (
                    CR_SETUP_DATA_VARIABLE_NAME,
                    &gCrSetupDataGuid,
                    NULL,
                    &DataSize,
                    Data
                    );
  if (EFI_ERROR (Status)) {
    return Status;
  }

  if ((DataSize != CR_SETUP_DATA_SIZE) || (Data->BaudRateIndex >= ARRAY_SIZE (mBaudRateTable))) {
    return EFI_VOLUME_CORRUPTED;
  }

  return EFI_SUCCESS;
}

/**
  Driver entry: builds the policy from CrSetupData or the defaults, selects
  the debug UART and installs the policy protocol on a new handle.

  Neither the PCD update nor the protocol installation is checked: without
  the protocol the SPCR driver removes the SPCR table, which is the safe
  outcome, and the driver has nothing else to undo.

  @param[in]  ImageHandle  The image handle of the driver.
  @param[in]  SystemTable  The EFI system table.

  @retval EFI_SUCCESS  Always.
**/
extern "C"
EFI_STATUS
EFIAPI
RedirwardenEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS                  Status;
  CR_SETUP_DATA               SetupData;
  CONSOLE_REDIRECTION_POLICY  *Policy;
  EFI_HANDLE                  Handle;

  Policy           = &mConsoleRedirectionPolicy;
  Policy->CrEnable = 0;

  DEBUG ((DEBUG_INFO, "Redirwarden entry\n"));

  Status = ReadCrSetupData (&SetupData);
  if (EFI_ERROR (Status)) {
    Policy->BaudRate     = DEFAULT_BAUD_RATE;
    Policy->CrEnable     = 0;
    Policy->SerialPort   = DEFAULT_SERIAL_PORT;
    Policy->Parity       = 0;
    Policy->DataBits     = DEFAULT_DATA_BITS;
    Policy->StopBits     = DEFAULT_STOP_BITS;
    Policy->AuxSetting   = 0;
    Policy->TerminalType = DEFAULT_TERMINAL_TYPE;
    Policy->SpcrEnable   = 0;
  } else {
    Policy->CrEnable     = SetupData.CrEnable;
    Policy->SerialPort   = SetupData.SerialPort;
    Policy->BaudRate     = mBaudRateTable[SetupData.BaudRateIndex];
    Policy->DataBits     = SetupData.DataBits;
    Policy->AuxSetting   = SetupData.AuxSetting;
    Policy->Parity       = SetupData.Parity;
    Policy->StopBits     = SetupData.StopBits;
    Policy->TerminalType = SetupData.TerminalType;
    Policy->SpcrEnable   = SetupData.SpcrEnable;
  }

  Policy->DeviceType  = CR_DEVICE_TYPE_MMIO_UART;
  Policy->PortAddress = (Policy->SerialPort == 0) ? BOARD_UART0_BASE : BOARD_UART1_BASE;

  //
  // From here on every module's debug output, this one's included, goes to
  // the selected UART.
  //
  Status = PcdSetEx64S (&gPlatformTokenSpaceGuid, PcdSerialPortBaseAddress, Policy->PortAddress);
  (VOID)Status;

  Policy->Irq         = 0;
  Policy->PciBus      = 0;
  Policy->PciDevice   = 0;
  Policy->PciFunction = 0;
  Policy->Reserved    = 0;

  //
  // The UART bases fit in 31 bits, so %d prints the address in full.
  //
  STATIC_ASSERT ((BOARD_UART0_BASE <= MAX_INT32) && (BOARD_UART1_BASE <= MAX_INT32), "UART bases print as %d");
  DEBUG ((
    DEBUG_INFO,
    "CR Enable %d, PortAddress = %d, CRTerminalType = %d\n",
    (INT32)Policy->CrEnable,
    (INT32)Policy->PortAddress,
    (INT32)Policy->TerminalType
    ));

  Handle = NULL;
  Status = gBS->InstallMultipleProtocolInterfaces (
                  &Handle,
                  &gConsoleRedirectionPolicyProtocolGuid,
                  Policy,
                  NULL
                  );
  (VOID)Status;

  return EFI_SUCCESS;
}
