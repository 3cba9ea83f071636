/** @file
  DebugLib instance that writes to the board's PL011-type debug UART.

  Messages are formatted into a 256-byte buffer by PrintLib and go out only
  when their level shares a bit with the current error-level mask
  (DebugPrintErrorLevelLib). The UART base comes from the DynamicEx PCD
  PcdSerialPortBaseAddress, read again before every message, so that a driver
  that switches the console UART moves the debug output of every module that
  prints after it. Output is polled byte by byte: wait while the transmit FIFO
  is full (UARTFR bit 5), then write the byte to UARTDR. The UART itself is
  set up by earlier firmware and never programmed here.

  The wait for room in the FIFO is bounded on the architectural timer. A UART
  that never drains (a base that names another device or nothing, whose flag
  register reads all ones, or a transmitter held off for good) would
  otherwise stop the firmware inside a debug message; when the bound passes,
  the rest of that message is dropped and the caller goes on.

  Re-entry: reading the PCD goes through the PCD library, which asserts when
  the PCD protocol is missing; that assertion comes back into this library.
  A nested message does not read the PCD again but uses the last base read
  successfully (initially the board's default debug UART), and nesting is
  bounded, so a failing PCD service cannot recurse without end. A nested
  assertion stops in a dead loop like any other: returning from it would let
  its caller (the PCD library) go on with the NULL protocol it asserted on.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

extern "C" {
#include <Base.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DebugLib.h>
#include <Library/DebugPrintErrorLevelLib.h>
#include <Library/IoLib.h>
#include <Library/PcdLib.h>
#include <Library/PrintLib.h>
#include <Library/TimerLib.h>
}

#include <ArmServerBoardMap.h>
#include <Library/EdkCpp.h>

namespace {
///
/// Longest message, terminating NUL included.
///
constexpr UINTN  MAX_DEBUG_MESSAGE_LENGTH = 0x100;

///
/// Messages nested deeper than this (an assertion raised while printing an
/// assertion raised while printing) are dropped.
///
constexpr UINTN  MAX_DEBUG_OUTPUT_DEPTH = 2;

///
/// Longest wait for room in the transmit FIFO. A full FIFO frees a place
/// every character time; at 1200 bit/s, the slowest rate the console offers,
/// a 10-bit character takes 8.3 ms, so a UART that has not made room after
/// more than two character times is not transmitting.
///
constexpr UINT64  UART_TX_TIMEOUT_NS = 20ULL * 1000 * 1000;
}

///
/// How many messages are being written right now (0 when idle).
///
STATIC UINTN  mDebugOutputDepth = 0;

///
/// UART base of the last message that read the PCD; used by nested messages.
///
STATIC UINT64  mLastUartBase = BOARD_UART0_BASE;

///
/// VA_LIST cannot be NULL-initialised portably; this one marks "no VA_LIST".
///
STATIC VA_LIST  mVaListNull;

/**
  Tells whether a UART base can be used for 32-bit register accesses.

  @param[in]  Base  The candidate base address.

  @retval TRUE   Base is non-zero and 32-bit aligned.
  @retval FALSE  Base would fault or make IoLib assert.
**/
STATIC
BOOLEAN
IsUsableUartBase (
  IN UINT64  Base
  )
{
  return (BOOLEAN)((Base != 0) && ((Base & 0x3) == 0));
}

/**
  Waits until the transmit FIFO of the PL011 at Base has room for a byte,
  for at most UART_TX_TIMEOUT_NS on the architectural timer. The timer is
  read only once the FIFO has been found full.

  @param[in]  Base  MMIO base of the UART.

  @retval TRUE   The FIFO has room.
  @retval FALSE  It stayed full for the whole time-out.
**/
STATIC
BOOLEAN
UartWaitForRoom (
  IN UINTN  Base
  )
{
  UINT64  Start;

  if ((MmioRead32 (Base + PL011_UARTFR) & PL011_UARTFR_TXFF) == 0) {
    return TRUE;
  }

  Start = GetPerformanceCounter ();
  while ((MmioRead32 (Base + PL011_UARTFR) & PL011_UARTFR_TXFF) != 0) {
    if (GetTimeInNanoSecond (GetPerformanceCounter () - Start) > UART_TX_TIMEOUT_NS) {
      return FALSE;
    }
  }

  return TRUE;
}

/**
  Writes Length bytes to the PL011 at Base, polling the transmit FIFO. When
  the FIFO stays full for the whole time-out, the remaining bytes are
  dropped.

  @param[in]  Base    MMIO base of the UART.
  @param[in]  Buffer  The bytes to send.
  @param[in]  Length  Number of bytes.
**/
STATIC
VOID
UartWrite (
  IN UINTN        Base,
  IN CONST CHAR8  *Buffer,
  IN UINTN        Length
  )
{
  UINTN  Index;

  for (Index = 0; Index < Length; Index++) {
    if (!UartWaitForRoom (Base)) {
      return;
    }

    MmioWrite32 (Base + PL011_UARTDR, (UINT8)Buffer[Index]);
  }
}

/**
  Sends one formatted message to the debug UART selected by
  PcdSerialPortBaseAddress.

  @param[in]  Buffer  The message.
  @param[in]  Length  Number of characters in the message.
**/
STATIC
VOID
DebugOutput (
  IN CONST CHAR8  *Buffer,
  IN UINTN        Length
  )
{
  UINT64  Base;

  if (mDebugOutputDepth >= MAX_DEBUG_OUTPUT_DEPTH) {
    return;
  }

  mDebugOutputDepth++;
  if (mDebugOutputDepth == 1) {
    Base = PcdGetEx64 (&gPlatformTokenSpaceGuid, PcdSerialPortBaseAddress);
    if (IsUsableUartBase (Base)) {
      mLastUartBase = Base;
    }
  } else {
    Base = mLastUartBase;
  }

  if (IsUsableUartBase (Base)) {
    UartWrite ((UINTN)Base, Buffer, Length);
  }

  mDebugOutputDepth--;
}

/**
  Formats and prints a debug message if its level is enabled; common code of
  DebugPrint (), DebugVPrint () and DebugBPrint ().

  @param[in]  ErrorLevel      The level of the message.
  @param[in]  Format          The format string.
  @param[in]  VaListMarker    The arguments as a VA_LIST, or mVaListNull.
  @param[in]  BaseListMarker  The arguments as a BASE_LIST, or NULL.
**/
STATIC
VOID
DebugPrintMarker (
  IN UINTN        ErrorLevel,
  IN CONST CHAR8  *Format,
  IN VA_LIST      VaListMarker,
  IN BASE_LIST    BaseListMarker
  )
{
  CHAR8  Buffer[MAX_DEBUG_MESSAGE_LENGTH];
  UINTN  Length;

  ASSERT (Format != NULL);
  if (Format == NULL) {
    return;
  }

  if ((ErrorLevel & GetDebugPrintErrorLevel ()) == 0) {
    return;
  }

  if (BaseListMarker == NULL) {
    Length = AsciiVSPrint (Buffer, sizeof (Buffer), Format, VaListMarker);
  } else {
    Length = AsciiBSPrint (Buffer, sizeof (Buffer), Format, BaseListMarker);
  }

  DebugOutput (Buffer, Length);
}

/**
  Prints a debug message if any bit of ErrorLevel is set in the current
  error-level mask.

  @param[in]  ErrorLevel  The level of the message.
  @param[in]  Format      The format string.
  @param[in]  ...         The arguments of the format string.
**/
VOID
EFIAPI
DebugPrint (
  IN UINTN        ErrorLevel,
  IN CONST CHAR8  *Format,
  ...
  )
{
  VA_LIST  Marker;

  VA_START (Marker, Format);
  DebugPrintMarker (ErrorLevel, Format, Marker, NULL);
  VA_END (Marker);
}

/**
  Prints a debug message, arguments given as a VA_LIST, if any bit of
  ErrorLevel is set in the current error-level mask.

  @param[in]  ErrorLevel    The level of the message.
  @param[in]  Format        The format string.
  @param[in]  VaListMarker  The arguments.
**/
VOID
EFIAPI
DebugVPrint (
  IN UINTN        ErrorLevel,
  IN CONST CHAR8  *Format,
  IN VA_LIST      VaListMarker
  )
{
  DebugPrintMarker (ErrorLevel, Format, VaListMarker, NULL);
}

/**
  Prints a debug message, arguments given as a BASE_LIST, if any bit of
  ErrorLevel is set in the current error-level mask.

  @param[in]  ErrorLevel      The level of the message.
  @param[in]  Format          The format string.
  @param[in]  BaseListMarker  The arguments.
**/
VOID
EFIAPI
DebugBPrint (
  IN UINTN        ErrorLevel,
  IN CONST CHAR8  *Format,
  IN BASE_LIST    BaseListMarker
  )
{
  DebugPrintMarker (ErrorLevel, Format, mVaListNull, BaseListMarker);
}

/**
  Reports a failed assertion and stops: prints
  "ASSERT [<module>] <file>(<line>): <expression>" and enters a dead loop.
  An assertion raised while one is being reported (by the PCD read of its
  message) is printed to the last known UART and stops there, too.

  @param[in]  FileName     The source file of the assertion.
  @param[in]  LineNumber   The source line of the assertion.
  @param[in]  Description  The expression that failed.
**/
VOID
EFIAPI
DebugAssert (
  IN CONST CHAR8  *FileName,
  IN UINTN        LineNumber,
  IN CONST CHAR8  *Description
  )
{
  CHAR8  Buffer[MAX_DEBUG_MESSAGE_LENGTH];
  UINTN  Length;

  //
  // No guard against re-entry here: when the PCD read of this message raises
  // an assertion, DebugOutput ()'s nesting depth makes that one print to the
  // last UART base without reading the PCD, and it stops in its own loop.
  //
  if (FileName == NULL) {
    FileName = "(NULL) Filename";
  }

  if (Description == NULL) {
    Description = "(NULL) Description";
  }

  Length = AsciiSPrint (
             Buffer,
             sizeof (Buffer),
             "ASSERT [%a] %a(%d): %a\n",
             gEfiCallerBaseName,
             FileName,
             LineNumber,
             Description
             );
  DebugOutput (Buffer, Length);

  CpuDeadLoop ();
}

/**
  Fills a buffer with PcdDebugClearMemoryValue.

  @param[out]  Buffer  The buffer to fill.
  @param[in]   Length  Number of bytes.

  @return Buffer.
**/
VOID *
EFIAPI
DebugClearMemory (
  OUT VOID  *Buffer,
  IN UINTN  Length
  )
{
  ASSERT (Buffer != NULL);

  return SetMem (Buffer, Length, PcdGet8 (PcdDebugClearMemoryValue));
}

/**
  @retval TRUE   ASSERT () checks are enabled (DEBUG_PROPERTY_DEBUG_ASSERT_ENABLED).
  @retval FALSE  They are not.
**/
BOOLEAN
EFIAPI
DebugAssertEnabled (
  VOID
  )
{
  return (BOOLEAN)((PcdGet8 (PcdDebugPropertyMask) & DEBUG_PROPERTY_DEBUG_ASSERT_ENABLED) != 0);
}

/**
  @retval TRUE   DEBUG () messages are enabled (DEBUG_PROPERTY_DEBUG_PRINT_ENABLED).
  @retval FALSE  They are not.
**/
BOOLEAN
EFIAPI
DebugPrintEnabled (
  VOID
  )
{
  return (BOOLEAN)((PcdGet8 (PcdDebugPropertyMask) & DEBUG_PROPERTY_DEBUG_PRINT_ENABLED) != 0);
}

/**
  @retval TRUE   DEBUG_CODE () blocks are enabled (DEBUG_PROPERTY_DEBUG_CODE_ENABLED).
  @retval FALSE  They are not.
**/
BOOLEAN
EFIAPI
DebugCodeEnabled (
  VOID
  )
{
  return (BOOLEAN)((PcdGet8 (PcdDebugPropertyMask) & DEBUG_PROPERTY_DEBUG_CODE_ENABLED) != 0);
}

/**
  @retval TRUE   DEBUG_CLEAR_MEMORY () is enabled (DEBUG_PROPERTY_CLEAR_MEMORY_ENABLED).
  @retval FALSE  It is not.
**/
BOOLEAN
EFIAPI
DebugClearMemoryEnabled (
  VOID
  )
{
  return (BOOLEAN)((PcdGet8 (PcdDebugPropertyMask) & DEBUG_PROPERTY_CLEAR_MEMORY_ENABLED) != 0);
}

/**
  Tells whether messages of ErrorLevel are compiled in at all, by the
  build-time mask PcdFixedDebugPrintErrorLevel.

  @param[in]  ErrorLevel  The level to check.

  @retval TRUE   ErrorLevel shares a bit with PcdFixedDebugPrintErrorLevel.
  @retval FALSE  It does not.
**/
BOOLEAN
EFIAPI
DebugPrintLevelEnabled (
  IN CONST UINTN  ErrorLevel
  )
{
  return (BOOLEAN)((ErrorLevel & PcdGet32 (PcdFixedDebugPrintErrorLevel)) != 0);
}
