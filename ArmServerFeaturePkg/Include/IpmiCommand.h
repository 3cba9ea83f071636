/** @file
  The one way the modules of this package send an IPMI request to the BMC:
  through the platform's IPMI transport protocol, located on first use, and
  only while the transport reports the BMC ready.

  C++ only; include it after the extern "C" block of EDK II headers.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef IPMI_COMMAND_H_
#define IPMI_COMMAND_H_

extern "C" {
#include <Uefi.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Protocol/IpmiTransport.h>
}

/**
  Sends one IPMI request and receives its response data.

  @param[in,out]  Transport     The module's transport pointer; located and
                                stored on first use when NULL.
  @param[in]      NetFn         The network function.
  @param[in]      Lun           The LUN.
  @param[in]      Command       The command code.
  @param[in]      RequestData   Request data; NULL when there is none.
  @param[in]      RequestSize   Number of request data bytes.
  @param[out]     ResponseData  Buffer for the response data.
  @param[in,out]  ResponseSize  On entry the size of ResponseData.

  @retval EFI_NOT_FOUND    The transport is installed with a NULL interface.
  @retval EFI_UNSUPPORTED  The BMC is not ready; nothing was sent.
  @retval Others           The look-up status of the transport, or the status
                           of its SendCommand ().
**/
inline
EFI_STATUS
IpmiSendCommand (
  IN OUT IPMI_TRANSPORT_PROTOCOL  **Transport,
  IN     UINT8                    NetFn,
  IN     UINT8                    Lun,
  IN     UINT8                    Command,
  IN     UINT8                    *RequestData,
  IN     UINT8                    RequestSize,
  OUT    UINT8                    *ResponseData,
  IN OUT UINT8                    *ResponseSize
  )
{
  EFI_STATUS  Status;

  if (*Transport == NULL) {
    Status = gBS->LocateProtocol (&gIpmiTransportProtocolGuid, NULL, (VOID **)Transport);
    if (EFI_ERROR (Status)) {
      *Transport = NULL;
      return Status;
    }

    //
    // A transport installed with a NULL interface cannot be called.
    //
    if (*Transport == NULL) {
      return EFI_NOT_FOUND;
    }
  }

  if ((*Transport)->IsBmcReady (*Transport) != IPMI_TRANSPORT_BMC_READY) {
    return EFI_UNSUPPORTED;
  }

  return (*Transport)->SendCommand (
                         *Transport,
                         IPMI_TRANSPORT_COMMAND_ID (NetFn, Lun, Command),
                         RequestData,
                         RequestSize,
                         ResponseData,
                         ResponseSize,
                         0
                         );
}

#endif // IPMI_COMMAND_H_
