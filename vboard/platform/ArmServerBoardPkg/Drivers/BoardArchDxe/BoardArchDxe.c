/** @file
  The CPU and Timer architectural protocols of the virtual board.

  The board has no interrupt controller for firmware to program: its timer
  raises the CPU's IRQ once per period of simulated time, and only while
  PSTATE.I is clear, as a level-triggered interrupt would be taken. The IRQ
  arrives through the exception vectors this driver installs
  (ArmExceptionLib); the handler acknowledges the tick and calls the DXE
  core's tick handler. When the core has nothing to do, the idle-loop event
  lets the board pass simulated time to the next tick, as WFI does.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <PiDxe.h>

#include <Library/ArmLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/BoardHypercallLib.h>
#include <Library/CpuExceptionHandlerLib.h>
#include <Library/DebugLib.h>
#include <Library/UefiBootServicesTableLib.h>

#include <Guid/IdleLoopEvent.h>
#include <Protocol/Cpu.h>
#include <Protocol/Timer.h>

//
// The default tick: 10 ms, in 100 ns units.
//
#define DEFAULT_TIMER_PERIOD  100000

STATIC EFI_TIMER_NOTIFY  mTimerNotifyFunction;
STATIC UINT64            mTimerPeriod;
STATIC EFI_EVENT         mIdleLoopEvent;

/**
  Cache maintenance: the board's memory is coherent, nothing to do.

  @return EFI_SUCCESS.
**/
STATIC
EFI_STATUS
EFIAPI
CpuFlushCpuDataCache (
  IN EFI_CPU_ARCH_PROTOCOL  *This,
  IN EFI_PHYSICAL_ADDRESS   Start,
  IN UINT64                 Length,
  IN EFI_CPU_FLUSH_TYPE     FlushType
  )
{
  return EFI_SUCCESS;
}

/**
  Clears PSTATE.I.

  @return EFI_SUCCESS.
**/
STATIC
EFI_STATUS
EFIAPI
CpuEnableInterrupt (
  IN EFI_CPU_ARCH_PROTOCOL  *This
  )
{
  ArmEnableInterrupts ();
  return EFI_SUCCESS;
}

/**
  Sets PSTATE.I.

  @return EFI_SUCCESS.
**/
STATIC
EFI_STATUS
EFIAPI
CpuDisableInterrupt (
  IN EFI_CPU_ARCH_PROTOCOL  *This
  )
{
  ArmDisableInterrupts ();
  return EFI_SUCCESS;
}

/**
  Reports whether IRQs are taken.

  @return EFI_SUCCESS, or EFI_INVALID_PARAMETER for a NULL State.
**/
STATIC
EFI_STATUS
EFIAPI
CpuGetInterruptState (
  IN  EFI_CPU_ARCH_PROTOCOL  *This,
  OUT BOOLEAN                *State
  )
{
  if (State == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  *State = ArmGetInterruptState ();
  return EFI_SUCCESS;
}

/**
  INIT IPIs do not exist on this CPU.

  @return EFI_UNSUPPORTED.
**/
STATIC
EFI_STATUS
EFIAPI
CpuInit (
  IN EFI_CPU_ARCH_PROTOCOL  *This,
  IN EFI_CPU_INIT_TYPE      InitType
  )
{
  return EFI_UNSUPPORTED;
}

/**
  Registers a handler for an exception type with the exception library.

  @return The library's status.
**/
STATIC
EFI_STATUS
EFIAPI
CpuRegisterInterruptHandler (
  IN EFI_CPU_ARCH_PROTOCOL      *This,
  IN EFI_EXCEPTION_TYPE         InterruptType,
  IN EFI_CPU_INTERRUPT_HANDLER  InterruptHandler
  )
{
  return RegisterCpuInterruptHandler (InterruptType, InterruptHandler);
}

/**
  The CPU has no timer of its own to read through this protocol.

  @return EFI_UNSUPPORTED.
**/
STATIC
EFI_STATUS
EFIAPI
CpuGetTimerValue (
  IN  EFI_CPU_ARCH_PROTOCOL  *This,
  IN  UINT32                 TimerIndex,
  OUT UINT64                 *TimerValue,
  OUT UINT64                 *TimerPeriod   OPTIONAL
  )
{
  return EFI_UNSUPPORTED;
}

/**
  The board runs with the MMU off: every attribute request is accepted.

  @return EFI_SUCCESS.
**/
STATIC
EFI_STATUS
EFIAPI
CpuSetMemoryAttributes (
  IN EFI_CPU_ARCH_PROTOCOL  *This,
  IN EFI_PHYSICAL_ADDRESS   BaseAddress,
  IN UINT64                 Length,
  IN UINT64                 Attributes
  )
{
  return EFI_SUCCESS;
}

STATIC EFI_CPU_ARCH_PROTOCOL  mCpu = {
  CpuFlushCpuDataCache,
  CpuEnableInterrupt,
  CpuDisableInterrupt,
  CpuGetInterruptState,
  CpuInit,
  CpuRegisterInterruptHandler,
  CpuGetTimerValue,
  CpuSetMemoryAttributes,
  0,          // NumberOfTimers
  4,          // DmaBufferAlignment
};

/**
  The timer IRQ: acknowledges the tick and calls the DXE core's handler at
  TPL_HIGH_LEVEL.
**/
STATIC
VOID
EFIAPI
TimerInterruptHandler (
  IN EFI_EXCEPTION_TYPE  InterruptType,
  IN EFI_SYSTEM_CONTEXT  SystemContext
  )
{
  EFI_TPL  OriginalTpl;

  OriginalTpl = gBS->RaiseTPL (TPL_HIGH_LEVEL);
  BoardHypercall (BOARD_SMC_TIMER_ACK, 0, 0, 0, 0);
  if (mTimerNotifyFunction != NULL) {
    mTimerNotifyFunction (mTimerPeriod);
  }

  gBS->RestoreTPL (OriginalTpl);
}

/**
  Registers the DXE core's tick handler (once).

  @return EFI_SUCCESS, EFI_ALREADY_STARTED when one is registered, or
          EFI_INVALID_PARAMETER when none is and NULL is given.
**/
STATIC
EFI_STATUS
EFIAPI
TimerRegisterHandler (
  IN EFI_TIMER_ARCH_PROTOCOL  *This,
  IN EFI_TIMER_NOTIFY         NotifyFunction
  )
{
  if ((NotifyFunction == NULL) && (mTimerNotifyFunction == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  if ((NotifyFunction != NULL) && (mTimerNotifyFunction != NULL)) {
    return EFI_ALREADY_STARTED;
  }

  mTimerNotifyFunction = NotifyFunction;
  return EFI_SUCCESS;
}

/**
  Sets the tick period; 0 stops the tick.

  @return EFI_SUCCESS.
**/
STATIC
EFI_STATUS
EFIAPI
TimerSetTimerPeriod (
  IN EFI_TIMER_ARCH_PROTOCOL  *This,
  IN UINT64                   TimerPeriod
  )
{
  mTimerPeriod = TimerPeriod;
  BoardHypercall (BOARD_SMC_TIMER_SET_PERIOD, (UINTN)TimerPeriod, 0, 0, 0);
  return EFI_SUCCESS;
}

/**
  Returns the tick period.

  @return EFI_SUCCESS, or EFI_INVALID_PARAMETER for a NULL TimerPeriod.
**/
STATIC
EFI_STATUS
EFIAPI
TimerGetTimerPeriod (
  IN  EFI_TIMER_ARCH_PROTOCOL  *This,
  OUT UINT64                   *TimerPeriod
  )
{
  if (TimerPeriod == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  *TimerPeriod = mTimerPeriod;
  return EFI_SUCCESS;
}

/**
  Calls the tick handler as if the timer had fired.

  @return EFI_SUCCESS.
**/
STATIC
EFI_STATUS
EFIAPI
TimerGenerateSoftInterrupt (
  IN EFI_TIMER_ARCH_PROTOCOL  *This
  )
{
  EFI_TPL  OriginalTpl;

  OriginalTpl = gBS->RaiseTPL (TPL_HIGH_LEVEL);
  if (mTimerNotifyFunction != NULL) {
    mTimerNotifyFunction (0);
  }

  gBS->RestoreTPL (OriginalTpl);
  return EFI_SUCCESS;
}

STATIC EFI_TIMER_ARCH_PROTOCOL  mTimer = {
  TimerRegisterHandler,
  TimerSetTimerPeriod,
  TimerGetTimerPeriod,
  TimerGenerateSoftInterrupt
};

/**
  The DXE core is idle: let simulated time pass to the next tick.
**/
STATIC
VOID
EFIAPI
IdleLoopEventCallback (
  IN EFI_EVENT  Event,
  IN VOID       *Context
  )
{
  BoardHypercall (BOARD_SMC_IDLE, 0, 0, 0, 0);
}

/**
  Installs the exception vectors, the CPU and Timer architectural protocols,
  and starts the default tick.

  @return EFI_SUCCESS, or the first error.
**/
EFI_STATUS
EFIAPI
BoardArchDxeInitialize (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS  Status;
  EFI_HANDLE  Handle;

  Status = InitializeCpuExceptionHandlers (NULL);
  ASSERT_EFI_ERROR (Status);
  Status = RegisterCpuInterruptHandler (EXCEPT_AARCH64_IRQ, TimerInterruptHandler);
  if (EFI_ERROR (Status)) {
    DEBUG ((DEBUG_ERROR, "BoardArchDxe: cannot register the timer IRQ: %r\n", Status));
    return Status;
  }

  Status = gBS->CreateEventEx (
                  EVT_NOTIFY_SIGNAL,
                  TPL_NOTIFY,
                  IdleLoopEventCallback,
                  NULL,
                  &gIdleLoopEventGuid,
                  &mIdleLoopEvent
                  );
  ASSERT_EFI_ERROR (Status);

  TimerSetTimerPeriod (&mTimer, DEFAULT_TIMER_PERIOD);

  Handle = NULL;
  Status = gBS->InstallMultipleProtocolInterfaces (
                  &Handle,
                  &gEfiCpuArchProtocolGuid,
                  &mCpu,
                  &gEfiTimerArchProtocolGuid,
                  &mTimer,
                  NULL
                  );
  ASSERT_EFI_ERROR (Status);
  return Status;
}
