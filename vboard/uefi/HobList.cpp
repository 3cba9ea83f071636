#include "uefi/HobList.h"

#include <cstring>
#include <stdexcept>

namespace vboard {

namespace {
constexpr uint64_t kPage = 0x1000;
constexpr uint16_t kHandoffLength = 56;
constexpr uint32_t kHandoffVersion = 9;
constexpr uint64_t kGenericHeader = 8;

}  // namespace

uint16_t Hob::DeclaredLength () const {
  if (Length) return *Length;
  return static_cast<uint16_t> ((kGenericHeader + Body.size () + 7) & ~7ULL);
}

bool Hob::IsGuid (const Guid &Name) const {
  return Type == HobList::kGuidExtension && Body.size () >= 16 && std::memcmp (Body.data (), Name.Bytes.data (), 16) == 0;
}

HobList::HobList (Firmware &Fw) : mFw (Fw) {
  // The earlier phase's memory: the firmware's tables, this list and the
  // DXE stack; free memory lies between the list and the stack.
  MemoryBottom = Firmware::kHostBase;
  MemoryTop = Machine::kStackBase + Machine::kStackSize;
  FreeMemoryBottom = kEnd;
  FreeMemoryTop = Machine::kStackBase;
  Publish ();
}

void HobList::Add (Hob H) {
  mHobs.push_back (std::move (H));
  Publish ();
}

void HobList::AddGuid (const Guid &Name, const std::vector<uint8_t> &Data) {
  Hob H;
  H.Type = kGuidExtension;
  AppendGuid (H.Body, Name);
  H.Body.insert (H.Body.end (), Data.begin (), Data.end ());
  Add (std::move (H));
}

void HobList::AddResource (uint32_t ResourceType, uint32_t Attributes, uint64_t Start, uint64_t Length) {
  // EFI_HOB_RESOURCE_DESCRIPTOR: Owner, ResourceType, ResourceAttribute,
  // PhysicalStart, ResourceLength.
  Hob H;
  H.Type = kResourceDescriptor;
  AppendGuid (H.Body, Guid{});
  AppendLe (H.Body, ResourceType);
  AppendLe (H.Body, Attributes);
  AppendLe (H.Body, Start);
  AppendLe (H.Body, Length);
  Add (std::move (H));
}

void HobList::AddMemoryAllocation (const Guid &Name, uint64_t Base, uint64_t Length, uint32_t MemoryType) {
  // EFI_HOB_MEMORY_ALLOCATION_HEADER: Name, MemoryBaseAddress, MemoryLength,
  // MemoryType, Reserved[4].
  Hob H;
  H.Type = kMemoryAllocation;
  AppendGuid (H.Body, Name);
  AppendLe (H.Body, Base);
  AppendLe (H.Body, Length);
  AppendLe (H.Body, MemoryType);
  AppendLe (H.Body, uint32_t{0});
  Add (std::move (H));
}

void HobList::AddCpu (uint8_t MemorySpaceBits, uint8_t IoSpaceBits) {
  Hob H;
  H.Type = kCpu;
  H.Body = {MemorySpaceBits, IoSpaceBits, 0, 0, 0, 0, 0, 0};
  Add (std::move (H));
}

void HobList::RemoveGuid (const Guid &Name) {
  for (auto It = mHobs.begin (); It != mHobs.end ();) {
    It = It->IsGuid (Name) ? mHobs.erase (It) : It + 1;
  }
  Publish ();
}

void HobList::Publish () {
  // A HOB takes its declared length, or the room its body needs where it
  // declares less: a wrong HobLength then sends a walker into the middle of
  // the body, as in a list whose length field is corrupt.
  std::vector<uint8_t> Image (kHandoffLength, 0);
  for (const Hob &H : mHobs) {
    uint16_t Length = H.DeclaredLength ();
    size_t Room = (std::max<size_t> (Length, kGenericHeader + H.Body.size ()) + 7) & ~7ULL;
    size_t At = Image.size ();
    AppendLe (Image, H.Type);
    AppendLe (Image, Length);
    AppendLe (Image, uint32_t{0});
    Image.insert (Image.end (), H.Body.begin (), H.Body.end ());
    Image.resize (At + Room, 0);
  }
  AppendLe (Image, kEndOfList);
  AppendLe (Image, static_cast<uint16_t> (kGenericHeader));
  AppendLe (Image, uint32_t{0});
  if (Image.size () > kMaxSize) throw std::runtime_error ("HOB list larger than its region");
  uint64_t Start = kEnd - Image.size ();
  uint64_t EndOfHobList = Start + Image.size () - kGenericHeader;
  // Where the earlier phase's list ended: one list-length below this copy.
  uint64_t RecordedEnd = MovedByDxeCore ? EndOfHobList - Image.size () : EndOfHobList;

  uint8_t *Phit = Image.data ();
  uint16_t PhitType = kHandoff, PhitLength = kHandoffLength;
  std::memcpy (Phit, &PhitType, 2);
  std::memcpy (Phit + 2, &PhitLength, 2);
  std::memcpy (Phit + 8, &kHandoffVersion, 4);
  std::memcpy (Phit + 12, &BootMode, 4);
  std::memcpy (Phit + 16, &MemoryTop, 8);
  std::memcpy (Phit + 24, &MemoryBottom, 8);
  std::memcpy (Phit + 32, &FreeMemoryTop, 8);
  std::memcpy (Phit + 40, &FreeMemoryBottom, 8);
  std::memcpy (Phit + 48, &RecordedEnd, 8);

  // The list ends at kEnd and grows down: its region changes only when the
  // list reaches into another page (each change of the engine's memory map
  // costs a rebuild of its page tree); the zero fill below makes the reused
  // region read as a fresh one. A region someone else unmapped is not
  // reused: unmapping it again throws, as it always did.
  uint64_t Base = Start & ~(kPage - 1);
  if (mMapSize == 0 || Base != mMapBase || !mFw.M.IsMemory (mMapBase, mMapSize)) {
    if (mMapSize != 0) mFw.M.Unmap (mMapBase, mMapSize);
    mMapBase = Base;
    mMapSize = kEnd - mMapBase;
    mFw.M.MapRam (mMapBase, mMapSize, true, false);
  }
  std::vector<uint8_t> Zero (mMapSize, 0);
  mFw.M.Write (mMapBase, Zero.data (), Zero.size ());
  mFw.M.Write (Start, Image.data (), Image.size ());
  mStart = Start;
  mEndOfList = EndOfHobList;
  mFw.HobList = Start;
  mFw.InstallConfigurationTable (guids::HobList, Start);
}

}  // namespace vboard
