/** @file
  Mainsrestore: sets the BMC's power-restore policy from the platform setup.

  Once per boot the PowerRestorePolicy byte of SystemSetupConfig is mapped to
  an IPMI power-restore policy and sent with Set Power Restore Policy
  (Chassis network function 0x00, command 0x06):

    setup value  policy sent
    1            0x00  the chassis stays off when mains returns
    2            0x01  power is restored to the state it had at the loss
    3            0x02  the chassis always powers up
    4            0x03  no change (the BMC only reports what it supports)
    other        0x00

  The command is sent at every boot on which the variable can be read; its
  outcome is only logged. The BMC keeps the setting; the driver keeps no
  state and writes no variable.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

extern "C" {
#include <Uefi.h>
#include <IndustryStandard/IpmiNetFnChassis.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DebugLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
#include <Guid/SetupVariables.h>
#include <Protocol/IpmiTransport.h>
}

#include <IpmiCommand.h>
#include <Library/EdkCpp.h>
#include <SetupConfigRead.h>

namespace {
constexpr UINT8  IPMI_CHASSIS_LUN = 0;

//
// Power-restore policies of the Set Power Restore Policy request (bits 2..0).
//
constexpr UINT8  POLICY_STAY_OFF       = 0x00;
constexpr UINT8  POLICY_RESTORE_STATE  = 0x01;
constexpr UINT8  POLICY_ALWAYS_ON      = 0x02;
constexpr UINT8  POLICY_NO_CHANGE      = 0x03;

/**
  The policy byte for a PowerRestorePolicy setup value.

  @param[in]  SetupValue  The setup byte.

  @return The IPMI policy; POLICY_STAY_OFF for values the setup does not define.
**/
constexpr
UINT8
PolicyForSetupValue (
  IN UINT8  SetupValue
  )
{
  return (SetupValue == 1) ? POLICY_STAY_OFF :
         (SetupValue == 2) ? POLICY_RESTORE_STATE :
         (SetupValue == 3) ? POLICY_ALWAYS_ON :
         (SetupValue == 4) ? POLICY_NO_CHANGE :
         POLICY_STAY_OFF;
}

STATIC_ASSERT (PolicyForSetupValue (0) == POLICY_STAY_OFF, "0 keeps the initial policy");
STATIC_ASSERT (PolicyForSetupValue (2) == POLICY_RESTORE_STATE, "2 restores the previous state");
STATIC_ASSERT (PolicyForSetupValue (4) == POLICY_NO_CHANGE, "4 asks for no change");
}

STATIC_ASSERT_SIZE (IPMI_SET_POWER_RESTORE_POLICY_REQUEST, 1);

///
/// The IPMI transport as found by the entry point.
///
STATIC IPMI_TRANSPORT_PROTOCOL  *mIpmiTransport = NULL;

///
/// The IPMI transport used for sending, located on the first send.
///
STATIC IPMI_TRANSPORT_PROTOCOL  *mIpmiSendTransport = NULL;

/**
  Sends Set Power Restore Policy with the given policy. The one-byte
  response (the policies the BMC supports) is received and not used.

  @param[in]  Policy  The policy byte (bits 2..0).

  @retval EFI_UNSUPPORTED  The BMC is not ready; nothing was sent.
  @retval EFI_NOT_FOUND    The transport is installed with a NULL interface.
  @retval Others           The look-up status of the transport, or the status
                           of its SendCommand ().
**/
STATIC
EFI_STATUS
SendPowerRestorePolicy (
  IN UINT8  Policy
  )
{
  IPMI_SET_POWER_RESTORE_POLICY_REQUEST  Request;
  UINT8                                  Response;
  UINT8                                  ResponseSize;

  Request.PowerRestorePolicy.Uint8 = Policy;
  Response                         = 0;
  ResponseSize                     = sizeof (Response);
  return IpmiSendCommand (
           &mIpmiSendTransport,
           IPMI_NETFN_CHASSIS,
           IPMI_CHASSIS_LUN,
           IPMI_CHASSIS_SET_POWER_RESTORE_POLICY,
           (UINT8 *)&Request,
           sizeof (Request),
           &Response,
           &ResponseSize
           );
}

/**
  Driver entry: reads SystemSetupConfig and sends the power-restore policy
  it selects. The record is read into a zeroed 184-byte buffer, so a stored
  record too short to hold PowerRestorePolicy (offset 128) reads as 0, which
  sends "stay off" like any other undefined value.

  @param[in]  ImageHandle  The image handle of the driver.
  @param[in]  SystemTable  The EFI system table.

  @retval EFI_SUCCESS    The policy was sent (its outcome is only logged), or
                         the variable could not be read and nothing was sent.
  @retval EFI_NOT_FOUND  The IPMI transport is installed with a NULL
                         interface.
  @retval Others         The look-up status of the IPMI transport.
**/
extern "C"
EFI_STATUS
EFIAPI
MainsrestoreEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS           Status;
  SYSTEM_SETUP_CONFIG  SetupConfig;
  UINTN                StoredSize;
  UINT8                Policy;

  Status = gBS->LocateProtocol (&gIpmiTransportProtocolGuid, NULL, (VOID **)&mIpmiTransport);
  if (EFI_ERROR (Status)) {
    mIpmiTransport = NULL;
    return Status;
  }

  if (mIpmiTransport == NULL) {
    return EFI_NOT_FOUND;
  }

  Status = ReadSystemSetupConfig (&SetupConfig, &StoredSize);
  if (EFI_ERROR (Status)) {
    return EFI_SUCCESS;
  }

  Policy = PolicyForSetupValue (SetupConfig.PowerRestorePolicy);
  Status = SendPowerRestorePolicy (Policy);
  DEBUG ((DEBUG_INFO, "Set Power restore policy=0x%x ,%r\n", Policy, Status));

  return EFI_SUCCESS;
}
