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
      {"UpdateString", nullptr},
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

std::optional<uint64_t> SmbiosService::StructureSize (uint64_t Address, std::string &Why) const {
  uint8_t Length;
  if (!mFw.M.Read (Address + 1, &Length, 1)) {
    Why = "the record is not readable memory";
    return std::nullopt;
  }
  if (Length < 4) {
    Why = "formatted length " + std::to_string (Length) + " is shorter than the header";
    return std::nullopt;
  }
  // The string set follows the formatted area: non-empty NUL-terminated
  // strings, then one more NUL. Without strings the formatted area is
  // followed by two NULs.
  uint64_t End = Address + Length;
  auto ByteAt = [&] (uint64_t At, uint8_t &C) {
    if (At - Address >= kMaxStructure) {
      Why = "no double NUL ends the structure within 64 KiB";
      return false;
    }
    if (!mFw.M.Read (At, &C, 1)) {
      Why = "the string set runs into unreadable memory";
      return false;
    }
    return true;
  };
  uint8_t C = 0, Next = 0;
  if (!ByteAt (End, C) || !ByteAt (End + 1, Next)) return std::nullopt;
  if (C == 0) {
    if (Next == 0) return Length + 2;
    Why = "the string set starts with an empty string";
    return std::nullopt;
  }
  for (;;) {
    do {
      if (!ByteAt (End++, C)) return std::nullopt;
    } while (C != 0);
    if (!ByteAt (End, C)) return std::nullopt;
    if (C == 0) return End + 1 - Address;
  }
}

bool SmbiosService::HandleInUse (uint16_t Handle) const {
  for (const SmbiosRecord &R : mRecords) {
    if (R.Handle == Handle) return true;
  }
  return false;
}

uint64_t SmbiosService::DoAdd (CallArgs &A) {
  uint64_t HandlePtr = A[2], Record = A[3];
  if (FailAdd) return *FailAdd;
  if (HandlePtr == 0 || Record == 0) return efi::InvalidParameter;
  uint16_t Handle;
  if (!mFw.M.Read (HandlePtr, &Handle, 2)) {
    mFw.Misuse ("Smbios.Add: SmbiosHandle is not readable memory");
    return efi::InvalidParameter;
  }
  if (Handle == kAssignHandle) {
    for (Handle = 0; Handle <= kMaxHandle && HandleInUse (Handle); Handle++) {
    }
    if (Handle > kMaxHandle) return efi::OutOfResources;
  } else if (HandleInUse (Handle)) {
    return efi::AlreadyStarted;
  } else if (Handle > kMaxHandle) {
    return efi::InvalidParameter;
  }
  std::string Why;
  auto Size = StructureSize (Record, Why);
  if (!Size) {
    // A real firmware would fault reading memory that is not there.
    if (Why.find ("unreadable") != std::string::npos) mFw.Misuse ("Smbios.Add: " + Why);
    return efi::InvalidParameter;
  }

  SmbiosRecord R;
  R.Handle = Handle;
  R.ProducerHandle = A[1];
  R.Producer = mFw.CallerName (A.Caller ());
  R.Bytes = mFw.M.ReadBytes (Record, *Size);
  std::memcpy (R.Bytes.data () + 2, &Handle, 2);
  R.GuestCopy = mFw.HostCopy (R.Bytes.data (), R.Bytes.size ());
  mRecords.push_back (std::move (R));
  mFw.M.Store<uint16_t> (HandlePtr, Handle);
  return efi::Success;
}

uint64_t SmbiosService::DoRemove (CallArgs &A) {
  uint16_t Handle = static_cast<uint16_t> (A[1]);
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
  if (HandlePtr == 0 || RecordPtr == 0) return efi::InvalidParameter;
  uint16_t From = mFw.M.Load<uint16_t> (HandlePtr);
  size_t Start = 0;
  if (From != kAssignHandle) {
    while (Start < mRecords.size () && mRecords[Start].Handle != From) Start++;
    if (Start == mRecords.size ()) return efi::NotFound;
    Start++;
  }
  for (size_t I = Start; I < mRecords.size (); I++) {
    if (TypePtr != 0 && mRecords[I].Type () != mFw.M.Load<uint8_t> (TypePtr)) continue;
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
  // SmbiosDxe gives its end-of-table structure the last handle a record can
  // have (0xFEFF); the operating system sees that number.
  const uint16_t End = 0xFEFF;
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

}  // namespace vboard
