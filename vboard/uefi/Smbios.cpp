#include "uefi/Smbios.h"

#include "host/Files.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace vboard {

namespace {
constexpr uint8_t kTypeSystemEventLog = 15;
constexpr uint8_t kTypeEndOfTable = 127;
constexpr uint8_t kAccessMemoryMapped32 = 3;
constexpr uint64_t kEntryPointLength = 0x18;
constexpr uint64_t kTableOffset = 0x20;
constexpr uint64_t kEndOfTableSize = 6;
constexpr uint64_t kMaxTableLength = 0xFFFF;          // SMBIOS_TABLE_MAX_LENGTH
constexpr uint64_t kMax30TableLength = 0xFFFFFFFF;    // SMBIOS_3_0_TABLE_MAX_LENGTH
}  // namespace

const Guid SmbiosService::kProtocol = Guid::Parse ("03583FF6-CB36-4940-947E-B9B39F4AFAF7");

std::vector<std::string> SmbiosRecord::Strings () const {
  // Bytes always ends with a double NUL, so every string found is terminated.
  std::vector<std::string> Out;
  for (size_t At = Length (); At < Bytes.size () && Bytes[At] != 0;) {
    Out.emplace_back (reinterpret_cast<const char *> (Bytes.data () + At));
    At += Out.back ().size () + 1;
  }
  return Out;
}

SmbiosService::SmbiosService (Firmware &Fw) : mFw (Fw) {
  // A System Event Log structure with memory-mapped access points at the log
  // copy its producer keeps for the OS; only this table refers to it.
  mFw.ExtraRoots.push_back ([this] (std::vector<uint64_t> &Roots) {
    for (const SmbiosRecord &R : mRecords) {
      if (R.Type () == kTypeSystemEventLog && R.Length () >= 0x14 && R.Bytes[0x0A] == kAccessMemoryMapped32) {
        uint32_t Address;
        std::memcpy (&Address, R.Bytes.data () + 0x10, 4);
        Roots.push_back (Address);
      }
    }
  });
}

void SmbiosService::Install (uint8_t Major, uint8_t Minor) {
  mMajor = Major;
  mMinor = Minor;
  mInterface = mFw.MakeHostInterface ("Smbios", {
      {"Add", [this] (CallArgs &A) { return DoAdd (A); }},
      {"UpdateString", [this] (CallArgs &A) { return DoUpdateString (A); }},
      {"Remove", [this] (CallArgs &A) { return DoRemove (A); }},
      {"GetNext", [this] (CallArgs &A) { return DoGetNext (A); }},
  }, 0, 8);
  mFw.M.Store<uint8_t> (mInterface + 32, Major);
  mFw.M.Store<uint8_t> (mInterface + 33, Minor);
  mHandle = 0;
  mFw.InstallProtocol (mHandle, kProtocol, mInterface);
}

void SmbiosService::Uninstall () {
  if (mHandle != 0) {
    mFw.UninstallProtocol (mHandle, kProtocol, mInterface);
    mHandle = 0;
  }
}

std::optional<uint64_t> SmbiosService::StructureSize (uint64_t Address, std::string &Why, uint64_t *Strings) const {
  // The walk of EDK II's SMBIOS driver: from the end of the formatted area
  // (whatever its Length says) up to two NULs in a row, each string at most
  // as long as the version allows; an empty string among them is passed
  // over like a separator.
  uint8_t Length;
  if (!mFw.M.Read (Address + 1, &Length, 1)) {
    Why = "the record is not readable memory";
    return std::nullopt;
  }
  uint64_t MaxLen = mMajor < 2 || (mMajor == 2 && mMinor < 7) ? 64 : mMajor < 3 ? 0xFFFF : 0xFFFFFFFFull;
  auto ByteAt = [&] (uint64_t At, uint8_t &C) {
    if (!mFw.M.Read (At, &C, 1)) {
      Why = "the string set runs into unreadable memory";
      return false;
    }
    return true;
  };
  uint64_t Size = Length, Count = 0;
  uint64_t At = Address + Length;
  for (;;) {
    uint8_t C, Next;
    if (!ByteAt (At, C) || !ByteAt (At + 1, Next)) return std::nullopt;
    if (C == 0 && Next == 0) break;
    if (C == 0) {
      Size++;
      At++;
    }
    uint64_t Len = 0;
    for (; Len < MaxLen; Len++) {
      if (!ByteAt (At + Len, C)) return std::nullopt;
      if (C == 0) break;
    }
    if (Len == MaxLen) {
      Why = "a string is longer than " + std::to_string (MaxLen) + " bytes";
      return std::nullopt;
    }
    At += Len;
    Size += Len;
    Count++;
  }
  if (Strings != nullptr) *Strings = Count;
  return Size + 2;
}

bool SmbiosService::HandleInUse (uint16_t Handle) const {
  for (const SmbiosRecord &R : mRecords) {
    if (R.Handle == Handle) return true;
  }
  return false;
}

bool SmbiosService::CheckThis (uint64_t This, const char *Member) {
  // The driver finds its instance from This (an assertion in a debug build).
  if (This != mInterface) {
    mFw.Misuse (std::string ("Smbios.") + Member + " called with a This that is not the SMBIOS protocol");
    return false;
  }
  return true;
}

uint64_t SmbiosService::DoAdd (CallArgs &A) {
  uint64_t HandlePtr = A[2], Record = A[3];
  if (!CheckThis (A[0], "Add")) return efi::InvalidParameter;
  if (FailAdd) return *FailAdd;
  if (HandlePtr == 0) return efi::InvalidParameter;
  uint16_t Handle;
  if (!mFw.M.Read (HandlePtr, &Handle, 2)) {
    mFw.Misuse ("Smbios.Add: SmbiosHandle is not readable memory");
    return efi::InvalidParameter;
  }
  if (Handle != kAssignHandle && HandleInUse (Handle)) return efi::AlreadyStarted;
  if (Handle == kAssignHandle) {
    // The lowest free handle below the highest valid one, handed back at
    // once: the caller sees it even when the record is then refused.
    for (Handle = 0; Handle < MaxHandle () && HandleInUse (Handle); Handle++) {
    }
    if (Handle == MaxHandle ()) return efi::OutOfResources;
    mFw.M.Store<uint16_t> (HandlePtr, Handle);
  } else if (Handle > MaxHandle ()) {
    return efi::InvalidParameter;
  }
  std::string Why;
  uint64_t Strings = 0;
  auto Size = Record == 0 ? std::nullopt : StructureSize (Record, Why, &Strings);
  if (!Size) {
    // A real firmware would fault reading memory that is not there.
    if (Record == 0 || Why.find ("unreadable") != std::string::npos) {
      mFw.Misuse ("Smbios.Add: " + (Record == 0 ? std::string ("Record is NULL") : Why));
    }
    return efi::InvalidParameter;
  }
  // The entry point's table length field bounds the table, end-of-table
  // structure included: a WORD for SMBIOS 2.x, a DWORD for the 3.0 entry
  // point this board publishes for 3.x. The driver checks it only once it
  // has built a table, that is from the second record on.
  if (mTableBuilt) {
    uint64_t Length = kEndOfTableSize;
    for (const SmbiosRecord &R : mRecords) Length += R.Bytes.size ();
    if (Length + *Size > (mMajor < 3 ? kMaxTableLength : kMax30TableLength)) return efi::OutOfResources;
  }

  SmbiosRecord R;
  R.Handle = Handle;
  R.ProducerHandle = A[1];
  R.Producer = mFw.CallerName (A.Caller ());
  R.Bytes = mFw.M.ReadBytes (Record, *Size);
  // Accepted as the driver accepts them, but no consumer can read them
  // right: noted, not refused.
  if (R.Length () < 4) {
    mFw.Findings.push_back (R.Producer + " added an SMBIOS structure whose formatted length " + std::to_string (R.Length ()) +
                            " is shorter than its header");
  } else if (R.Bytes.size () > R.Length () + 2u && R.Bytes[R.Length ()] == 0) {
    mFw.Findings.push_back (R.Producer + " added an SMBIOS structure (type " + std::to_string (R.Type ()) +
                            ") whose string set starts with an empty string");
  }
  R.NumberOfStrings = Strings;
  std::memcpy (R.Bytes.data () + 2, &Handle, 2);
  R.GuestCopy = mFw.HostCopy (R.Bytes.data (), R.Bytes.size ());
  mRecords.push_back (std::move (R));
  mTableBuilt = true;
  mFw.M.Store<uint16_t> (HandlePtr, Handle);
  return efi::Success;
}

uint64_t SmbiosService::DoUpdateString (CallArgs &A) {
  // (This, *SmbiosHandle, *StringNumber, String)
  uint16_t Handle;
  uint64_t StringNumber;
  if (!mFw.M.Read (A[1], &Handle, 2) || !mFw.M.Read (A[2], &StringNumber, 8)) {
    mFw.Misuse ("Smbios.UpdateString: SmbiosHandle or StringNumber is not readable memory");
    return efi::InvalidParameter;
  }
  if (Handle > MaxHandle ()) return efi::InvalidParameter;
  if (A[3] == 0) return efi::Aborted;
  if (StringNumber == 0) return efi::NotFound;
  std::string String = mFw.M.ReadAscii (A[3], 0x10000);
  uint64_t MaxLen = mMajor < 2 || (mMajor == 2 && mMinor < 7) ? 64 : mMajor < 3 ? 0xFFFF : 0xFFFFFFFFull;
  if (String.size () > MaxLen) return efi::Unsupported;
  if (!CheckThis (A[0], "UpdateString")) return efi::InvalidParameter;
  for (SmbiosRecord &R : mRecords) {
    if (R.Handle != Handle) continue;
    if (StringNumber > R.NumberOfStrings) return efi::NotFound;
    // Step to the string as the driver does: count NULs from the end of
    // the formatted area, stopping at the double NUL.
    size_t At = R.Length ();
    for (uint64_t Index = 1; Index < StringNumber; At++) {
      if (R.Bytes[At] == 0) Index++;
      if (R.Bytes[At] == 0 && R.Bytes[At + 1] == 0) return efi::NotFound;
    }
    if (R.Bytes[At] == 0) At++;
    size_t OldLen = std::strlen (reinterpret_cast<const char *> (R.Bytes.data () + At));
    R.Bytes.erase (R.Bytes.begin () + static_cast<long> (At), R.Bytes.begin () + static_cast<long> (At + OldLen));
    R.Bytes.insert (R.Bytes.begin () + static_cast<long> (At), String.begin (), String.end ());
    // GetNext hands out the driver's own copy, so a consumer sees the new
    // string there too.
    R.GuestCopy = mFw.HostCopy (R.Bytes.data (), R.Bytes.size ());
    return efi::Success;
  }
  return efi::InvalidParameter;
}

uint64_t SmbiosService::DoRemove (CallArgs &A) {
  uint16_t Handle = static_cast<uint16_t> (A[1]);
  if (Handle > MaxHandle ()) return efi::InvalidParameter;
  if (!CheckThis (A[0], "Remove")) return efi::InvalidParameter;
  for (auto It = mRecords.begin (); It != mRecords.end (); ++It) {
    if (It->Handle == Handle) {
      mRecords.erase (It);
      return efi::Success;
    }
  }
  return efi::InvalidParameter;
}

uint64_t SmbiosService::DoGetNext (CallArgs &A) {
  uint64_t HandlePtr = A[1], TypePtr = A[2], RecordPtr = A[3], ProducerPtr = A[4];
  if (HandlePtr == 0) return efi::InvalidParameter;
  if (!CheckThis (A[0], "GetNext")) return efi::InvalidParameter;
  uint16_t From = mFw.M.Load<uint16_t> (HandlePtr);
  // 0xFFFE starts at the first record; otherwise the walk starts after
  // the record with that handle, and a handle no record has ends it.
  size_t Start = 0;
  if (From != kAssignHandle) {
    while (Start < mRecords.size () && mRecords[Start].Handle != From) Start++;
    Start++;
  }
  for (size_t I = Start; I < mRecords.size (); I++) {
    if (TypePtr != 0 && mRecords[I].Type () != mFw.M.Load<uint8_t> (TypePtr)) continue;
    if (RecordPtr == 0) {
      mFw.Misuse ("Smbios.GetNext: Record is NULL");
      return efi::InvalidParameter;
    }
    mFw.M.Store<uint16_t> (HandlePtr, mRecords[I].Handle);
    mFw.M.Store<uint64_t> (RecordPtr, mRecords[I].GuestCopy);
    if (ProducerPtr != 0) mFw.M.Store<uint64_t> (ProducerPtr, mRecords[I].ProducerHandle);
    return efi::Success;
  }
  mFw.M.Store<uint16_t> (HandlePtr, kAssignHandle);
  return efi::NotFound;
}

std::vector<const SmbiosRecord *> SmbiosService::OfType (uint8_t Type) const {
  std::vector<const SmbiosRecord *> Out;
  for (const SmbiosRecord &R : mRecords) {
    if (R.Type () == Type) Out.push_back (&R);
  }
  return Out;
}

std::vector<uint8_t> SmbiosService::Table () const {
  std::vector<uint8_t> Out;
  for (const SmbiosRecord &R : mRecords) {
    Out.insert (Out.end (), R.Bytes.begin (), R.Bytes.end ());
  }
  // The end-of-table structure carries the highest valid handle, as the
  // SMBIOS driver builds it.
  uint16_t End = MaxHandle ();
  const uint8_t EndOfTable[] = {kTypeEndOfTable, 4, static_cast<uint8_t> (End), static_cast<uint8_t> (End >> 8), 0, 0};
  Out.insert (Out.end (), std::begin (EndOfTable), std::end (EndOfTable));
  return Out;
}

std::vector<uint8_t> SmbiosService::DumpImage () const {
  std::vector<uint8_t> Table = this->Table ();
  std::vector<uint8_t> Out (kTableOffset, 0);
  std::memcpy (Out.data (), "_SM3_", 5);
  Out[6] = kEntryPointLength;
  Out[7] = mMajor;
  Out[8] = mMinor;
  Out[9] = 0;    // docrev
  Out[10] = 1;   // entry point revision: SMBIOS 3.0
  uint32_t MaxSize = static_cast<uint32_t> (Table.size ());
  uint64_t Address = kTableOffset;
  std::memcpy (Out.data () + 12, &MaxSize, 4);
  std::memcpy (Out.data () + 16, &Address, 8);
  uint8_t Sum = 0;
  for (uint64_t I = 0; I < kEntryPointLength; I++) Sum += Out[I];
  Out[5] = static_cast<uint8_t> (0 - Sum);
  Out.resize (kTableOffset + Table.size ());
  std::copy (Table.begin (), Table.end (), Out.begin () + kTableOffset);
  return Out;
}

void SmbiosService::WriteDump (const std::string &Path) const {
  WriteWholeFile (Path, DumpImage ());
}

std::vector<std::vector<uint8_t>> DumpStructures (const std::vector<uint8_t> &Dump) {
  std::vector<std::vector<uint8_t>> Out;
  size_t At = 0x20;
  while (At + 4 <= Dump.size ()) {
    uint8_t Type = Dump[At];
    if (Dump[At + 1] < 4) break;   // shorter than its own header: the table is broken here
    size_t End = At + Dump[At + 1];
    while (End + 1 < Dump.size () && (Dump[End] != 0 || Dump[End + 1] != 0)) End++;
    Out.emplace_back (Dump.begin () + At, Dump.begin () + std::min (End + 2, Dump.size ()));
    if (Type == kTypeEndOfTable) break;
    At = End + 2;
  }
  return Out;
}

}  // namespace vboard
