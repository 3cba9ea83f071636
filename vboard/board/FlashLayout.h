// The hand-off blocks this board's earlier boot phase leaves for DXE: the
// memory it describes (resource descriptors, memory allocations, the CPU's
// address widths) and the boot-flash layout in two GUID-extension HOBs, the
// layout table (16-byte entries) and the layout summary (two UINT32 values).
//
// In this board's layout table Word0 is a region's flash offset, Word1 its
// size, Word2 its attributes (kRegion* bits) and Word3 its kind in the low
// byte, with an instance number in the byte above for a second copy of a
// region. The summary holds the flash size and its erase-block size.
#pragma once

#include "uefi/HobList.h"

#include <cstdint>
#include <vector>

namespace vboard::platform {

extern const Guid kFlashLayoutInfoHob;     // gFlashLayoutInfoHobGuid
extern const Guid kFlashLayoutGlobalHob;   // gFlashLayoutGlobalHobGuid

struct FlashLayoutEntry {
  uint32_t Word0 = 0, Word1 = 0, Word2 = 0, Word3 = 0;
};

constexpr uint32_t kRegionWriteProtected = 0x1;
constexpr uint32_t kRegionFirmwareVolume = 0x2;
constexpr uint32_t kRegionRecovery = 0x4;

std::vector<FlashLayoutEntry> DefaultFlashLayout ();
constexpr uint32_t kDefaultLayoutGlobal0 = 0x01000000;   // flash size
constexpr uint32_t kDefaultLayoutGlobal1 = 0x00010000;   // erase-block size

// The table's HOB data: the entries, then TrailingBytes zero bytes.
std::vector<uint8_t> FlashLayoutData (const std::vector<FlashLayoutEntry> &Entries, size_t TrailingBytes = 0);
std::vector<uint8_t> FlashLayoutGlobalData (uint32_t Global0, uint32_t Global1);

// Replaces the layout-table (or summary) HOB; the HOB goes where the earlier
// phase puts it, before the end of the list.
void SetFlashLayout (HobList &Hobs, const std::vector<FlashLayoutEntry> &Entries, size_t TrailingBytes = 0);
void SetFlashLayoutGlobal (HobList &Hobs, uint32_t Global0, uint32_t Global1);

// The board's HOBs at power-on: memory, CPU and the default flash layout.
void AddBoardHobs (HobList &Hobs);

}  // namespace vboard::platform
