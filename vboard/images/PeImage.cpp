#include "images/PeImage.h"

#include "cpu/Machine.h"
#include "host/Files.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace vboard {

namespace {

template <typename T>
T Get (const std::vector<uint8_t> &Bytes, size_t Offset) {
  if (Offset + sizeof (T) > Bytes.size ()) {
    throw std::runtime_error ("truncated image");
  }
  T Value;
  std::memcpy (&Value, Bytes.data () + Offset, sizeof (T));
  return Value;
}

std::string DirName (const std::string &Path) {
  size_t Slash = Path.rfind ('/');
  return Slash == std::string::npos ? "." : Path.substr (0, Slash);
}

}  // namespace

PeImage::PeImage (const std::string &File) : mPath (File) {
  mFile = ReadWholeFile (File);

  size_t Slash = File.rfind ('/');
  mBaseName = File.substr (Slash == std::string::npos ? 0 : Slash + 1);
  size_t Dot = mBaseName.rfind ('.');
  if (Dot != std::string::npos) {
    mBaseName.resize (Dot);
  }
  Parse ();
}

PeImage::PeImage (std::vector<uint8_t> Bytes, const std::string &Name, const std::string &Origin)
    : mPath (Origin), mBaseName (Name), mFile (std::move (Bytes)) {
  Parse ();
}

void PeImage::Parse () {
  const std::string &File = mPath;
  if (Get<uint16_t> (mFile, 0) != 0x5A4D) {
    throw std::runtime_error (File + ": no MZ header");
  }
  uint32_t Pe = Get<uint32_t> (mFile, 0x3C);
  if (Get<uint32_t> (mFile, Pe) != 0x00004550) {
    throw std::runtime_error (File + ": no PE signature");
  }
  if (Get<uint16_t> (mFile, Pe + 4) != 0xAA64) {
    throw std::runtime_error (File + ": not an AArch64 image");
  }
  uint16_t SectionCount = Get<uint16_t> (mFile, Pe + 6);
  uint16_t OptSize = Get<uint16_t> (mFile, Pe + 20);
  size_t Opt = Pe + 24;
  if (Get<uint16_t> (mFile, Opt) != 0x20B) {
    throw std::runtime_error (File + ": not PE32+");
  }
  mEntryRva = Get<uint32_t> (mFile, Opt + 16);
  mLinkBase = Get<uint64_t> (mFile, Opt + 24);
  mSizeOfImage = Get<uint32_t> (mFile, Opt + 56);
  mSizeOfHeaders = Get<uint32_t> (mFile, Opt + 60);
  mSubsystem = Get<uint16_t> (mFile, Opt + 68);
  uint32_t DirCount = Get<uint32_t> (mFile, Opt + 108);
  if (DirCount > 5) {
    mRelocRva = Get<uint32_t> (mFile, Opt + 112 + 5 * 8);
    mRelocSize = Get<uint32_t> (mFile, Opt + 112 + 5 * 8 + 4);
  }

  size_t Sec = Opt + OptSize;
  for (uint16_t I = 0; I < SectionCount; I++, Sec += 40) {
    PeSection S;
    S.Name.assign (reinterpret_cast<const char *> (mFile.data () + Sec), strnlen (reinterpret_cast<const char *> (mFile.data () + Sec), 8));
    S.VirtualSize = Get<uint32_t> (mFile, Sec + 8);
    S.VirtualAddress = Get<uint32_t> (mFile, Sec + 12);
    S.RawSize = Get<uint32_t> (mFile, Sec + 16);
    S.RawOffset = Get<uint32_t> (mFile, Sec + 20);
    mSections.push_back (S);
  }

  // The .debug ELF: next to the image, else where the CodeView record of the
  // debug directory says the build left the .dll.
  std::string Beside = DirName (File) + "/" + mBaseName + ".debug";
  if (BuildOutputExists (Beside)) {
    mDebugFile = Beside;
  }
  if (DirCount > 6) {
    uint32_t DbgRva = Get<uint32_t> (mFile, Opt + 112 + 6 * 8);
    uint32_t DbgSize = Get<uint32_t> (mFile, Opt + 112 + 6 * 8 + 4);
    for (const PeSection &S : mSections) {
      if (DbgSize >= 28 && DbgRva >= S.VirtualAddress && DbgRva < S.VirtualAddress + S.RawSize) {
        size_t Dir = S.RawOffset + (DbgRva - S.VirtualAddress);
        uint32_t Type = Get<uint32_t> (mFile, Dir + 12);
        uint32_t RawPtr = Get<uint32_t> (mFile, Dir + 24);
        if (Type == 2 && RawPtr + 24 < mFile.size ()) {
          uint32_t Sig = Get<uint32_t> (mFile, RawPtr);
          size_t NameAt = Sig == 0x3031424E ? RawPtr + 16 : RawPtr + 24;   // "NB10" or "RSDS"
          std::string Name (reinterpret_cast<const char *> (mFile.data () + NameAt));
          size_t D = Name.rfind ('.');
          std::string Debug = (D == std::string::npos ? Name : Name.substr (0, D)) + ".debug";
          mBuildDir = DirName (Name);
          if (mDebugFile.empty () && BuildOutputExists (Debug)) {
            mDebugFile = Debug;
          }
        }
      }
    }
  }
}

void PeImage::Load (Machine &M, uint64_t Base) const {
  std::vector<uint8_t> Image (mSizeOfImage, 0);
  std::memcpy (Image.data (), mFile.data (), std::min<size_t> (mSizeOfHeaders, mFile.size ()));
  for (const PeSection &S : mSections) {
    uint32_t Size = std::min (S.RawSize, S.VirtualSize == 0 ? S.RawSize : S.VirtualSize);
    if (S.VirtualAddress + static_cast<uint64_t> (Size) > mSizeOfImage || S.RawOffset + static_cast<uint64_t> (Size) > mFile.size ()) {
      throw std::runtime_error (mPath + ": section " + S.Name + " outside the image");
    }
    std::memcpy (Image.data () + S.VirtualAddress, mFile.data () + S.RawOffset, Size);
  }

  uint64_t Delta = Base - mLinkBase;
  for (uint32_t Block = mRelocRva; Block + 8 <= mRelocRva + mRelocSize;) {
    uint32_t Page = Get<uint32_t> (Image, Block);
    uint32_t BlockSize = Get<uint32_t> (Image, Block + 4);
    if (BlockSize < 8) {
      break;
    }
    for (uint32_t E = Block + 8; E + 2 <= Block + BlockSize; E += 2) {
      uint16_t Entry = Get<uint16_t> (Image, E);
      uint32_t Type = Entry >> 12;
      uint32_t At = Page + (Entry & 0xFFF);
      if (Type == 0) {
        continue;   // padding
      }
      if (Type != 10) {
        throw std::runtime_error (mPath + ": unsupported relocation type " + std::to_string (Type));
      }
      uint64_t Value = Get<uint64_t> (Image, At) + Delta;
      std::memcpy (Image.data () + At, &Value, 8);
    }
    Block += BlockSize;
  }
  M.Write (Base, Image.data (), Image.size ());
}

std::vector<Symbolizer::Location> Symbolizer::Lookup (const std::string &DebugFile, uint64_t Rva) {
  if (DebugFile.empty ()) {
    return {};
  }
  auto Key = std::make_pair (DebugFile, Rva);
  auto It = mCache.find (Key);
  if (It != mCache.end ()) {
    return It->second;
  }
  std::vector<Location> Result;
  char Command[1024];
  std::snprintf (Command, sizeof (Command), "aarch64-linux-gnu-addr2line -f -i -e '%s' 0x%llx 2>/dev/null",
                 DebugFile.c_str (), static_cast<unsigned long long> (Rva));
  if (FILE *P = popen (Command, "r")) {
    char Fn[512], Where[1024];
    while (std::fgets (Fn, sizeof (Fn), P) != nullptr && std::fgets (Where, sizeof (Where), P) != nullptr) {
      Location L;
      L.Function = Fn;
      L.Function.erase (L.Function.find_last_not_of ("\r\n") + 1);
      std::string W = Where;
      W.erase (W.find_last_not_of ("\r\n") + 1);
      size_t Paren = W.find (" (");
      if (Paren != std::string::npos) {
        W.resize (Paren);
      }
      size_t Colon = W.rfind (':');
      if (Colon != std::string::npos) {
        L.File = W.substr (0, Colon);
        L.Line = std::atoi (W.c_str () + Colon + 1);
      }
      if (L.File != "??" || L.Function != "??") {
        Result.push_back (L);
      }
    }
    pclose (P);
  }
  mCache[Key] = Result;
  return Result;
}

}  // namespace vboard
