/** @file
  GUID-extension HOBs in which the earlier boot phases hand over the flash
  layout: the layout table (an array of 16-byte entries after the 24-byte
  GUID HOB header) and the layout summary (two UINT32 values first).

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef FLASH_LAYOUT_HOB_GUID_H_
#define FLASH_LAYOUT_HOB_GUID_H_

#include <LayoutAssert.h>

#define FLASH_LAYOUT_INFO_HOB_GUID \
  { 0x8B9C4095, 0x6A6F, 0x410C, { 0x8F, 0x74, 0x84, 0x04, 0x01, 0x1A, 0xC0, 0x71 } }

#define FLASH_LAYOUT_GLOBAL_HOB_GUID \
  { 0x8B9C4095, 0x6A6F, 0x410C, { 0x8F, 0x74, 0x84, 0x04, 0x01, 0x1A, 0xC0, 0x82 } }

///
/// One entry of the layout table. The earlier boot phase that builds the
/// table gives the four words their meaning; the feature drivers copy them
/// through unchanged.
///
typedef struct {
  UINT32    Word0;
  UINT32    Word1;
  UINT32    Word2;
  UINT32    Word3;
} FLASH_LAYOUT_ENTRY;

///
/// Start of the layout-summary data: two values that describe the layout as
/// a whole. Anything after them is not read.
///
typedef struct {
  UINT32    GlobalValue0;
  UINT32    GlobalValue1;
} FLASH_LAYOUT_GLOBAL;

STATIC_ASSERT_SIZE (FLASH_LAYOUT_ENTRY, 16);
STATIC_ASSERT_OFFSET (FLASH_LAYOUT_ENTRY, Word0, 0);
STATIC_ASSERT_OFFSET (FLASH_LAYOUT_ENTRY, Word1, 4);
STATIC_ASSERT_OFFSET (FLASH_LAYOUT_ENTRY, Word2, 8);
STATIC_ASSERT_OFFSET (FLASH_LAYOUT_ENTRY, Word3, 12);
STATIC_ASSERT_SIZE (FLASH_LAYOUT_GLOBAL, 8);
STATIC_ASSERT_OFFSET (FLASH_LAYOUT_GLOBAL, GlobalValue1, 4);

extern EFI_GUID  gFlashLayoutInfoHobGuid;
extern EFI_GUID  gFlashLayoutGlobalHobGuid;

#endif // FLASH_LAYOUT_HOB_GUID_H_
