/** @file
  Installs the protocols of the board's devices, as the board lists them.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <PiDxe.h>

#include <BoardHypercall.h>
#include <Library/DebugLib.h>
#include <Library/HobLib.h>
#include <Library/UefiBootServicesTableLib.h>

extern EFI_GUID  gArmServerBoardServicesHobGuid;

//
// More entries than any board has: a corrupt count stops here.
//
#define MAX_BOARD_SERVICES  64

/**
  Installs every protocol of the board's list, one handle per group.

  @return EFI_SUCCESS, EFI_NOT_FOUND without the list, EFI_VOLUME_CORRUPTED
          for a list longer than its HOB, or the first install error.
**/
EFI_STATUS
EFIAPI
BoardServicesDxeInitialize (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_HOB_GUID_TYPE    *Hob;
  UINT32               *Header;
  BOARD_SERVICE_ENTRY  *Entries;
  UINT32               Count;
  UINT32               Index;
  UINT32               Group;
  EFI_HANDLE           Handle;
  EFI_STATUS           Status;

  Hob = GetFirstGuidHob (&gArmServerBoardServicesHobGuid);
  if (Hob == NULL) {
    DEBUG ((DEBUG_ERROR, "BoardServicesDxe: no board service list\n"));
    return EFI_NOT_FOUND;
  }

  Header  = GET_GUID_HOB_DATA (Hob);
  Count   = Header[0];
  Entries = (BOARD_SERVICE_ENTRY *)(Header + 2);
  if ((Count > MAX_BOARD_SERVICES) ||
      (GET_GUID_HOB_DATA_SIZE (Hob) < 8 + Count * sizeof (BOARD_SERVICE_ENTRY)))
  {
    DEBUG ((DEBUG_ERROR, "BoardServicesDxe: the service list is corrupt\n"));
    return EFI_VOLUME_CORRUPTED;
  }

  Handle = NULL;
  Group  = MAX_UINT32;
  for (Index = 0; Index < Count; Index++) {
    if (Entries[Index].Group != Group) {
      Handle = NULL;
      Group  = Entries[Index].Group;
    }

    Status = gBS->InstallProtocolInterface (
                    &Handle,
                    &Entries[Index].Protocol,
                    EFI_NATIVE_INTERFACE,
                    (VOID *)(UINTN)Entries[Index].Interface
                    );
    if (EFI_ERROR (Status)) {
      DEBUG ((DEBUG_ERROR, "BoardServicesDxe: %g not installed: %r\n", &Entries[Index].Protocol, Status));
      return Status;
    }
  }

  DEBUG ((DEBUG_INFO, "BoardServicesDxe: %u board protocols installed\n", Count));
  return EFI_SUCCESS;
}
