// EFI_SMBIOS_PROTOCOL served from the host, with the rules of EDK II's
// SMBIOS driver:
//   Add (This, ProducerHandle, *SmbiosHandle, Record)
//     *SmbiosHandle 0xFFFE: the lowest free handle below the highest valid
//     one is assigned and returned; a handle in use: EFI_ALREADY_STARTED;
//     above the highest valid handle (0xFEFF, 0xFFFE for SMBIOS 2.0):
//     EFI_INVALID_PARAMETER; a record that would take the table (end of
//     table included) past what the entry point's length field holds
//     (0xFFFF bytes before SMBIOS 3.0): EFI_OUT_OF_RESOURCES, once a first
//     record has been added. An assigned handle is written back before
//     the record is checked. The structure's size is found by walking its
//     formatted area (Length) and its strings up to the double NUL; a
//     string longer than the version allows (64 bytes before SMBIOS 2.7)
//     is refused.
//   UpdateString (This, *SmbiosHandle, *StringNumber, String)
//   Remove (This, SmbiosHandle), GetNext (This, *SmbiosHandle, *Type,
//     **Record, *ProducerHandle) over the records in the order they were
//     added.
// A This that is not the protocol, or a record the driver would read or
// write through a NULL or unmapped pointer, is reported as misuse.
// The host keeps its own copy of every record (the guest may free its
// buffer), can write the table in the file format `dmidecode --from-dump`
// reads, and tells the leak check about memory the records point at (the
// runtime log copy of a Type 15 System Event Log structure).
#pragma once

#include "uefi/Firmware.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vboard {

struct SmbiosRecord {
  uint16_t Handle = 0;
  uint64_t ProducerHandle = 0;
  std::string Producer;          // image that added it
  std::vector<uint8_t> Bytes;    // formatted area, strings, double NUL; Handle field filled in
  uint64_t NumberOfStrings = 0;  // as the size walk counted them
  uint64_t GuestCopy = 0;        // the copy GetNext hands out

  uint8_t Type () const { return Bytes[0]; }
  uint8_t Length () const { return Bytes[1]; }
  std::vector<std::string> Strings () const;
};

class SmbiosService {
 public:
  static const Guid kProtocol;                    // gEfiSmbiosProtocolGuid
  static constexpr uint16_t kAssignHandle = 0xFFFE;
  static constexpr uint16_t kMaxHandle = 0xFEFF;

  explicit SmbiosService (Firmware &Fw);

  // Installs the protocol (the board does this at power-on).
  void Install (uint8_t Major = 3, uint8_t Minor = 3);
  void Uninstall ();
  uint64_t Interface () const { return mInterface; }

  // Fault injection: every Add returns this status and adds nothing.
  std::optional<uint64_t> FailAdd;

  const std::vector<SmbiosRecord> &Records () const { return mRecords; }
  std::vector<const SmbiosRecord *> OfType (uint8_t Type) const;

  // The structure table: every record, then a Type 127 end-of-table structure.
  std::vector<uint8_t> Table () const;
  // An SMBIOS 3.0 ("_SM3_") entry point at offset 0 whose table address is
  // the file offset of the table that follows it.
  std::vector<uint8_t> DumpImage () const;
  void WriteDump (const std::string &Path) const;   // throws on I/O errors

  // Size of the structure at a guest address: formatted area, strings and
  // the double NUL, and how many strings it has. Empty when a string is
  // longer than the version allows or the walk leaves readable memory; Why
  // then says how.
  std::optional<uint64_t> StructureSize (uint64_t Address, std::string &Why, uint64_t *Strings = nullptr) const;
  // The highest handle a record may have.
  uint16_t MaxHandle () const { return mMajor == 2 && mMinor == 0 ? 0xFFFE : kMaxHandle; }

 private:
  uint64_t DoAdd (CallArgs &A);
  uint64_t DoUpdateString (CallArgs &A);
  uint64_t DoRemove (CallArgs &A);
  uint64_t DoGetNext (CallArgs &A);
  bool CheckThis (uint64_t This, const char *Member);
  bool HandleInUse (uint16_t Handle) const;

  Firmware &mFw;
  uint64_t mInterface = 0;
  uint64_t mHandle = 0;
  uint8_t mMajor = 3, mMinor = 3;
  std::vector<SmbiosRecord> mRecords;
  bool mTableBuilt = false;      // the driver has built a table (after its first Add)
};

// The structures of a dump laid out as DumpImage writes it and dmidecode
// --from-dump reads it (entry point at 0, table at 0x20): each whole with
// its strings, in table order, the end-of-table structure last. A structure
// cut short by the end of the dump is returned as far as it goes.
std::vector<std::vector<uint8_t>> DumpStructures (const std::vector<uint8_t> &Dump);

}  // namespace vboard
