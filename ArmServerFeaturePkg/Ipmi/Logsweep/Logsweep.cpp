/** @file
  Logsweep: erases the BMC's System Event Log (SEL) over IPMI during boot.

  Three bytes of the IpmiSetupData variable decide what happens:

    SelEnable         0 = nothing is done
    EraseSel          0 = no erase on request, 1 = erase once (the byte is then
                      stored back as 0), other = erase at every start
    EraseSelWhenFull  1 = erase when Get SEL Info reports an overflow

  An erase follows the IPMI storage commands: Get SEL Info tells whether the
  BMC supports Reserve SEL; if it does, a reservation is taken and quoted in
  Clear SEL. Clear SEL with "initiate erase" starts the erase; a BMC that does
  not finish within that command is polled with "get erasure status" until it
  reports completion, at most 512 times. A poll that fails (typically because
  the reservation was cancelled by the BMC) is followed by a fresh Reserve
  SEL, whose ID the next poll quotes.

  The BMC is reached only through the platform's IPMI transport protocol; the
  transport strips the completion code from every response and reports a
  failed command as an error status.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

extern "C" {
#include <Uefi.h>
#include <IndustryStandard/IpmiNetFnStorage.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DebugLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
#include <Guid/SetupVariables.h>
#include <Protocol/IpmiTransport.h>
}

#include <IpmiCommand.h>
#include <LayoutAssert.h>
#include <Library/EdkCpp.h>

namespace {
//
// Storage network function, LUN 0.
//
constexpr UINT8  IPMI_STORAGE_LUN = 0;

//
// Get SEL Info OperationSupport bits.
//
constexpr UINT8  OVERFLOW_FLAG_MASK       = IPMI_GET_SEL_INFO_OPERATION_SUPPORT_OVERFLOW_FLAG;
constexpr UINT8  RESERVE_SEL_SUPPORT_MASK = IPMI_GET_SEL_INFO_OPERATION_SUPPORT_RESERVE_SEL_CMD;

//
// Clear SEL: bits 3..0 of the response byte carry the erasure progress.
//
constexpr UINT8  CLEAR_SEL_PROGRESS_MASK = 0x0F;

//
// Status polls of an erase that did not complete within the initiate command.
//
constexpr UINT16  ERASE_STATUS_POLLS = 512;
}

#pragma pack(1)

///
/// Get SEL Info response data as the transport returns it (the completion
/// code is not part of it).
///
typedef struct {
  UINT8     Version;
  UINT16    NoOfEntries;
  UINT16    FreeSpace;
  UINT32    RecentAddTimeStamp;
  UINT32    RecentEraseTimeStamp;
  UINT8     OperationSupport;
} SEL_INFO;

///
/// Reserve SEL response data: the reservation ID, least significant byte first.
///
typedef struct {
  UINT8    ReservationId[2];
} RESERVE_SEL_RESPONSE;

#pragma pack()

STATIC_ASSERT_SIZE (SEL_INFO, 14);
STATIC_ASSERT_OFFSET (SEL_INFO, OperationSupport, 13);
STATIC_ASSERT_SIZE (RESERVE_SEL_RESPONSE, 2);
STATIC_ASSERT_SIZE (IPMI_CLEAR_SEL_REQUEST, 6);
STATIC_ASSERT_OFFSET (IPMI_CLEAR_SEL_REQUEST, Erase, 5);

///
/// The IPMI transport, located by the entry point before anything is sent.
///
STATIC IPMI_TRANSPORT_PROTOCOL  *mIpmiTransport = NULL;

/**
  Sends one Storage (network function 0x0A, LUN 0) command to the BMC.

  The transport is located on the first call unless the entry point has
  already done so. No command is sent while the transport does not report
  the BMC ready.

  @param[in]      Command       The Storage command code.
  @param[in]      RequestData   Request data; NULL when there is none.
  @param[in]      RequestSize   Number of request data bytes.
  @param[out]     ResponseData  Buffer for the response data.
  @param[in,out]  ResponseSize  On entry the size of ResponseData.

  @retval EFI_UNSUPPORTED  The BMC is not ready; nothing was sent.
  @retval Others           The look-up status of the transport, or the
                           status of its SendCommand ().
**/
STATIC
EFI_STATUS
IpmiStorageSendCommand (
  IN     UINT8  Command,
  IN     UINT8  *RequestData,
  IN     UINT8  RequestSize,
  OUT    UINT8  *ResponseData,
  IN OUT UINT8  *ResponseSize
  )
{
  return IpmiSendCommand (
           &mIpmiTransport,
           IPMI_NETFN_STORAGE,
           IPMI_STORAGE_LUN,
           Command,
           RequestData,
           RequestSize,
           ResponseData,
           ResponseSize
           );
}

/**
  Sends Get SEL Info. The response buffer is cleared first, so a transport
  that returns fewer bytes than asked for leaves OperationSupport at 0 (no
  overflow, no Reserve SEL support) rather than at stale data.

  @param[out]  SelInfo  Receives the response data.

  @return The status of the command.
**/
STATIC
EFI_STATUS
GetSelInfo (
  OUT SEL_INFO  *SelInfo
  )
{
  UINT8  ResponseSize;

  ZeroMem (SelInfo, sizeof (*SelInfo));
  ResponseSize = sizeof (*SelInfo);
  return IpmiStorageSendCommand (IPMI_STORAGE_GET_SEL_INFO, NULL, 0, (UINT8 *)SelInfo, &ResponseSize);
}

/**
  Sends Reserve SEL and, when it succeeds, replaces the caller's reservation
  ID with the one the BMC handed out.

  @param[in,out]  ReservationId  The reservation ID; changed only on success.

  @return The status of the command.
**/
STATIC
EFI_STATUS
ReserveSel (
  IN OUT UINT16  *ReservationId
  )
{
  EFI_STATUS            Status;
  RESERVE_SEL_RESPONSE  Response;
  UINT8                 ResponseSize;

  ZeroMem (&Response, sizeof (Response));
  ResponseSize = sizeof (Response);
  Status       = IpmiStorageSendCommand (IPMI_STORAGE_RESERVE_SEL, NULL, 0, (UINT8 *)&Response, &ResponseSize);
  if (!EFI_ERROR (Status)) {
    *ReservationId = (UINT16)(Response.ReservationId[0] | (Response.ReservationId[1] << 8));
  }

  return Status;
}

/**
  Sends Clear SEL with the given reservation ID and action.

  @param[in]   ReservationId  The reservation ID to quote.
  @param[in]   Action         IPMI_CLEAR_SEL_REQUEST_INITIALIZE_ERASE or
                              IPMI_CLEAR_SEL_REQUEST_GET_ERASE_STATUS.
  @param[out]  Progress       Receives the response byte (0 when the command
                              returned nothing).

  @return The status of the command.
**/
STATIC
EFI_STATUS
SendClearSel (
  IN  UINT16  ReservationId,
  IN  UINT8   Action,
  OUT UINT8   *Progress
  )
{
  IPMI_CLEAR_SEL_REQUEST  Request;
  UINT8                   ResponseSize;

  Request.Reserve[0] = (UINT8)(ReservationId & 0xFF);
  Request.Reserve[1] = (UINT8)(ReservationId >> 8);
  Request.AscC       = IPMI_CLEAR_SEL_REQUEST_C_CHAR_ASCII;
  Request.AscL       = IPMI_CLEAR_SEL_REQUEST_L_CHAR_ASCII;
  Request.AscR       = IPMI_CLEAR_SEL_REQUEST_R_CHAR_ASCII;
  Request.Erase      = Action;

  *Progress    = 0;
  ResponseSize = sizeof (*Progress);
  return IpmiStorageSendCommand (IPMI_STORAGE_CLEAR_SEL, (UINT8 *)&Request, sizeof (Request), Progress, &ResponseSize);
}

/**
  Tells whether a Clear SEL response byte reports a completed erase.

  @param[in]  Progress  The response byte.

  @retval TRUE   The erase has completed.
  @retval FALSE  The erase is still in progress.
**/
STATIC
BOOLEAN
IsEraseCompleted (
  IN UINT8  Progress
  )
{
  return (Progress & CLEAR_SEL_PROGRESS_MASK) == IPMI_CLEAR_SEL_RESPONSE_ERASURE_COMPLETED;
}

/**
  Polls the erasure status until the BMC reports completion, at most 512
  times, back to back. A failed poll is followed by a fresh Reserve SEL
  (whether or not the BMC advertised Reserve SEL support), whose ID the next
  poll quotes; when that Reserve SEL fails too, the wait ends with its status.

  @param[in]  ReservationId  The reservation ID of the initiate command.

  @retval EFI_SUCCESS      The BMC reported the erase completed.
  @retval EFI_NO_RESPONSE  512 polls did not see it complete.
  @retval Others           The status of a failed Reserve SEL.
**/
STATIC
EFI_STATUS
WaitTillErased (
  IN UINT16  ReservationId
  )
{
  EFI_STATUS  Status;
  EFI_STATUS  PollStatus;
  UINT16      Counter;
  UINT8       Progress;

  Status = EFI_NO_RESPONSE;
  for (Counter = ERASE_STATUS_POLLS; Counter > 0; Counter--) {
    PollStatus = SendClearSel (ReservationId, IPMI_CLEAR_SEL_REQUEST_GET_ERASE_STATUS, &Progress);
    DEBUG ((
      DEBUG_INFO,
      " IPMI_STORAGE_CLEAR_SEL Status: %x ClearSelResponse: %x Counter: %x\n",
      (UINT32)PollStatus,
      Progress,
      Counter
      ));

    if (EFI_ERROR (PollStatus)) {
      Status = ReserveSel (&ReservationId);
      if (EFI_ERROR (Status)) {
        break;
      }

      Status = EFI_NO_RESPONSE;
    } else if (IsEraseCompleted (Progress)) {
      Status = EFI_SUCCESS;
      break;
    }
  }

  DEBUG ((DEBUG_INFO, "DXE: WaitTillErased Status : %x\n", (UINT32)Status));
  return Status;
}

/**
  Erases the SEL: Get SEL Info, Reserve SEL when the BMC supports it, Clear
  SEL with "initiate erase", then the status polls of WaitTillErased () unless
  the BMC reported completion at once. A failed initiate command does not end
  the erase: the poll loop that follows takes a new reservation on its first
  failed poll.

  @retval EFI_SUCCESS      The SEL is erased.
  @retval EFI_NO_RESPONSE  The BMC never reported completion.
  @retval Others           The status of the Get SEL Info or Reserve SEL that
                           failed.
**/
STATIC
EFI_STATUS
ClearSel (
  VOID
  )
{
  EFI_STATUS  Status;
  SEL_INFO    SelInfo;
  UINT16      ReservationId;
  UINT8       Progress;

  Status = GetSelInfo (&SelInfo);
  DEBUG ((DEBUG_INFO, " IPMI_STORAGE_GET_SEL_INFO Status: %x\n", (UINT32)Status));
  if (EFI_ERROR (Status)) {
    return Status;
  }

  ReservationId = 0x0000;
  if ((SelInfo.OperationSupport & RESERVE_SEL_SUPPORT_MASK) != 0) {
    Status = ReserveSel (&ReservationId);
    if (EFI_ERROR (Status)) {
      return Status;
    }
  }

  Status = SendClearSel (ReservationId, IPMI_CLEAR_SEL_REQUEST_INITIALIZE_ERASE, &Progress);
  DEBUG ((DEBUG_INFO, " IPMI_STORAGE_CLEAR_SEL Status: %x ClearSelResponse: %x\n", (UINT32)Status, Progress));
  if (!EFI_ERROR (Status) && IsEraseCompleted (Progress)) {
    DEBUG ((DEBUG_INFO, "DXE: SEL Cleared\n"));
    return EFI_SUCCESS;
  }

  return WaitTillErased (ReservationId);
}

/**
  Driver entry: reads IpmiSetupData and erases the SEL as it asks. A
  one-time request (EraseSel 1) is consumed by storing the variable back
  with EraseSel 0, with the attributes and the length it was stored with,
  whether or not the erase succeeded. Errors of the erase itself are logged
  and passed over.

  The setup record is read into a zeroed 432-byte pool buffer, so bytes past
  the end of a shorter stored record read as 0; the buffer is freed before
  returning.

  @param[in]  ImageHandle  The image handle of the driver.
  @param[in]  SystemTable  The EFI system table.

  @retval EFI_SUCCESS           The setup options were acted on.
  @retval EFI_UNSUPPORTED       No IPMI transport, or SEL handling is off.
  @retval EFI_OUT_OF_RESOURCES  No buffer for the setup record; the variable
                                was not read.
  @retval Others                The status of GetVariable () or SetVariable ().
**/
extern "C"
EFI_STATUS
EFIAPI
LogsweepEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS                    Status;
  POOL_BUFFER<IPMI_SETUP_DATA>  SetupData;
  UINT32                        Attributes;
  UINTN                         DataSize;
  SEL_INFO                      SelInfo;

  Status = gBS->LocateProtocol (&gIpmiTransportProtocolGuid, NULL, (VOID **)&mIpmiTransport);
  if (EFI_ERROR (Status) || (mIpmiTransport == NULL)) {
    mIpmiTransport = NULL;
    return EFI_UNSUPPORTED;
  }

  //
  // Without a buffer the variable could only be "read" into address 0; do
  // not hand that to the variable service.
  //
  SetupData.Reset (static_cast<IPMI_SETUP_DATA *>(AllocateZeroPool (IPMI_SETUP_DATA_SIZE)));
  if (SetupData.Get () == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  Attributes = 0;
  DataSize   = IPMI_SETUP_DATA_SIZE;
  Status     = gRT->GetVariable (
                      IPMI_SETUP_DATA_VARIABLE_NAME,
                      &gIpmiSetupDataGuid,
                      &Attributes,
                      &DataSize,
                      SetupData.Get ()
                      );
  if (EFI_ERROR (Status)) {
    return Status;
  }

  if (SetupData.Get ()->SelEnable == 0) {
    return EFI_UNSUPPORTED;
  }

  if (SetupData.Get ()->EraseSel != 0) {
    ClearSel ();

    if (SetupData.Get ()->EraseSel == 1) {
      SetupData.Get ()->EraseSel = 0;
      Status                     = gRT->SetVariable (
                                          IPMI_SETUP_DATA_VARIABLE_NAME,
                                          &gIpmiSetupDataGuid,
                                          Attributes,
                                          DataSize,
                                          SetupData.Get ()
                                          );
      if (EFI_ERROR (Status)) {
        return Status;
      }
    }
  }

  if (SetupData.Get ()->EraseSelWhenFull == 1) {
    Status = GetSelInfo (&SelInfo);
    DEBUG ((
      DEBUG_INFO,
      " IPMI_STORAGE_GET_SEL_INFO Status: %x (SelInfo.OperationSupport & OVERFLOW_FLAG_MASK): %x\n",
      (UINT32)Status,
      SelInfo.OperationSupport & OVERFLOW_FLAG_MASK
      ));
    if (!EFI_ERROR (Status) && ((SelInfo.OperationSupport & OVERFLOW_FLAG_MASK) != 0)) {
      ClearSel ();
    }
  }

  return EFI_SUCCESS;
}
