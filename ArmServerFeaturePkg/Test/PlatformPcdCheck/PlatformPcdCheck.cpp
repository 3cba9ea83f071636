/** @file
  PlatformPcdCheck: prints the package's PCDs as the platform's PCD database
  holds them, one "PlatformPcdCheck: <Name>=<value>" line each, then
  "PlatformPcdCheck: DONE". The values are judged by whoever reads the lines.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

extern "C" {
#include <Uefi.h>
#include <Library/PcdLib.h>
#include <Library/UefiLib.h>
}

#include <Library/EdkCpp.h>

/**
  Entry point: reads each PCD through PcdLib and prints it.

  @param[in]  ImageHandle  The application's image handle.
  @param[in]  SystemTable  The UEFI system table.

  @retval EFI_SUCCESS  Always.
**/
extern "C"
EFI_STATUS
EFIAPI
PlatformPcdCheckMain (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  Print ((CHAR16 *)u"PlatformPcdCheck: PcdSrIovEnable=%d\n", (INT32)PcdGetBool (PcdSrIovEnable));
  Print ((CHAR16 *)u"PlatformPcdCheck: PcdSrIovPlatformFlag=%d\n", (INT32)PcdGetBool (PcdSrIovPlatformFlag));
  Print ((CHAR16 *)u"PlatformPcdCheck: PcdSrIovPlatformValue=%u\n", PcdGet32 (PcdSrIovPlatformValue));
  Print ((CHAR16 *)u"PlatformPcdCheck: PcdSerialPortBaseAddress=0x%lx\n", PcdGetEx64 (&gPlatformTokenSpaceGuid, PcdSerialPortBaseAddress));
  Print ((CHAR16 *)u"PlatformPcdCheck: DONE\n");
  return EFI_SUCCESS;
}
