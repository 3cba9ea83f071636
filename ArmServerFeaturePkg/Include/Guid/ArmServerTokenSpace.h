/** @file
  PCD token spaces of the platform PCDs that the feature drivers read and
  write as DynamicEx PCDs.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef ARM_SERVER_TOKEN_SPACE_H_
#define ARM_SERVER_TOKEN_SPACE_H_

#define PLATFORM_TOKEN_SPACE_GUID \
  { 0x0F9E8040, 0x4507, 0x4CE0, { 0x8B, 0x5D, 0xF0, 0x3B, 0xE6, 0x84, 0x7C, 0x02 } }

#define THERMAL_TOKEN_SPACE_GUID \
  { 0x25E4A6F3, 0x3A7D, 0x48AE, { 0x8C, 0x57, 0xCB, 0x75, 0xFD, 0xE8, 0xF1, 0x25 } }

#define RECOVERY_PARAM_TOKEN_SPACE_GUID \
  { 0x8C3ABED4, 0x1FC8, 0x46D3, { 0xB4, 0x17, 0xA3, 0x22, 0x38, 0x14, 0xDE, 0x76 } }

extern EFI_GUID  gPlatformTokenSpaceGuid;
extern EFI_GUID  gThermalTokenSpaceGuid;
extern EFI_GUID  gRecoveryParamTokenSpaceGuid;

#endif // ARM_SERVER_TOKEN_SPACE_H_
