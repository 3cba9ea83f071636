/** @file
  GUID-extension HOBs in which the earlier boot phases hand over the flash
  layout: the layout table (an array of 16-byte entries after the 24-byte
  GUID HOB header) and the layout summary (two UINT32 values first).

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef FLASH_LAYOUT_HOB_GUID_H_
#define FLASH_LAYOUT_HOB_GUID_H_

#define FLASH_LAYOUT_INFO_HOB_GUID \
  { 0x8B9C4095, 0x6A6F, 0x410C, { 0x8F, 0x74, 0x84, 0x04, 0x01, 0x1A, 0xC0, 0x71 } }

#define FLASH_LAYOUT_GLOBAL_HOB_GUID \
  { 0x8B9C4095, 0x6A6F, 0x410C, { 0x8F, 0x74, 0x84, 0x04, 0x01, 0x1A, 0xC0, 0x82 } }

extern EFI_GUID  gFlashLayoutInfoHobGuid;
extern EFI_GUID  gFlashLayoutGlobalHobGuid;

#endif // FLASH_LAYOUT_HOB_GUID_H_
