/** @file
  Marker protocols with no interface that gate the dispatch of optional
  network drivers: each is installed (on a new handle, with a NULL interface)
  when the setup options enable the corresponding part of the network stack,
  and the gated drivers name it in their dependency expressions.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef NETWORK_DEPEX_PROTOCOL_H_
#define NETWORK_DEPEX_PROTOCOL_H_

#define NETWORK_MODE1_DEPEX_PROTOCOL_GUID \
  { 0x744F73EE, 0x454C, 0x4C5D, { 0xBB, 0x58, 0x45, 0x23, 0xD4, 0x1A, 0x3B, 0x8C } }

#define NETWORK_MODE2_DEPEX_PROTOCOL_GUID \
  { 0x744F73EE, 0x454C, 0x4C5D, { 0xBB, 0x58, 0x45, 0x23, 0xD4, 0x1B, 0x3C, 0x8D } }

#define NETWORK_OPTION_A_DEPEX_PROTOCOL_GUID \
  { 0x38582560, 0x0F96, 0xEE54, { 0x96, 0x08, 0xDD, 0x28, 0x0D, 0x47, 0xA0, 0x9D } }

#define NETWORK_OPTION_B_DEPEX_PROTOCOL_GUID \
  { 0x744F73EE, 0x454C, 0x4C5D, { 0xBB, 0x58, 0x45, 0x23, 0xD4, 0x11, 0x31, 0x82 } }

#define NETWORK_UNDI_DEPEX_PROTOCOL_GUID \
  { 0x5A040973, 0xDAC7, 0x40BC, { 0xA4, 0x84, 0x4C, 0x04, 0xDF, 0x3A, 0x49, 0x6B } }

extern EFI_GUID  gNetworkMode1DepexProtocolGuid;
extern EFI_GUID  gNetworkMode2DepexProtocolGuid;
extern EFI_GUID  gNetworkOptionADepexProtocolGuid;
extern EFI_GUID  gNetworkOptionBDepexProtocolGuid;
extern EFI_GUID  gNetworkUndiDepexProtocolGuid;

#endif // NETWORK_DEPEX_PROTOCOL_H_
