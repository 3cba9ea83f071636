// PI firmware volumes as EDK II's GenFv writes them: the volume header (with
// its extended header naming the volume), the FFS files in it and their
// sections. Parsing is defensive, as a DXE core's must be: a volume that
// lies about its sizes or checksums is refused, a damaged file is skipped
// with a note, and nothing is read outside the volume's bytes.
#pragma once

#include "host/Files.h"
#include "uefi/Types.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vboard {

namespace ffs {
// File types (EFI_FV_FILETYPE_*).
constexpr uint8_t FileTypeRaw = 0x01;
constexpr uint8_t FileTypeFreeform = 0x02;
constexpr uint8_t FileTypeDriver = 0x07;
constexpr uint8_t FileTypeCombinedPeimDriver = 0x08;
constexpr uint8_t FileTypeApplication = 0x09;
constexpr uint8_t FileTypeFvImage = 0x0B;
constexpr uint8_t FileTypePad = 0xF0;
// Section types (EFI_SECTION_*).
constexpr uint8_t SectionCompression = 0x01;
constexpr uint8_t SectionGuidDefined = 0x02;
constexpr uint8_t SectionPe32 = 0x10;
constexpr uint8_t SectionVersion = 0x14;
constexpr uint8_t SectionUserInterface = 0x15;
constexpr uint8_t SectionDxeDepex = 0x13;
constexpr uint8_t SectionRaw = 0x19;
}  // namespace ffs

struct FfsSection {
  uint8_t Type = 0;
  uint32_t Offset = 0;              // of the section header, within the file's data
  std::vector<uint8_t> Data;        // the section's contents, without its header
};

struct FfsFile {
  Guid Name;
  uint8_t Type = 0;
  uint8_t Attributes = 0;
  uint64_t Offset = 0;              // of the file header, within the volume
  uint64_t HeaderSize = 0;          // 24, or 32 for a large file
  std::vector<uint8_t> Data;        // the file's contents after its header
  std::vector<FfsSection> Sections; // leaf sections in order (encapsulations opened where possible)
  std::string UiName;               // the USER_INTERFACE section, "" when none

  const FfsSection *FindSection (uint8_t Type, unsigned Instance = 0) const;
  bool HasSections () const;        // a file type whose contents are sections
};

class FirmwareVolume {
 public:
  // Parses a volume; throws std::runtime_error when the header is not that of
  // a usable volume (signature, lengths, checksum, file system).
  FirmwareVolume (std::vector<uint8_t> Bytes, std::string Origin);

  const std::string &Origin () const { return mOrigin; }
  const std::vector<uint8_t> &Bytes () const { return mBytes; }
  std::optional<Guid> Name () const { return mName; }
  uint32_t Attributes () const { return mAttributes; }
  uint64_t Length () const { return mBytes.size (); }
  const std::vector<FfsFile> &Files () const { return mFiles; }
  const FfsFile *FindFile (const Guid &Name) const;
  // Damaged or unusable files that were skipped, one line each.
  const std::vector<std::string> &Notes () const { return mNotes; }

 private:
  void ParseFiles (uint64_t Start);
  void ParseSections (FfsFile &File, const uint8_t *Data, uint64_t Size, uint64_t BaseOffset, int Depth);

  std::vector<uint8_t> mBytes;
  std::string mOrigin;
  std::optional<Guid> mName;
  uint32_t mAttributes = 0;
  bool mErasePolarity = true;
  std::vector<FfsFile> mFiles;
  std::vector<std::string> mNotes;
};

// Marks each file named File in a volume's bytes deleted, as a flash update
// retires a file it replaces: the EFI_FILE_DELETED state bit written with
// the volume's erase polarity (cleared under polarity 1, set under 0). State
// is outside the header checksum, so the file stays well formed and a DXE
// core passes over it. Returns how many files it marked; throws as the
// FirmwareVolume constructor does for bytes that are not a volume.
unsigned MarkFileDeleted (std::vector<uint8_t> &Volume, const Guid &File);

}  // namespace vboard
