/** @file
  Heatwatch: the CPU temperature monitor.

  Every socket has a system-control processor (SCP) that owns the die
  temperature sensor. The driver asks each SCP for sensor 0 once a second
  with an SCMI Sensor-protocol SENSOR_READING_GET request over the socket's
  shared-memory mailbox, which it drives directly through memory-mapped
  registers, and publishes the highest reading in PcdCpuTemperature
  (thousandths of a degree Celsius). When the highest reading reaches 85 C
  it logs a CPU-failure event (SMBIOS event type 0Bh) through the event-log
  protocol and powers the machine off.

  The number of sockets comes from the platform parameter block that the
  earlier boot firmware leaves in memory.

  At ReadyToBoot the driver sets three SoC registers (once) and resets every
  simple-text-input device (at every ReadyToBoot).

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

extern "C" {
#include <Uefi.h>
#include <Guid/ArmServerTokenSpace.h>
#include <Library/ArmLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DebugLib.h>
#include <Library/IoLib.h>
#include <Library/PcdLib.h>
#include <Library/TimerLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
#include <Protocol/GpnvEventLog.h>
#include <Protocol/SimpleTextIn.h>
}

#include <ArmServerBoardMap.h>
#include <LayoutAssert.h>
#include <Library/EdkCpp.h>

namespace {
///
/// One socket's SCMI mailbox channel.
///
typedef struct {
  UINT64    ControlBase;    ///< +0x0C is written 1 at the start of an exchange
  UINT64    DoorbellBase;   ///< +0x08 is written with the message header
  UINT64    SharedMemory;   ///< the SCMI shared-memory transport area
} SCMI_CHANNEL;

//
// SCMI shared-memory transport layout (32-bit little-endian fields).
//
constexpr UINTN   SCMI_SHMEM_CHANNEL_STATUS  = 0x04;
constexpr UINTN   SCMI_SHMEM_CHANNEL_FLAGS   = 0x10;
constexpr UINTN   SCMI_SHMEM_LENGTH          = 0x14;
constexpr UINTN   SCMI_SHMEM_MESSAGE_HEADER  = 0x18;
constexpr UINTN   SCMI_SHMEM_MESSAGE_PAYLOAD = 0x1C;
constexpr UINT32  SCMI_CHANNEL_STATUS_FREE   = BIT0;
constexpr UINT32  SCMI_CHANNEL_STATUS_ERROR  = BIT1;

//
// SCMI message header: message id in bits 7:0, type in bits 9:8 (0 is a
// command), protocol id in bits 17:10, token in bits 27:18.
//
constexpr UINT32  SCMI_PROTOCOL_SENSOR     = 0x15;
constexpr UINT32  SCMI_SENSOR_READING_GET  = 0x06;
constexpr UINT32  SCMI_SENSOR_READING_GET_HEADER = (SCMI_PROTOCOL_SENSOR << 10) | SCMI_SENSOR_READING_GET;
STATIC_ASSERT (SCMI_SENSOR_READING_GET_HEADER == 0x5406, "SENSOR_READING_GET command header, token 0");

///
/// The SENSOR_READING_GET request payload: sensor 0, synchronous.
///
constexpr UINT32  SCMI_TEMPERATURE_SENSOR_ID   = 0;
constexpr UINT32  SCMI_SENSOR_READING_SYNC     = 0;
constexpr UINT32  SCMI_REQUEST_LENGTH          = sizeof (UINT32) * 3;   // header, sensor_id, flags

///
/// Response payload words: status (INT32), sensor_value_low, sensor_value_high.
///
constexpr UINTN  SCMI_RESPONSE_STATUS_WORD = 0;
constexpr UINTN  SCMI_RESPONSE_VALUE_WORD  = 1;

///
/// The caller's buffer for a response payload, and the length field range
/// that fits it: the 4-byte header plus at most 128 payload bytes.
///
constexpr UINTN  SCMI_PAYLOAD_WORDS      = 32;
constexpr UINTN  SCMI_MIN_MESSAGE_LENGTH = sizeof (UINT32);
constexpr UINTN  SCMI_MAX_MESSAGE_LENGTH = sizeof (UINT32) + SCMI_PAYLOAD_WORDS * sizeof (UINT32);
STATIC_ASSERT (SCMI_MAX_MESSAGE_LENGTH == 132, "header plus the 128-byte payload buffer");

///
/// Response polls, each after a 1 ms delay on the architectural timer.
///
constexpr UINTN  SCMI_RESPONSE_POLLS        = 500;
constexpr UINTN  SCMI_POLL_DELAY_MICROSECONDS = 1000;

///
/// Temperature check: once a second (100 ns units), power-off at 85 C.
///
constexpr UINT64  TEMPERATURE_POLL_PERIOD  = 10000000;
constexpr UINT32  MILLIDEGREES_PER_DEGREE  = 1000;
constexpr UINT32  SHUTDOWN_MILLIDEGREES    = 85000;

///
/// SMBIOS event-log type of a CPU failure.
///
constexpr UINT8  EVENT_LOG_TYPE_CPU_FAILURE = 0x0B;

//
// Platform parameter block.
//
constexpr UINTN  PARAMETER_BLOCK_SIZE_OFFSET   = 8;
constexpr UINTN  PARAMETER_BLOCK_SOCKET_OFFSET = 12;

//
// Fixed tags of the diagnostic messages (not __LINE__), so that the boot
// log reads the same whatever the layout of this file.
//
constexpr UINTN  OVER_TEMPERATURE_MESSAGE_LINE  = 204;
constexpr UINTN  TEXT_INPUT_ENTRY_MESSAGE_LINE  = 258;
constexpr UINTN  TEXT_INPUT_DEVICE_MESSAGE_LINE = 272;
}

/**
  Reads the socket count from the platform parameter block.

  The block is copied (Size bytes) into a cleared 256-byte buffer and the
  count taken from the copy, so a block shorter than 13 bytes gives 0.

  @param[out]  SocketCount  The number of sockets; 0 on any failure.

  @retval EFI_SUCCESS           The count was read.
  @retval EFI_NOT_FOUND         The block's signature is wrong.
  @retval EFI_BUFFER_TOO_SMALL  The block claims to be larger than 256 bytes.
**/
STATIC
EFI_STATUS
GetSocketCount (
  OUT UINT8  *SocketCount
  )
{
  UINT8   Block[BOARD_PARAMETER_BLOCK_MAX_SIZE];
  UINT32  Size;

  ZeroMem (Block, sizeof (Block));
  *SocketCount = 0;
  if (*(volatile UINT32 *)(UINTN)BOARD_PARAMETER_BLOCK_BASE != BOARD_PARAMETER_BLOCK_SIGNATURE) {
    return EFI_NOT_FOUND;
  }

  Size = *(volatile UINT32 *)(UINTN)(BOARD_PARAMETER_BLOCK_BASE + PARAMETER_BLOCK_SIZE_OFFSET);
  if (Size > BOARD_PARAMETER_BLOCK_MAX_SIZE) {
    DEBUG ((DEBUG_ERROR, "DataSize is too small\n"));
    return EFI_BUFFER_TOO_SMALL;
  }

  CopyMem (Block, (VOID *)(UINTN)BOARD_PARAMETER_BLOCK_BASE, Size);
  *SocketCount = Block[PARAMETER_BLOCK_SOCKET_OFFSET];
  return EFI_SUCCESS;
}

/**
  Builds the mailbox channel of one socket.

  @param[in]   Socket   The socket number, from 0.
  @param[out]  Channel  The channel's addresses.
**/
STATIC
VOID
GetScmiChannel (
  IN  UINTN         Socket,
  OUT SCMI_CHANNEL  *Channel
  )
{
  Channel->ControlBase  = BOARD_SOCKET_ADDRESS (BOARD_SCMI_CONTROL_BASE, Socket);
  Channel->DoorbellBase = BOARD_SOCKET_ADDRESS (BOARD_SCMI_DOORBELL_BASE, Socket);
  Channel->SharedMemory = BOARD_SOCKET_ADDRESS (BOARD_SCMI_SHARED_MEMORY_BASE, Socket);
}

/**
  Runs one SENSOR_READING_GET exchange for sensor 0 on a socket's channel:
  posts the request in shared memory, rings the doorbell and polls the
  channel-free bit for the response. Every access is a single aligned 32-bit
  access.

  The channel is handed back either with a reply or with the channel-error
  bit set, which says the transport failed and the shared memory holds no
  reply; and a reply whose header is not the request's answers some other
  message. Neither is taken for a reading.

  @param[in]   Channel    The socket's mailbox channel.
  @param[out]  Payload    The response payload, 32 words; words the response
                          does not carry read 0.
  @param[out]  WordCount  The number of payload words received.

  @retval EFI_SUCCESS         The response is in Payload.
  @retval EFI_TIMEOUT         No response after 500 polls of 1 ms.
  @retval EFI_DEVICE_ERROR    The SCP reported a channel error.
  @retval EFI_PROTOCOL_ERROR  The response header is not the request's, or
                              its length does not fit the buffer.
**/
STATIC
EFI_STATUS
ScmiSensorReadingGet (
  IN  CONST SCMI_CHANNEL  *Channel,
  OUT UINT32              Payload[SCMI_PAYLOAD_WORDS],
  OUT UINTN               *WordCount
  )
{
  UINTN   Shm;
  UINT32  ChannelStatus;
  UINT32  Header;
  UINT32  Length;
  UINTN   Poll;
  UINTN   Index;

  Shm        = (UINTN)Channel->SharedMemory;
  *WordCount = 0;
  ZeroMem (Payload, SCMI_PAYLOAD_WORDS * sizeof (UINT32));

  MmioWrite32 ((UINTN)Channel->ControlBase + BOARD_SCMI_CONTROL_START_OFFSET, 1);

  //
  // Post the request while the channel is ours, then hand it to the SCP by
  // clearing the channel-free bit, and with it the channel-error bit an
  // earlier failed exchange may have left.
  //
  MmioWrite32 (Shm + SCMI_SHMEM_MESSAGE_PAYLOAD, SCMI_TEMPERATURE_SENSOR_ID);
  MmioWrite32 (Shm + SCMI_SHMEM_MESSAGE_PAYLOAD + sizeof (UINT32), SCMI_SENSOR_READING_SYNC);
  MmioWrite32 (Shm + SCMI_SHMEM_LENGTH, SCMI_REQUEST_LENGTH);
  MmioWrite32 (Shm + SCMI_SHMEM_CHANNEL_FLAGS, 0);
  MmioWrite32 (Shm + SCMI_SHMEM_MESSAGE_HEADER, SCMI_SENSOR_READING_GET_HEADER);
  ChannelStatus = MmioRead32 (Shm + SCMI_SHMEM_CHANNEL_STATUS);
  MmioWrite32 (Shm + SCMI_SHMEM_CHANNEL_STATUS, ChannelStatus & ~(SCMI_CHANNEL_STATUS_FREE | SCMI_CHANNEL_STATUS_ERROR));

  //
  // The shared-memory writes must land before the doorbell, and the
  // doorbell before the first status poll.
  //
  ArmDataMemoryBarrier ();
  MmioWrite32 ((UINTN)Channel->DoorbellBase + BOARD_SCMI_DOORBELL_OFFSET, MmioRead32 (Shm + SCMI_SHMEM_MESSAGE_HEADER));
  ArmDataMemoryBarrier ();

  for (Poll = 0; Poll < SCMI_RESPONSE_POLLS; Poll++) {
    MicroSecondDelay (SCMI_POLL_DELAY_MICROSECONDS);
    ChannelStatus = MmioRead32 (Shm + SCMI_SHMEM_CHANNEL_STATUS);
    if ((ChannelStatus & SCMI_CHANNEL_STATUS_FREE) != 0) {
      break;
    }
  }

  if ((ChannelStatus & SCMI_CHANNEL_STATUS_FREE) == 0) {
    DEBUG ((DEBUG_ERROR, "Scmi receive message failed! Status : %r\n", EFI_TIMEOUT));
    return EFI_TIMEOUT;
  }

  ArmDataMemoryBarrier ();

  if ((ChannelStatus & SCMI_CHANNEL_STATUS_ERROR) != 0) {
    DEBUG ((DEBUG_ERROR, "Scmi channel error, channel status 0x%x\n", ChannelStatus));
    return EFI_DEVICE_ERROR;
  }

  Header = MmioRead32 (Shm + SCMI_SHMEM_MESSAGE_HEADER);
  if (Header != SCMI_SENSOR_READING_GET_HEADER) {
    DEBUG ((DEBUG_ERROR, "Scmi response header 0x%x does not answer request 0x%x\n", Header, SCMI_SENSOR_READING_GET_HEADER));
    return EFI_PROTOCOL_ERROR;
  }

  //
  // The length covers the header and the payload. Anything outside what the
  // buffer can take is a broken response: copy nothing.
  //
  Length = MmioRead32 (Shm + SCMI_SHMEM_LENGTH);
  if ((Length < SCMI_MIN_MESSAGE_LENGTH) || (Length > SCMI_MAX_MESSAGE_LENGTH)) {
    DEBUG ((DEBUG_ERROR, "Scmi response length %u is out of range\n", Length));
    return EFI_PROTOCOL_ERROR;
  }

  *WordCount = (Length - SCMI_MIN_MESSAGE_LENGTH) / sizeof (UINT32);
  for (Index = 0; Index < *WordCount; Index++) {
    Payload[Index] = MmioRead32 (Shm + SCMI_SHMEM_MESSAGE_PAYLOAD + Index * sizeof (UINT32));
  }

  return EFI_SUCCESS;
}

/**
  Timer notify function, once a second: reads every socket's temperature,
  publishes the highest in PcdCpuTemperature and, at 85 C or more, logs a
  CPU-failure event and powers the machine off.

  A failed exchange, a negative SCMI status or a response without a reading
  ends the pass with nothing published.

  A reading is a signed temperature in degrees Celsius (the sensor value's
  low word, in two's complement): below zero is cold, never hot. The highest
  reading is published saturated to what the 32-bit PCD can hold: a pass
  whose highest reading is below zero publishes 0, and one whose reading in
  thousandths does not fit 32 bits publishes 0xFFFFFFFF and shuts down, as
  the hottest reading it stands for must.

  @param[in]  Event    The timer event.
  @param[in]  Context  Not used.
**/
STATIC
VOID
EFIAPI
DetectTemprature (
  IN EFI_EVENT  Event,
  IN VOID       *Context
  )
{
  EFI_STATUS               Status;
  UINT8                    SocketCount;
  UINTN                    Socket;
  SCMI_CHANNEL             Channel;
  UINT32                   Payload[SCMI_PAYLOAD_WORDS];
  UINTN                    WordCount;
  INT32                    Reading;
  INT32                    Highest;
  UINT64                   Millidegrees;
  UINT32                   Value;
  GPNV_EVENT_LOG_PROTOCOL  *EventLog;
  EFI_TIME                 Time;

  GetSocketCount (&SocketCount);

  //
  // A count beyond the board's sockets comes from a corrupt block: there is
  // no channel to ask, and a partial answer would not be the machine's
  // temperature.
  //
  if (SocketCount > BOARD_MAX_SOCKET_COUNT) {
    DEBUG ((DEBUG_ERROR, "SocketCount %u exceeds the %u sockets of the board\n", SocketCount, BOARD_MAX_SOCKET_COUNT));
    return;
  }

  Highest = 0;
  for (Socket = 0; Socket < SocketCount; Socket++) {
    GetScmiChannel (Socket, &Channel);
    Status = ScmiSensorReadingGet (&Channel, Payload, &WordCount);
    if (EFI_ERROR (Status) || (WordCount <= SCMI_RESPONSE_STATUS_WORD) ||
        ((INT32)Payload[SCMI_RESPONSE_STATUS_WORD] < 0))
    {
      return;
    }

    if (WordCount <= SCMI_RESPONSE_VALUE_WORD) {
      DEBUG ((DEBUG_ERROR, "Scmi response of socket %u carries no reading\n", (UINT32)Socket));
      return;
    }

    Reading = (INT32)Payload[SCMI_RESPONSE_VALUE_WORD];
    if (Reading > Highest) {
      Highest = Reading;
    }
  }

  //
  // Highest is 0 or more here; the product needs up to 41 bits.
  //
  Millidegrees = (UINT64)Highest * MILLIDEGREES_PER_DEGREE;
  Value        = (Millidegrees > MAX_UINT32) ? MAX_UINT32 : (UINT32)Millidegrees;
  PcdSetEx32S (&gThermalTokenSpaceGuid, PcdCpuTemperature, Value);
  if (Value < SHUTDOWN_MILLIDEGREES) {
    return;
  }

  DEBUG ((DEBUG_ERROR, "BIOS:  In scpi, line %d. \n", OVER_TEMPERATURE_MESSAGE_LINE));
  Status = gBS->LocateProtocol (&gGpnvEventLogProtocolGuid, NULL, (VOID **)&EventLog);
  if (!EFI_ERROR (Status) && (EventLog != NULL)) {
    DEBUG ((DEBUG_ERROR, "found event log protocol in DetectTemprature. \n"));
    ZeroMem (&Time, sizeof (Time));
    gRT->GetTime (&Time, NULL);
    EventLog->WriteEventLog (EventLog, EVENT_LOG_TYPE_CPU_FAILURE, 0, 0, 0, NULL, &Time);
  } else {
    //
    // The event cannot be recorded, but a CPU at this temperature must not
    // keep running.
    //
    DEBUG ((DEBUG_ERROR, "Event log protocol not found: %r; powering off without a record\n", Status));
  }

  gRT->ResetSystem (EfiResetShutdown, EFI_SUCCESS, 0, NULL);
}

/**
  ReadyToBoot notify function: sets the three SoC registers, then closes its
  own event so that it runs once.

  @param[in]  Event    The ReadyToBoot event.
  @param[in]  Context  Not used.
**/
STATIC
VOID
EFIAPI
ReadyToBootRegisterSetup (
  IN EFI_EVENT  Event,
  IN VOID       *Context
  )
{
  UINT32  Value;

  Value = MmioRead32 (BOARD_PLATFORM_REG_31D0);
  MmioWrite32 (BOARD_PLATFORM_REG_31D0, (Value & ~BOARD_PLATFORM_REG_31D0_FIELD_MASK) | BOARD_PLATFORM_REG_31D0_FIELD_VALUE);
  MmioRead32 (BOARD_PLATFORM_REG_31D0);

  MmioOr32 (BOARD_PLATFORM_REG_A004, BOARD_PLATFORM_REG_A00X_BIT);
  MmioAnd32 (BOARD_PLATFORM_REG_A000, ~(UINT32)BOARD_PLATFORM_REG_A00X_BIT);

  gBS->CloseEvent (Event);
}

/**
  ReadyToBoot notify function: resets every simple-text-input device, in
  the order the handle database returns them. Runs at every ReadyToBoot.

  @param[in]  Event    The ReadyToBoot event.
  @param[in]  Context  Not used.
**/
STATIC
VOID
EFIAPI
PatchOnReadyToForZyv (
  IN EFI_EVENT  Event,
  IN VOID       *Context
  )
{
  EFI_STATUS                      Status;
  UINTN                           HandleCount;
  EFI_HANDLE                      *Handles;
  UINTN                           Index;
  EFI_SIMPLE_TEXT_INPUT_PROTOCOL  *TextIn;

  DEBUG ((DEBUG_INFO, "dravdebug: %a(), Line:%d\n", "PatchOnReadyToForZyv", TEXT_INPUT_ENTRY_MESSAGE_LINE));

  HandleCount = 0;
  Handles     = NULL;
  gBS->LocateHandleBuffer (ByProtocol, &gEfiSimpleTextInProtocolGuid, NULL, &HandleCount, &Handles);
  for (Index = 0; Index < HandleCount; Index++) {
    DEBUG ((DEBUG_INFO, "dravdebug: %a(), Line:%d\n", "PatchOnReadyToForZyv", TEXT_INPUT_DEVICE_MESSAGE_LINE));
    TextIn = NULL;
    Status = gBS->HandleProtocol (Handles[Index], &gEfiSimpleTextInProtocolGuid, (VOID **)&TextIn);
    if (EFI_ERROR (Status) || (TextIn == NULL)) {
      continue;
    }

    TextIn->Reset (TextIn, FALSE);
  }

  if (Handles != NULL) {
    Status = gBS->FreePool (Handles);
    ASSERT_EFI_ERROR (Status);
  }
}

/**
  Entry point: starts the once-a-second temperature check and registers the
  two ReadyToBoot callbacks.

  @param[in]  ImageHandle  The image handle.
  @param[in]  SystemTable  The system table.

  @retval EFI_SUCCESS  Always; the driver stays resident.
**/
extern "C"
EFI_STATUS
EFIAPI
HeatwatchEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS  Status;
  EFI_EVENT   TimerEvent;
  EFI_EVENT   RegisterEvent;
  EFI_EVENT   TextInputEvent;

  TimerEvent = NULL;
  gBS->CreateEvent (EVT_TIMER | EVT_NOTIFY_SIGNAL, TPL_CALLBACK, DetectTemprature, NULL, &TimerEvent);
  gBS->SetTimer (TimerEvent, TimerPeriodic, TEMPERATURE_POLL_PERIOD);

  Status = EfiCreateEventReadyToBootEx (TPL_CALLBACK, ReadyToBootRegisterSetup, NULL, &RegisterEvent);
  ASSERT_EFI_ERROR (Status);

  Status = EfiCreateEventReadyToBootEx (TPL_CALLBACK, PatchOnReadyToForZyv, NULL, &TextInputEvent);
  ASSERT_EFI_ERROR (Status);

  return EFI_SUCCESS;
}
