/** @file
  Tells the board about every image the loader places or removes, so the
  board can name the code that runs and watch each entry point return.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <PiDxe.h>

#include <Library/BaseMemoryLib.h>
#include <Library/BoardHypercallLib.h>
#include <Library/PeCoffExtraActionLib.h>

/**
  An image has been loaded and relocated.

  @param[in, out] ImageContext  The loader's context of the image.
**/
VOID
EFIAPI
PeCoffLoaderRelocateImageExtraAction (
  IN OUT PE_COFF_LOADER_IMAGE_CONTEXT  *ImageContext
  )
{
  BoardHypercall (
    BOARD_SMC_IMAGE_LOADED,
    (UINTN)ImageContext->ImageAddress,
    (UINTN)ImageContext->ImageSize,
    (UINTN)ImageContext->EntryPoint,
    (UINTN)ImageContext->PdbPointer
    );
}

/**
  An image is being unloaded.

  @param[in, out] ImageContext  The loader's context of the image.
**/
VOID
EFIAPI
PeCoffLoaderUnloadImageExtraAction (
  IN OUT PE_COFF_LOADER_IMAGE_CONTEXT  *ImageContext
  )
{
  BoardHypercall (BOARD_SMC_IMAGE_UNLOADED, (UINTN)ImageContext->ImageAddress, 0, 0, 0);
}
