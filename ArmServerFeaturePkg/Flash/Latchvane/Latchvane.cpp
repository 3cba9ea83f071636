/** @file
  Latchvane: write-protects the firmware volumes of the boot flash.

  The boot flash is a 16 MiB Winbond W25Q-family SPI NOR part behind the
  board's NOR flash controller. With Status Register-3 bit WPS set, the part
  protects its array by individual lock bits, one per 64 KiB block except in
  the bottom and the top block, which have one per 4 KiB sector. The lock
  bits are volatile and all come up set at power-on. When dispatched, and
  again at ReadyToBoot, this driver sets WPS when it is clear and then
  unlocks every block and sector outside the protected firmware volumes, so
  the volumes stay locked until the next power-on while the rest of the
  flash (event log, ACPI data) is writable for the rest of the boot and the
  operating system's runtime.

  Every status poll is bounded by a time-out on the architectural timer.
  When the part does not answer in time the pass stops there: the blocks it
  has not reached stay locked, which is never less protection than before.

  Copyright (c) 2024, ArmServerFeaturePkg authors. All rights reserved.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

extern "C" {
#include <Uefi.h>
#include <Library/DebugLib.h>
#include <Library/IoLib.h>
#include <Library/TimerLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
}

#include <ArmServerBoardMap.h>
#include <LayoutAssert.h>
#include <Library/EdkCpp.h>

///
/// One flash region that stays locked: byte offset in the part and size.
///
typedef struct {
  UINT64    Base;
  UINT64    Size;
} FV_PROTECT_REGION;

STATIC_ASSERT_SIZE (FV_PROTECT_REGION, 16);
STATIC_ASSERT_OFFSET (FV_PROTECT_REGION, Base, 0);
STATIC_ASSERT_OFFSET (FV_PROTECT_REGION, Size, 8);

namespace {
//
// NOR flash controller registers (32-bit, at mNorFlashControlBase).
//
constexpr UINTN  NOR_CMD_REG      = 0x10;   // command word of a command without address
constexpr UINTN  NOR_DATA_HI_REG  = 0x18;   // upper data word of a status-register write
constexpr UINTN  NOR_DATA_LO_REG  = 0x1C;   // read: response; write: starts the transfer
constexpr UINTN  NOR_ADDR_CMD_REG = 0x20;   // command word of an addressed command
constexpr UINTN  NOR_ADDR_REG     = 0x24;   // flash byte address of an addressed command

//
// Controller command words, each carrying one W25Q instruction.
//
constexpr UINT32  NOR_CMD_READ_JEDEC_ID    = 0x9F000020;   // 9Fh
constexpr UINT32  NOR_CMD_READ_STATUS1     = 0x00000501;   // 05h
constexpr UINT32  NOR_CMD_READ_STATUS3     = 0x00001501;   // 15h
constexpr UINT32  NOR_CMD_WRITE_ENABLE     = 0x00000600;   // 06h
constexpr UINT32  NOR_CMD_WRITE_DISABLE    = 0x00000400;   // 04h
constexpr UINT32  NOR_CMD_WRITE_STATUS3    = 0x00001101;   // 11h
constexpr UINT32  NOR_CMD_UNLOCK_BLOCK     = 0x00003944;   // 39h, addressed
constexpr UINT32  NOR_DATA_START           = 1;            // starts a transfer without data

//
// Status bits: Status Register-1 BUSY and WEL, Status Register-3 WPS.
//
constexpr UINT32  NOR_SR1_BUSY = 0x01;
constexpr UINT32  NOR_SR1_WEL  = 0x02;
constexpr UINT32  NOR_SR3_WPS  = 0x04;

//
// JEDEC ID of the expected part as the controller returns it: manufacturer
// EFh (Winbond) in the low byte, memory type 40h, capacity code 18h (16 MiB).
//
constexpr UINT32  W25Q_JEDEC_ID = 0x001840EF;

//
// Flash geometry. The bottom and the top 64 KiB blocks carry one lock bit per
// 4 KiB sector; every other block has one lock bit.
//
constexpr UINT64  W25Q_BLOCK_SIZE     = BOARD_FLASH_BLOCK_SIZE;
constexpr UINT64  W25Q_SECTOR_SIZE    = BOARD_FLASH_SECTOR_SIZE;
constexpr UINT64  W25Q_PART_SIZE      = BOARD_FLASH_SIZE;
constexpr UINT32  W25Q_BOTTOM_BLOCK   = 0x000000;
constexpr UINT32  W25Q_TOP_BLOCK      = (UINT32)(W25Q_PART_SIZE - W25Q_BLOCK_SIZE);

STATIC_ASSERT (W25Q_TOP_BLOCK == 0xFF0000, "the top block of a 16 MiB part is at 0xFF0000");
STATIC_ASSERT (W25Q_BLOCK_SIZE % W25Q_SECTOR_SIZE == 0, "a block is a whole number of sectors");

//
// Longest wait for one status condition. The W25Q's slowest operation these
// polls wait for is a non-volatile status-register write, at most 15 ms
// (tW); the time-out allows several times that.
//
constexpr UINT64  NOR_POLL_TIMEOUT_NS = 100ULL * 1000 * 1000;

constexpr UINTN  FV_PROTECT_REGION_COUNT = 4;
}

///
/// MMIO base of the NOR flash controller, stored on every pass.
///
STATIC UINTN  mNorFlashControlBase;

///
/// The regions that stay locked, by ascending Base. Entries 0 and 3 anchor
/// the start and the end of the part; entries 1 and 2, the protected firmware
/// volumes, are filled in at each ReadyToBoot before the pass.
///
STATIC FV_PROTECT_REGION  mFvProtectRegion[FV_PROTECT_REGION_COUNT] = {
  { 0,              0 },
  { 0,              0 },
  { 0,              0 },
  { W25Q_PART_SIZE, 0 }
};

/**
  Sends one controller command that has no address and no data.

  @param[in]  Command  The command word.
**/
STATIC
VOID
NorSendCommand (
  IN UINT32  Command
  )
{
  MmioWrite32 (mNorFlashControlBase + NOR_CMD_REG, Command);
  MmioWrite32 (mNorFlashControlBase + NOR_DATA_LO_REG, NOR_DATA_START);
}

/**
  Reads a status register of the part.

  @param[in]  Index  3 for Status Register-3; any other value reads
                     Status Register-1.

  @return The controller's response word; the status byte is in bits 7:0.
**/
STATIC
UINT32
NorReadStatus (
  IN UINT8  Index
  )
{
  MmioWrite32 (mNorFlashControlBase + NOR_CMD_REG, (Index == 3) ? NOR_CMD_READ_STATUS3 : NOR_CMD_READ_STATUS1);
  return MmioRead32 (mNorFlashControlBase + NOR_DATA_LO_REG);
}

/**
  Repeats {send Command when it is not 0; read Status Register-1} until the
  bits in Mask read as Want, or until the poll time-out has passed on the
  architectural timer.

  @param[in]  Command  Command word sent before each status read, or 0.
  @param[in]  Mask     The Status Register-1 bits to test.
  @param[in]  Want     The value those bits must have.
  @param[in]  What     What is awaited, for the time-out message.

  @retval EFI_SUCCESS  The bits reached the wanted value.
  @retval EFI_TIMEOUT  They did not within the time-out; a message says so.
**/
STATIC
EFI_STATUS
NorPollStatus1 (
  IN UINT32       Command,
  IN UINT32       Mask,
  IN UINT32       Want,
  IN CONST CHAR8  *What
  )
{
  UINT64  Start;
  UINT32  Status1;

  Start = GetPerformanceCounter ();
  for ( ; ;) {
    if (Command != 0) {
      NorSendCommand (Command);
    }

    Status1 = NorReadStatus (1);
    if ((Status1 & Mask) == Want) {
      return EFI_SUCCESS;
    }

    if (GetTimeInNanoSecond (GetPerformanceCounter () - Start) > NOR_POLL_TIMEOUT_NS) {
      DEBUG ((DEBUG_ERROR, "%a: timed out waiting for %a, Status Register-1 = 0x%x\n", __FUNCTION__, What, Status1));
      return EFI_TIMEOUT;
    }
  }
}

/**
  Sets the part's write-enable latch: Write Enable, then Status Register-1,
  repeated until WEL reads 1.

  @retval EFI_SUCCESS  WEL is set.
  @retval EFI_TIMEOUT  WEL did not set within the poll time-out.
**/
STATIC
EFI_STATUS
NorWriteEnable (
  VOID
  )
{
  return NorPollStatus1 (NOR_CMD_WRITE_ENABLE, NOR_SR1_WEL, NOR_SR1_WEL, "WEL set");
}

/**
  Clears the part's write-enable latch: Write Disable, then Status
  Register-1, repeated until WEL reads 0.

  @retval EFI_SUCCESS  WEL is clear.
  @retval EFI_TIMEOUT  WEL did not clear within the poll time-out.
**/
STATIC
EFI_STATUS
NorWriteDisable (
  VOID
  )
{
  return NorPollStatus1 (NOR_CMD_WRITE_DISABLE, NOR_SR1_WEL, 0, "WEL clear");
}

/**
  Unlocks the block or sector holding one flash address: Write Enable,
  Individual Block/Sector Unlock, Write Disable. The unlock takes effect at
  once and leaves WEL set (only program, erase and status-register writes
  end in the write-disable state), so the Write Disable clears it; its loop
  is the only wait.

  When WEL cannot be set the unlock is not sent; a Write Disable still
  follows so the latch is not left set should it set late.

  @param[in]  Address  A flash byte address in the block or sector.

  @retval EFI_SUCCESS  The unlock was sent and WEL is clear again.
  @retval EFI_TIMEOUT  A status poll timed out.
**/
STATIC
EFI_STATUS
NorUnlockAddress (
  IN UINT32  Address
  )
{
  EFI_STATUS  Status;

  Status = NorWriteEnable ();
  if (EFI_ERROR (Status)) {
    NorWriteDisable ();
    return Status;
  }

  MmioWrite32 (mNorFlashControlBase + NOR_ADDR_CMD_REG, NOR_CMD_UNLOCK_BLOCK);
  MmioWrite32 (mNorFlashControlBase + NOR_ADDR_REG, Address);
  MmioWrite32 (mNorFlashControlBase + NOR_DATA_LO_REG, NOR_DATA_START);

  return NorWriteDisable ();
}

/**
  Unlocks the gap between two protected regions: every 64 KiB block from
  Start up to Start + Gap, the bottom and the top block sector by sector. A
  gap that is not a whole number of blocks, or that is negative because the
  regions overlap, is left locked.

  @param[in]  Start  First byte after the lower region.
  @param[in]  End    Base of the upper region.

  @retval EFI_SUCCESS  The gap is unlocked, or it is left locked as above.
  @retval EFI_TIMEOUT  A status poll timed out; the rest of the gap stays
                       locked.
**/
STATIC
EFI_STATUS
W25QSectionProtect (
  IN UINT64  Start,
  IN UINT64  End
  )
{
  EFI_STATUS  Status;
  UINT64      Gap;
  UINT64      Block;
  UINT64      Sector;

  if (End < Start) {
    return EFI_SUCCESS;
  }

  Gap = End - Start;
  if ((Gap & (W25Q_BLOCK_SIZE - 1)) != 0) {
    return EFI_SUCCESS;
  }

  for (Block = Start; Block < Start + Gap; Block += W25Q_BLOCK_SIZE) {
    if (((UINT32)Block == W25Q_BOTTOM_BLOCK) || ((UINT32)Block == W25Q_TOP_BLOCK)) {
      for (Sector = Block; Sector < Block + W25Q_BLOCK_SIZE; Sector += W25Q_SECTOR_SIZE) {
        Status = NorUnlockAddress ((UINT32)Sector);
        if (EFI_ERROR (Status)) {
          return Status;
        }
      }
    } else {
      Status = NorUnlockAddress ((UINT32)Block);
      if (EFI_ERROR (Status)) {
        return Status;
      }
    }
  }

  return EFI_SUCCESS;
}

/**
  Checks the flash part, switches it to individual block/sector protection
  if needed, and unlocks everything outside the regions of mFvProtectRegion.

  @retval EFI_SUCCESS      The pass completed.
  @retval EFI_UNSUPPORTED  The part's JEDEC ID is not the expected one;
                           nothing else was sent to it.
  @retval EFI_TIMEOUT      The part did not answer a status poll in time;
                           the pass stopped there and what it had not yet
                           unlocked stays locked.
  @retval EFI_DEVICE_ERROR WPS was clear and the part did not take the
                           status-register write that sets it (its status
                           registers are locked: SRP with /WP low, or SRL):
                           nothing is write-protected and nothing was
                           unlocked.
**/
STATIC
EFI_STATUS
FvSectionProtect (
  VOID
  )
{
  EFI_STATUS  Status;
  UINT32      Reg;
  UINT8       Status3;
  UINTN       Index;

  mNorFlashControlBase = BOARD_NOR_CONTROLLER_BASE;
  DEBUG ((DEBUG_INFO, "%a(%d) mNorFlashControlBase = %lx\n", __FUNCTION__, __LINE__, (UINT64)mNorFlashControlBase));

  MmioWrite32 (mNorFlashControlBase + NOR_CMD_REG, NOR_CMD_READ_JEDEC_ID);
  Reg = MmioRead32 (mNorFlashControlBase + NOR_DATA_LO_REG);
  DEBUG ((DEBUG_INFO, "%a(%d) Reg = 0x%x\n", __FUNCTION__, __LINE__, Reg));
  if (Reg != W25Q_JEDEC_ID) {
    return EFI_UNSUPPORTED;
  }

  if ((NorReadStatus (3) & NOR_SR3_WPS) != 0) {
    DEBUG ((DEBUG_INFO, "Flash has been write protection status.\n"));
  } else {
    //
    // Set WPS, keeping the other bits of Status Register-3. The write is
    // non-volatile: later power-ons start with every lock bit in force.
    //
    Status3 = (UINT8)NorReadStatus (3);
    Status  = NorWriteEnable ();
    if (EFI_ERROR (Status)) {
      NorWriteDisable ();
      return Status;
    }

    MmioWrite32 (mNorFlashControlBase + NOR_CMD_REG, NOR_CMD_WRITE_STATUS3);
    MmioWrite32 (mNorFlashControlBase + NOR_DATA_HI_REG, 0);
    MmioWrite32 (mNorFlashControlBase + NOR_DATA_LO_REG, (UINT32)(Status3 | NOR_SR3_WPS));

    Status = NorPollStatus1 (0, NOR_SR1_BUSY, 0, "BUSY clear");
    if (EFI_ERROR (Status)) {
      //
      // The part ignores every other command while busy; unlocking nothing
      // keeps all of it protected once the write completes.
      //
      return Status;
    }

    //
    // A part whose status registers are locked (SRP with /WP low, or SRL)
    // ignores the write without an error; only WPS reading back set shows it
    // was taken. Without WPS the lock bits protect nothing, so the volumes
    // are not protected: report it rather than succeed.
    //
    Status3 = (UINT8)NorReadStatus (3);
    if ((Status3 & NOR_SR3_WPS) == 0) {
      NorWriteDisable ();
      DEBUG ((
        DEBUG_ERROR,
        "%a: the part did not take WPS (Status Register-3 = 0x%x, status registers locked?): the firmware volumes are not write-protected\n",
        __FUNCTION__,
        Status3
        ));
      return EFI_DEVICE_ERROR;
    }
  }

  for (Index = 0; Index + 1 < FV_PROTECT_REGION_COUNT; Index++) {
    Status = W25QSectionProtect (
               mFvProtectRegion[Index].Base + mFvProtectRegion[Index].Size,
               mFvProtectRegion[Index + 1].Base
               );
    DEBUG ((DEBUG_INFO, "%a(%d)  W25QSectionProtect = %r\n", __FUNCTION__, __LINE__, Status));
    if (EFI_ERROR (Status)) {
      return Status;
    }
  }

  return EFI_SUCCESS;
}

/**
  ReadyToBoot notification: fills in the protected firmware volumes and runs
  the protection pass, logging its result.

  @param[in]  Event    The ReadyToBoot event, or NULL when called at entry.
  @param[in]  Context  NULL.
**/
STATIC
VOID
EFIAPI
FvProtectServiceEvent (
  IN EFI_EVENT  Event,
  IN VOID       *Context
  )
{
  EFI_STATUS  Status;

  mFvProtectRegion[1].Base = BOARD_FLASH_FV_MAIN_BASE;
  mFvProtectRegion[1].Size = BOARD_FLASH_FV_MAIN_SIZE;
  mFvProtectRegion[2].Base = BOARD_FLASH_FV_RECOVERY_BASE;
  mFvProtectRegion[2].Size = BOARD_FLASH_FV_RECOVERY_SIZE;

  Status = FvSectionProtect ();
  DEBUG ((DEBUG_INFO, "%a(%d) FvSectionProtect = %r\n", __FUNCTION__, __LINE__, Status));
}

/**
  Driver entry: runs the protection pass once now and registers it again
  for ReadyToBoot.

  With WPS set, the part powers up with every block and sector locked, so
  until the pass has run nothing in the flash can be written, the event-log
  area included. Running the pass at dispatch keeps the regions outside the
  firmware volumes writable for the rest of the boot (an over-temperature
  record written before ReadyToBoot would otherwise be refused); the
  volumes themselves are never unlocked, so they stay protected from power-on.
  The ReadyToBoot pass repeats the unlocks, which changes nothing on the part.

  @param[in]  ImageHandle  The image handle of the driver.
  @param[in]  SystemTable  The EFI system table.

  @return The status of creating the ReadyToBoot event.
**/
extern "C"
EFI_STATUS
EFIAPI
LatchvaneEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS  Status;
  EFI_EVENT   Event;

  FvProtectServiceEvent (NULL, NULL);
  Status = EfiCreateEventReadyToBootEx (TPL_CALLBACK, FvProtectServiceEvent, NULL, &Event);
  ASSERT_EFI_ERROR (Status);
  return Status;
}
