// PE32+ images as EDK II's GenFw writes them for AARCH64: parsed, loaded at a
// chosen base with their base relocations applied, and symbolised from the
// build's .debug ELF file for reports.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vboard {

class Machine;

struct PeSection {
  std::string Name;
  uint32_t VirtualAddress = 0;
  uint32_t VirtualSize = 0;
  uint32_t RawOffset = 0;
  uint32_t RawSize = 0;
};

class PeImage {
 public:
  // Parses File; throws std::runtime_error on anything that is not an
  // AArch64 PE32+ EFI image.
  explicit PeImage (const std::string &File);
  // An image taken from elsewhere (a firmware volume's PE32 section); Origin
  // names where it came from in reports.
  PeImage (std::vector<uint8_t> Bytes, const std::string &Name, const std::string &Origin);

  const std::string &Path () const { return mPath; }
  const std::string &BaseName () const { return mBaseName; }   // "Wattkeep" for Wattkeep.efi
  uint32_t SizeOfImage () const { return mSizeOfImage; }
  uint32_t EntryRva () const { return mEntryRva; }
  uint16_t Subsystem () const { return mSubsystem; }
  const std::vector<PeSection> &Sections () const { return mSections; }
  const std::string &DebugFile () const { return mDebugFile; }   // "" when none was found
  // The module's build output directory (where the build left the .dll, its
  // .debug and AutoGen.h), from the image's CodeView record; "" when absent.
  const std::string &BuildDir () const { return mBuildDir; }

  // Copies headers and sections to Base and applies the DIR64 relocations.
  void Load (Machine &M, uint64_t Base) const;

 private:
  void Parse ();

  std::string mPath;
  std::string mBaseName;
  std::vector<uint8_t> mFile;
  uint32_t mSizeOfImage = 0;
  uint32_t mSizeOfHeaders = 0;
  uint32_t mEntryRva = 0;
  uint64_t mLinkBase = 0;
  uint16_t mSubsystem = 0;
  uint32_t mRelocRva = 0, mRelocSize = 0;
  std::vector<PeSection> mSections;
  std::string mDebugFile;
  std::string mBuildDir;
};

// Source locations for addresses of an image, from its .debug ELF through
// aarch64-linux-gnu-addr2line. EDK II links the ELF at the PE's RVAs, so an
// RVA is also the ELF address.
class Symbolizer {
 public:
  struct Location {
    std::string Function;
    std::string File;      // as the compiler recorded it
    int Line = 0;
  };
  // One entry per inlining level, innermost first; empty when unknown.
  std::vector<Location> Lookup (const std::string &DebugFile, uint64_t Rva);

 private:
  std::map<std::pair<std::string, uint64_t>, std::vector<Location>> mCache;
};

}  // namespace vboard
