/** @file
  FaultProbe: commits one deliberate fault, chosen by the UINT8 variable
  "FaultProbeMode" under gFaultProbeVariableGuid:

    0 or no variable  print "FaultProbe idle" and return EFI_SUCCESS
    1                 read a UINT32 through a NULL pointer
    2                 write one byte past the end of a 16-byte pool buffer
    3                 allocate 32 bytes of pool and drop the only pointer
    4                 spin forever in a loop that never exits
    5                 fail an ASSERT ()
    6                 print one message at each debug level, formatted
                      with the usual conversions, and one longer than
                      the 256-byte format buffer
    7                 fail an ASSERT_EFI_ERROR () on EFI_NOT_FOUND

  Each fault is a single statement on a line of its own that ends in a
  marker comment (the word FAULT, a colon and the fault's name), so that a
  test can find the line a fault report should name by searching this file
  for the marker. Keep it that way when editing; this comment deliberately
  does not spell the marker out.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

extern "C" {
#include <Uefi.h>
#include <Library/DebugLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
}

#include <Library/EdkCpp.h>

namespace {
enum class FAULT_PROBE_MODE : UINT8 {
  Idle            = 0,
  NullDereference = 1,
  PoolOverrun     = 2,
  PoolLeak        = 3,
  DeadLoop        = 4,
  FailedAssert    = 5,
  Messages        = 6,
  FailedEfiAssert = 7
};
}

///
/// Number of times the probe ran in this image; never 12345, which makes the
/// assertion of mode 5 fail.
///
STATIC UINTN  mProbeCount = 0;

///
/// Receives the value of the NULL read, so that the read cannot be dropped.
///
STATIC volatile UINT32  mProbeSink = 0;

/**
  Reads the probe mode from the "FaultProbeMode" variable.

  @return The mode; FAULT_PROBE_MODE::Idle when the variable is missing or
          not exactly one byte.
**/
STATIC
FAULT_PROBE_MODE
GetProbeMode (
  VOID
  )
{
  EFI_STATUS  Status;
  UINT8       Mode;
  UINTN       DataSize;

  Mode     = 0;
  DataSize = sizeof (Mode);
  Status   = gRT->GetVariable (
                    (CHAR16 *)u"FaultProbeMode",
                    &gFaultProbeVariableGuid,
                    NULL,
                    &DataSize,
                    &Mode
                    );
  if (EFI_ERROR (Status) || (DataSize != sizeof (Mode))) {
    return FAULT_PROBE_MODE::Idle;
  }

  return static_cast<FAULT_PROBE_MODE>(Mode);
}

/**
  Reads a UINT32 at address 0. The pointer is volatile so that the compiler
  emits a real load from address 0 instead of a trap instruction.

  @return Whatever the load returns, if it returns at all.
**/
STATIC
UINT32
NullDereference (
  VOID
  )
{
  volatile UINT32 *volatile  Pointer;

  Pointer = NULL;
  return *Pointer; // FAULT: null-dereference
}

/**
  Writes one byte just past the end of a 16-byte pool buffer.

  @return EFI_SUCCESS, or the allocation status.
**/
STATIC
EFI_STATUS
PoolOverrun (
  VOID
  )
{
  EFI_STATUS  Status;
  UINT8       *Buffer;

  Status = gBS->AllocatePool (EfiBootServicesData, 16, (VOID **)&Buffer);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  ((volatile UINT8 *)Buffer)[16] = 0xA5; // FAULT: pool-overrun
  gBS->FreePool (Buffer);
  return EFI_SUCCESS;
}

/**
  Allocates 32 bytes of pool and loses the only pointer to them.

  @return EFI_SUCCESS, or the allocation status.
**/
STATIC
EFI_STATUS
PoolLeak (
  VOID
  )
{
  EFI_STATUS     Status;
  VOID *volatile Buffer;

  Status = gBS->AllocatePool (EfiBootServicesData, 32, (VOID **)&Buffer); // FAULT: pool-leak
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Buffer = NULL;
  return EFI_SUCCESS;
}

/**
  Spins forever.
**/
STATIC
VOID
DeadLoop (
  VOID
  )
{
  volatile UINTN  Counter;

  Counter = 0;
  for (;;) { Counter++; } // FAULT: dead-loop
}

/**
  Prints one message at each level the modules use, plus DEBUG_LOAD and
  DEBUG_VERBOSE, and one message longer than the format buffer, so that
  the level mask, the conversions and the truncation can be checked on the
  UART byte for byte.
**/
STATIC
VOID
PrintMessages (
  VOID
  )
{
  CHAR8  Long[301];
  UINTN  Index;

  for (Index = 0; Index < 300; Index++) {
    Long[Index] = 'x';
  }

  Long[300] = '\0';

  DEBUG ((DEBUG_ERROR, "probe error %d %a %r\n", 42, "ascii", EFI_NOT_FOUND));
  DEBUG ((DEBUG_WARN, "probe warn 0x%X\n", 0xBEEF));
  DEBUG ((DEBUG_INFO, "probe info %s\n", (CHAR16 *)u"wide"));
  DEBUG ((DEBUG_VERBOSE, "probe verbose\n"));
  DEBUG ((DEBUG_LOAD, "probe load\n"));
  DEBUG ((DEBUG_ERROR, "%a\n", Long));
}

/**
  Driver entry: commits the fault selected by "FaultProbeMode".

  @param[in]  ImageHandle  The image handle of the driver.
  @param[in]  SystemTable  The EFI system table.

  @retval EFI_SUCCESS  Idle, leak and overrun probes (if they return).
  @retval Others       An allocation failed.
**/
extern "C"
EFI_STATUS
EFIAPI
FaultProbeEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS  Status;

  mProbeCount++;

  switch (GetProbeMode ()) {
    case FAULT_PROBE_MODE::NullDereference:
      mProbeSink = NullDereference ();
      return EFI_SUCCESS;

    case FAULT_PROBE_MODE::PoolOverrun:
      return PoolOverrun ();

    case FAULT_PROBE_MODE::PoolLeak:
      return PoolLeak ();

    case FAULT_PROBE_MODE::DeadLoop:
      DeadLoop ();
      return EFI_SUCCESS;

    case FAULT_PROBE_MODE::FailedAssert:
      ASSERT (mProbeCount == 12345); // FAULT: assert
      return EFI_SUCCESS;

    case FAULT_PROBE_MODE::Messages:
      PrintMessages ();
      return EFI_SUCCESS;

    case FAULT_PROBE_MODE::FailedEfiAssert:
      Status = (mProbeCount == 12345) ? EFI_SUCCESS : EFI_NOT_FOUND;
      ASSERT_EFI_ERROR (Status); // FAULT: assert-efi-error
      return Status;

    default:
      DEBUG ((DEBUG_INFO, "FaultProbe idle\n"));
      return EFI_SUCCESS;
  }
}
