// The PI hand-off block (HOB) list the DXE phase receives from the earlier
// boot phases, in guest memory and installed in the system configuration
// table under the HOB-list GUID, where EDK II's DxeHobLib finds it.
//
// The list always starts with the Phase Handoff Information Table (PHIT) HOB
// and ends with the end-of-list HOB; the HOBs between are kept in order and
// can be added or removed by the board and by tests. Every change rewrites
// the list at once, so set it up before the images that read it start (a
// driver's HOB library caches the list's address at start).
//
// The list is laid out so that its last byte is the last byte of a mapped
// page and the page after it is unmapped: a reader that runs past the end of
// the list faults at once.
#pragma once

#include "uefi/Firmware.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace vboard {

struct Hob {
  uint16_t Type = 0;
  std::vector<uint8_t> Body;            // the bytes after the 8-byte generic header
  // HobLength as declared; default 8 + Body rounded up to 8. A HOB declared
  // shorter than its body still takes the body's room in the list.
  std::optional<uint16_t> Length;

  uint16_t DeclaredLength () const;
  bool IsGuid (const Guid &Name) const;
};

class HobList {
 public:
  // PI HOB types.
  static constexpr uint16_t kHandoff = 0x0001;
  static constexpr uint16_t kMemoryAllocation = 0x0002;
  static constexpr uint16_t kResourceDescriptor = 0x0003;
  static constexpr uint16_t kGuidExtension = 0x0004;
  static constexpr uint16_t kCpu = 0x0006;
  static constexpr uint16_t kEndOfList = 0xFFFF;
  // PI resource types.
  static constexpr uint32_t kResourceSystemMemory = 0;
  static constexpr uint32_t kResourceMemoryMappedIo = 1;
  static constexpr uint32_t kResourceFirmwareDevice = 5;

  // The list ends here; it grows downwards from this address.
  static constexpr uint64_t kEnd = 0x0E800000;
  static constexpr uint64_t kMaxSize = 0x00100000;

  explicit HobList (Firmware &Fw);

  // Appends a HOB before the end of the list.
  void Add (Hob H);
  // A GUID-extension HOB: the name, then Data, the length rounded up to 8
  // as the PI HOB builders do.
  void AddGuid (const Guid &Name, const std::vector<uint8_t> &Data);
  void AddResource (uint32_t ResourceType, uint32_t Attributes, uint64_t Start, uint64_t Length);
  void AddMemoryAllocation (const Guid &Name, uint64_t Base, uint64_t Length, uint32_t MemoryType);
  void AddCpu (uint8_t MemorySpaceBits, uint8_t IoSpaceBits);
  // Removes every GUID-extension HOB with that name.
  void RemoveGuid (const Guid &Name);
  // Writes the list again (after MovedByDxeCore or the PHIT fields change).
  void Republish () { Publish (); }

  const std::vector<Hob> &Hobs () const { return mHobs; }
  uint64_t Start () const { return mStart; }   // address of the PHIT HOB
  uint64_t EndOfList () const { return mEndOfList; }   // address of the end-of-list HOB

  // The PHIT's memory description: the region the earlier phase handed over.
  uint64_t MemoryBottom, MemoryTop, FreeMemoryBottom, FreeMemoryTop;
  uint32_t BootMode = 0;   // BOOT_WITH_FULL_CONFIGURATION
  // EDK II's DXE core copies the list into its own pool before any driver
  // runs and leaves the copy's EfiEndOfHobList (and EfiFreeMemoryBottom)
  // pointing into the list the earlier phase handed over. Set, the PHIT
  // records the end of a list that lies below this one, as drivers on
  // EDK II's core find it; clear, the list describes itself.
  bool MovedByDxeCore = false;

 private:
  void Publish ();

  Firmware &mFw;
  std::vector<Hob> mHobs;
  uint64_t mStart = 0, mEndOfList = 0;
  uint64_t mMapBase = 0, mMapSize = 0;
};

}  // namespace vboard
