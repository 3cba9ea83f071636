/** @file
  Serial output on an Arm generic UART (the PL011 subset firmware may use
  without setting the UART up): word writes to UARTDR, word reads of UARTFR.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <Base.h>

#include <Library/IoLib.h>
#include <Library/PcdLib.h>
#include <Library/SerialPortLib.h>

#define UART_DR          0x00
#define UART_FR          0x18
#define UART_FR_TXFF     BIT5
#define UART_FR_RXFE     BIT4

//
// Flag-register polls before a byte is given up: a UART that never drains
// must not stop the firmware.
//
#define MAX_FULL_POLLS  100000

/**
  The UART is set up by earlier firmware.

  @return RETURN_SUCCESS.
**/
RETURN_STATUS
EFIAPI
SerialPortInitialize (
  VOID
  )
{
  return RETURN_SUCCESS;
}

/**
  Writes bytes, waiting (bounded) while the transmit FIFO is full.

  @param[in] Buffer          The bytes.
  @param[in] NumberOfBytes   How many.

  @return How many were written.
**/
UINTN
EFIAPI
SerialPortWrite (
  IN UINT8  *Buffer,
  IN UINTN  NumberOfBytes
  )
{
  UINTN  Base;
  UINTN  Index;
  UINTN  Polls;

  if (Buffer == NULL) {
    return 0;
  }

  Base = (UINTN)FixedPcdGet64 (PcdSerialRegisterBase);
  for (Index = 0; Index < NumberOfBytes; Index++) {
    for (Polls = 0; (MmioRead32 (Base + UART_FR) & UART_FR_TXFF) != 0; Polls++) {
      if (Polls == MAX_FULL_POLLS) {
        return Index;
      }
    }

    MmioWrite32 (Base + UART_DR, Buffer[Index]);
  }

  return NumberOfBytes;
}

/**
  Nothing is read from the board's UARTs.

  @return 0.
**/
UINTN
EFIAPI
SerialPortRead (
  OUT UINT8  *Buffer,
  IN  UINTN  NumberOfBytes
  )
{
  return 0;
}

/**
  Whether a byte has arrived.

  @return TRUE when the receive FIFO holds one.
**/
BOOLEAN
EFIAPI
SerialPortPoll (
  VOID
  )
{
  return (MmioRead32 ((UINTN)FixedPcdGet64 (PcdSerialRegisterBase) + UART_FR) & UART_FR_RXFE) == 0;
}

/**
  The control lines are not the firmware's to set.

  @return RETURN_UNSUPPORTED.
**/
RETURN_STATUS
EFIAPI
SerialPortSetControl (
  IN UINT32  Control
  )
{
  return RETURN_UNSUPPORTED;
}

/**
  The control lines are not reported.

  @return RETURN_UNSUPPORTED.
**/
RETURN_STATUS
EFIAPI
SerialPortGetControl (
  OUT UINT32  *Control
  )
{
  return RETURN_UNSUPPORTED;
}

/**
  The baud rate and framing are set by earlier firmware.

  @return RETURN_UNSUPPORTED.
**/
RETURN_STATUS
EFIAPI
SerialPortSetAttributes (
  IN OUT UINT64              *BaudRate,
  IN OUT UINT32              *ReceiveFifoDepth,
  IN OUT UINT32              *Timeout,
  IN OUT EFI_PARITY_TYPE     *Parity,
  IN OUT UINT8               *DataBits,
  IN OUT EFI_STOP_BITS_TYPE  *StopBits
  )
{
  return RETURN_UNSUPPORTED;
}
