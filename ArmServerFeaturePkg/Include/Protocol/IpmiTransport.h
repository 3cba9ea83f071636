/** @file
  IPMI transport protocol: sends IPMI requests to the baseboard management
  controller (BMC).

  The protocol is produced by a platform module outside this package. Only two
  of its members are relied on here: SendCommand (the first member, slot 0)
  and IsBmcReady (the sixth member, slot 5). The four members between them
  are the producer's business; this package never calls them, so they are
  declared as opaque function pointers.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef IPMI_TRANSPORT_PROTOCOL_H_
#define IPMI_TRANSPORT_PROTOCOL_H_

#include <LayoutAssert.h>

#define IPMI_TRANSPORT_PROTOCOL_GUID \
  { 0xA59BC280, 0x6A9C, 0x456B, { 0x85, 0xAA, 0x7C, 0x49, 0x73, 0x8B, 0x43, 0x83 } }

typedef struct _IPMI_TRANSPORT_PROTOCOL IPMI_TRANSPORT_PROTOCOL;

///
/// IsBmcReady() value that allows a command to be sent.
///
#define IPMI_TRANSPORT_BMC_READY  1

/**
  Builds the CommandId argument of SendCommand(): the network function
  shifted left by two with the LUN in bits 1..0 in the low byte, the command
  code in the high byte.
**/
#define IPMI_TRANSPORT_COMMAND_ID(NetFn, Lun, Command) \
  ((UINT16)((((UINT16)(Command)) << 8) | ((((NetFn) << 2) | ((Lun) & 0x3)) & 0xFF)))

/**
  Sends one IPMI request and receives its response.

  @param[in]      This          The protocol instance.
  @param[in]      CommandId     See IPMI_TRANSPORT_COMMAND_ID.
  @param[in]      RequestData   Request data bytes; NULL when there are none.
  @param[in]      RequestSize   Number of request data bytes.
  @param[out]     ResponseData  Buffer for the response data (the completion
                                code is not included).
  @param[in,out]  ResponseSize  On entry the size of ResponseData.
  @param[in]      Reserved0     Always 0.

  @return EFI_SUCCESS when the BMC answered; any error means the command failed.
**/
typedef
EFI_STATUS
(EFIAPI *IPMI_TRANSPORT_SEND_COMMAND)(
  IN     IPMI_TRANSPORT_PROTOCOL  *This,
  IN     UINT16                   CommandId,
  IN     UINT8                    *RequestData,
  IN     UINT8                    RequestSize,
  OUT    UINT8                    *ResponseData,
  IN OUT UINT8                    *ResponseSize,
  IN     UINTN                    Reserved0
  );

/**
  Reports whether the BMC accepts commands.

  @param[in]  This  The protocol instance.

  @return IPMI_TRANSPORT_BMC_READY when a command may be sent.
**/
typedef
UINT32
(EFIAPI *IPMI_TRANSPORT_IS_BMC_READY)(
  IN IPMI_TRANSPORT_PROTOCOL  *This
  );

/**
  A member that this package does not call; its real signature is the
  producer's.
**/
typedef
VOID
(EFIAPI *IPMI_TRANSPORT_UNUSED_SERVICE)(
  VOID
  );

struct _IPMI_TRANSPORT_PROTOCOL {
  IPMI_TRANSPORT_SEND_COMMAND      SendCommand;   ///< slot 0
  IPMI_TRANSPORT_UNUSED_SERVICE    Reserved1;     ///< slot 1, not called
  IPMI_TRANSPORT_UNUSED_SERVICE    Reserved2;     ///< slot 2, not called
  IPMI_TRANSPORT_UNUSED_SERVICE    Reserved3;     ///< slot 3, not called
  IPMI_TRANSPORT_UNUSED_SERVICE    Reserved4;     ///< slot 4, not called
  IPMI_TRANSPORT_IS_BMC_READY      IsBmcReady;    ///< slot 5
};

STATIC_ASSERT_OFFSET (IPMI_TRANSPORT_PROTOCOL, SendCommand, 0);
STATIC_ASSERT_OFFSET (IPMI_TRANSPORT_PROTOCOL, IsBmcReady, 5 * sizeof (VOID *));

extern EFI_GUID  gIpmiTransportProtocolGuid;

#endif // IPMI_TRANSPORT_PROTOCOL_H_
