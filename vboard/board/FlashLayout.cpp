#include "board/FlashLayout.h"

#include "board/Platform.h"

#include <cstring>

namespace vboard::platform {

const Guid kFlashLayoutInfoHob = Guid::Parse ("8B9C4095-6A6F-410C-8F74-8404011AC071");
const Guid kFlashLayoutGlobalHob = Guid::Parse ("8B9C4095-6A6F-410C-8F74-8404011AC082");

namespace {
// Region kinds (low byte of Word3).
constexpr uint32_t kKindBootLoader = 0x01, kKindFvMain = 0x02, kKindRecovery = 0x03, kKindNvStore = 0x04,
                   kKindEventLog = 0x05, kKindAcpiData = 0x06;
constexpr uint32_t kSecondInstance = 0x100;

// gEfiHobMemoryAllocStackGuid: the allocation HOB of the DXE stack.
const Guid kStackAllocation = Guid::Parse ("4ED4BF27-4092-42E9-807D-527B1D00C9BD");
// Tested, present and initialised, as the PI resource attributes say.
constexpr uint32_t kPresentInitializedTested = 0x7;
constexpr uint32_t kUncacheable = 0x400;
}  // namespace

std::vector<FlashLayoutEntry> DefaultFlashLayout () {
  return {
      {0x000000, 0x500000, 0, kKindBootLoader},
      {0x500000, 0x150000, kRegionWriteProtected | kRegionFirmwareVolume, kKindFvMain},
      {0x650000, 0x2C0000, kRegionWriteProtected | kRegionFirmwareVolume | kRegionRecovery, kKindRecovery},
      {0x910000, 0x020000, 0, kKindNvStore},
      {0x930000, 0x010000, 0, kKindEventLog},
      {0x970000, 0x030000, 0, kKindAcpiData},
      {static_cast<uint32_t> (kRecoverySecondBase), 0x2C0000, kRegionFirmwareVolume | kRegionRecovery,
       kSecondInstance | kKindRecovery},
  };
}

std::vector<uint8_t> FlashLayoutData (const std::vector<FlashLayoutEntry> &Entries, size_t TrailingBytes) {
  std::vector<uint8_t> Data (Entries.size () * sizeof (FlashLayoutEntry) + TrailingBytes, 0);
  static_assert (sizeof (FlashLayoutEntry) == 16, "a layout entry is four UINT32s");
  if (!Entries.empty ()) std::memcpy (Data.data (), Entries.data (), Entries.size () * sizeof (FlashLayoutEntry));
  return Data;
}

std::vector<uint8_t> FlashLayoutGlobalData (uint32_t Global0, uint32_t Global1) {
  std::vector<uint8_t> Data (8);
  std::memcpy (Data.data (), &Global0, 4);
  std::memcpy (Data.data () + 4, &Global1, 4);
  return Data;
}

void SetFlashLayout (HobList &Hobs, const std::vector<FlashLayoutEntry> &Entries, size_t TrailingBytes) {
  Hobs.RemoveGuid (kFlashLayoutInfoHob);
  Hobs.AddGuid (kFlashLayoutInfoHob, FlashLayoutData (Entries, TrailingBytes));
}

void SetFlashLayoutGlobal (HobList &Hobs, uint32_t Global0, uint32_t Global1) {
  Hobs.RemoveGuid (kFlashLayoutGlobalHob);
  Hobs.AddGuid (kFlashLayoutGlobalHob, FlashLayoutGlobalData (Global0, Global1));
}

void AddBoardHobs (HobList &Hobs) {
  Hobs.AddCpu (48, 0);
  // The firmware's own memory below the stack's end, and the DRAM images and
  // pool come from.
  Hobs.AddResource (HobList::kResourceSystemMemory, kPresentInitializedTested, Firmware::kHostBase,
                    Machine::kStackBase + Machine::kStackSize - Firmware::kHostBase);
  Hobs.AddResource (HobList::kResourceSystemMemory, kPresentInitializedTested, Firmware::kImageBase,
                    Heap::kLimit - Firmware::kImageBase);
  Hobs.AddResource (HobList::kResourceFirmwareDevice, kPresentInitializedTested, kFlashBase, kFlashSize);
  Hobs.AddResource (HobList::kResourceMemoryMappedIo, kPresentInitializedTested | kUncacheable, kUart0, 0x2000);
  Hobs.AddMemoryAllocation (kStackAllocation, Machine::kStackBase, Machine::kStackSize, efi::BootServicesData);
  Hobs.AddMemoryAllocation (Guid{}, Firmware::kHostBase, Firmware::kHostSize, efi::BootServicesData);
  Hobs.AddGuid (kFlashLayoutInfoHob, FlashLayoutData (DefaultFlashLayout ()));
  Hobs.AddGuid (kFlashLayoutGlobalHob, FlashLayoutGlobalData (kDefaultLayoutGlobal0, kDefaultLayoutGlobal1));
}

}  // namespace vboard::platform
