/** @file
  One SMC to the board (see BoardHypercall.h).

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef BOARD_HYPERCALL_LIB_H_
#define BOARD_HYPERCALL_LIB_H_

#include <BoardHypercall.h>
#include <Library/BaseMemoryLib.h>
#include <Library/ArmSmcLib.h>

/**
  Makes one board hypercall.

  @param[in] Function  The SMC function identifier (BOARD_SMC_*).
  @param[in] Arg1      First argument.
  @param[in] Arg2      Second argument.
  @param[in] Arg3      Third argument.
  @param[in] Arg4      Fourth argument.

  @return What the board returned in X0.
**/
STATIC inline
UINTN
BoardHypercall (
  IN UINTN  Function,
  IN UINTN  Arg1,
  IN UINTN  Arg2,
  IN UINTN  Arg3,
  IN UINTN  Arg4
  )
{
  ARM_SMC_ARGS  Args;

  ZeroMem (&Args, sizeof (Args));
  Args.Arg0 = Function;
  Args.Arg1 = Arg1;
  Args.Arg2 = Arg2;
  Args.Arg3 = Arg3;
  Args.Arg4 = Arg4;
  ArmCallSmc (&Args);
  return Args.Arg0;
}

#endif
