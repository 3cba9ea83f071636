#include "images/FirmwareVolume.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace vboard {

namespace {

constexpr uint32_t kFvSignature = 0x4856465F;            // "_FVH"
constexpr uint32_t kFvbErasePolarity = 0x00000800;
constexpr uint8_t kFfsAttribLargeFile = 0x01;
constexpr uint8_t kFfsAttribChecksum = 0x40;
constexpr uint8_t kFfsFixedChecksum = 0xAA;
constexpr uint8_t kFileHeaderConstruction = 0x01;
constexpr uint8_t kFileDataValid = 0x04;
constexpr uint8_t kFileMarkedForUpdate = 0x08;
constexpr uint8_t kFileDeleted = 0x10;
constexpr uint8_t kFileHeaderInvalid = 0x20;
constexpr uint16_t kGuidedProcessingRequired = 0x01;
constexpr int kMaxSectionDepth = 8;

const Guid kFfs2 = Guid::Parse ("8C8CE578-8A3D-4F1C-9935-896185C32DD3");
const Guid kFfs3 = Guid::Parse ("5473C07A-3DCB-4DCA-BD6F-1E9689E7349A");

template <typename T>
T At (const uint8_t *P) {
  T V;
  std::memcpy (&V, P, sizeof (T));
  return V;
}

uint32_t Size24 (const uint8_t *P) { return P[0] | (P[1] << 8) | (P[2] << 16); }

Guid GuidFrom (const uint8_t *P) {
  Guid G;
  std::memcpy (G.Bytes.data (), P, 16);
  return G;
}

uint64_t Align (uint64_t V, uint64_t A) { return (V + A - 1) & ~(A - 1); }

// The state bits of an FFS file, as the DXE core reads them: with erase
// polarity 1 the bits are inverted, and the highest bit set is the state.
uint8_t FileState (uint8_t Raw, bool ErasePolarity) {
  uint8_t S = ErasePolarity ? static_cast<uint8_t> (~Raw) : Raw;
  for (uint8_t Bit = 0x80; Bit != 0; Bit >>= 1) {
    if ((S & Bit) != 0) return Bit;
  }
  return 0;
}

}  // namespace

const FfsSection *FfsFile::FindSection (uint8_t SectionType, unsigned Instance) const {
  for (const FfsSection &S : Sections) {
    if (S.Type == SectionType && Instance-- == 0) return &S;
  }
  return nullptr;
}

bool FfsFile::HasSections () const {
  return Type != ffs::FileTypeRaw && Type != ffs::FileTypePad && Type != 0;
}

FirmwareVolume::FirmwareVolume (std::vector<uint8_t> Bytes, std::string Origin)
    : mBytes (std::move (Bytes)), mOrigin (std::move (Origin)) {
  auto Refuse = [this] (const std::string &Why) { throw std::runtime_error (mOrigin + ": not a firmware volume: " + Why); };
  if (mBytes.size () < 0x48) Refuse ("shorter than a volume header");
  const uint8_t *B = mBytes.data ();
  if (At<uint32_t> (B + 40) != kFvSignature) Refuse ("no _FVH signature");
  uint64_t Length = At<uint64_t> (B + 32);
  uint16_t HeaderLength = At<uint16_t> (B + 48);
  if (Length > mBytes.size () || Length < HeaderLength) Refuse ("FvLength " + std::to_string (Length) + " does not fit the " + std::to_string (mBytes.size ()) + " bytes");
  if (HeaderLength < 0x48 || HeaderLength % 2 != 0) Refuse ("bad HeaderLength");
  uint16_t Sum = 0;
  for (uint16_t I = 0; I < HeaderLength; I += 2) Sum = static_cast<uint16_t> (Sum + At<uint16_t> (B + I));
  if (Sum != 0) Refuse ("header checksum");
  Guid FileSystem = GuidFrom (B + 16);
  if (FileSystem != kFfs2 && FileSystem != kFfs3) Refuse ("unknown file system " + FileSystem.ToString ());
  mBytes.resize (Length);
  B = mBytes.data ();
  mAttributes = At<uint32_t> (B + 44);
  mErasePolarity = (mAttributes & kFvbErasePolarity) != 0;

  uint64_t Start = HeaderLength;
  uint16_t ExtOffset = At<uint16_t> (B + 52);
  if (ExtOffset != 0) {
    if (ExtOffset < HeaderLength || ExtOffset + 20ULL > Length) Refuse ("extended header outside the volume");
    uint32_t ExtSize = At<uint32_t> (B + ExtOffset + 16);
    if (ExtSize < 20 || ExtOffset + static_cast<uint64_t> (ExtSize) > Length) Refuse ("bad extended header size");
    mName = GuidFrom (B + ExtOffset);
    Start = ExtOffset + ExtSize;
  }
  ParseFiles (Align (Start, 8));
}

const FfsFile *FirmwareVolume::FindFile (const Guid &Name) const {
  for (const FfsFile &F : mFiles) {
    if (F.Name == Name) return &F;
  }
  return nullptr;
}

void FirmwareVolume::ParseFiles (uint64_t Offset) {
  const uint8_t Erased = mErasePolarity ? 0xFF : 0x00;
  const uint64_t End = mBytes.size ();
  while (Offset + 24 <= End) {
    const uint8_t *H = mBytes.data () + Offset;
    bool Free = true;
    for (int I = 0; I < 24 && Free; I++) Free = H[I] == Erased;
    if (Free) return;   // the rest of the volume is free space

    FfsFile F;
    F.Name = GuidFrom (H);
    F.Type = H[18];
    F.Attributes = H[19];
    F.Offset = Offset;
    uint64_t Size = Size24 (H + 20);
    F.HeaderSize = 24;
    if ((F.Attributes & kFfsAttribLargeFile) != 0) {
      if (Offset + 32 > End) {
        mNotes.push_back ("file at 0x" + std::to_string (Offset) + ": large-file header runs past the volume");
        return;
      }
      Size = At<uint64_t> (H + 24);
      F.HeaderSize = 32;
    }
    uint8_t State = FileState (H[23], mErasePolarity);
    if (State == kFileHeaderConstruction || State == kFileHeaderInvalid) {
      // A header that was never completed, or was abandoned: its size
      // cannot be trusted, so the walk goes on right after the header,
      // as EDK II's FV driver does.
      Offset += F.HeaderSize;
      continue;
    }
    if (Size < F.HeaderSize || Offset + Size > End) {
      mNotes.push_back ("file " + F.Name.ToString () + " at offset " + std::to_string (Offset) + ": size " +
                        std::to_string (Size) + " runs past the volume; the walk stops");
      return;
    }
    uint8_t HeaderSum = 0;
    for (uint64_t I = 0; I < F.HeaderSize; I++) {
      if (I != 17 && I != 23) HeaderSum = static_cast<uint8_t> (HeaderSum + H[I]);
    }
    uint64_t Next = Align (Offset + Size, 8);
    if (State == kFileDeleted) {
      Offset = Next;   // a retired file: passed over, the walk goes on behind it
      continue;
    }
    if (State != kFileDataValid && State != kFileMarkedForUpdate) {
      // Header valid but the data never completed (or no state bit at
      // all): EDK II's FV driver takes the whole file system as corrupted
      // and offers none of its files.
      mNotes.push_back ("file " + F.Name.ToString () + " at offset " + std::to_string (Offset) + ": state " +
                        std::to_string (State) + " is not a finished file; the volume's file system is corrupt, no file is used");
      mFiles.clear ();
      return;
    }
    if (HeaderSum != 0) {
      mNotes.push_back ("file " + F.Name.ToString () + ": header checksum is wrong; skipped");
      Offset = Next;
      continue;
    }
    F.Data.assign (H + F.HeaderSize, H + Size);
    uint8_t DataSum = H[17];
    if ((F.Attributes & kFfsAttribChecksum) != 0) {
      for (uint8_t V : F.Data) DataSum = static_cast<uint8_t> (DataSum + V);
      if (DataSum != 0) {
        mNotes.push_back ("file " + F.Name.ToString () + ": data checksum is wrong; skipped");
        Offset = Next;
        continue;
      }
    } else if (H[17] != kFfsFixedChecksum) {
      mNotes.push_back ("file " + F.Name.ToString () + ": file checksum is not 0xAA; skipped");
      Offset = Next;
      continue;
    }
    if (F.HasSections ()) {
      ParseSections (F, F.Data.data (), F.Data.size (), 0, 0);
      if (const FfsSection *Ui = F.FindSection (ffs::SectionUserInterface)) {
        for (size_t I = 0; I + 1 < Ui->Data.size (); I += 2) {
          uint16_t C = Ui->Data[I] | (Ui->Data[I + 1] << 8);
          if (C == 0) break;
          F.UiName.push_back (C < 0x80 ? static_cast<char> (C) : '?');
        }
      }
    }
    if (F.Type != ffs::FileTypePad) mFiles.push_back (std::move (F));
    Offset = Next;
  }
}

void FirmwareVolume::ParseSections (FfsFile &File, const uint8_t *Data, uint64_t Size, uint64_t BaseOffset, int Depth) {
  if (Depth > kMaxSectionDepth) {
    mNotes.push_back ("file " + File.Name.ToString () + ": sections nested too deep");
    return;
  }
  uint64_t Offset = 0;
  while (Offset + 4 <= Size) {
    const uint8_t *S = Data + Offset;
    uint64_t SectionSize = Size24 (S);
    uint8_t Type = S[3];
    uint64_t HeaderSize = 4;
    if (SectionSize == 0xFFFFFF) {
      if (Offset + 8 > Size) break;
      SectionSize = At<uint32_t> (S + 4);
      HeaderSize = 8;
    }
    if (SectionSize < HeaderSize || Offset + SectionSize > Size) {
      mNotes.push_back ("file " + File.Name.ToString () + ": section at " + std::to_string (BaseOffset + Offset) +
                        " runs past its file; the rest is ignored");
      return;
    }
    const uint8_t *Body = S + HeaderSize;
    uint64_t BodySize = SectionSize - HeaderSize;
    if (Type == ffs::SectionCompression && BodySize >= 5 && Body[4] == 0) {
      // Not compressed: the inner sections follow the 5-byte header tail.
      ParseSections (File, Body + 5, BodySize - 5, BaseOffset + Offset + HeaderSize + 5, Depth + 1);
    } else if (Type == ffs::SectionGuidDefined && BodySize >= 20 &&
               (At<uint16_t> (Body + 18) & kGuidedProcessingRequired) == 0) {
      uint16_t DataOffset = At<uint16_t> (Body + 16);
      if (DataOffset >= HeaderSize + 20 && DataOffset <= SectionSize) {
        ParseSections (File, S + DataOffset, SectionSize - DataOffset, BaseOffset + Offset + DataOffset, Depth + 1);
      }
    } else {
      FfsSection Leaf;
      Leaf.Type = Type;
      Leaf.Offset = static_cast<uint32_t> (BaseOffset + Offset);
      Leaf.Data.assign (Body, Body + BodySize);
      File.Sections.push_back (std::move (Leaf));
    }
    Offset = Align (Offset + SectionSize, 4);
  }
}

unsigned MarkFileDeleted (std::vector<uint8_t> &Volume, const Guid &File) {
  FirmwareVolume Fv (Volume, "");
  bool ErasePolarity = (Fv.Attributes () & kFvbErasePolarity) != 0;
  unsigned Marked = 0;
  for (const FfsFile &F : Fv.Files ()) {
    if (F.Name != File) continue;
    uint8_t &State = Volume[F.Offset + 23];
    State = ErasePolarity ? static_cast<uint8_t> (State & ~kFileDeleted) : static_cast<uint8_t> (State | kFileDeleted);
    Marked++;
  }
  return Marked;
}

}  // namespace vboard
