#include "board/BootFlash.h"

#include "host/Files.h"

#include <algorithm>
#include <filesystem>

#include "board/Platform.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace vboard {

bool BootFlash::InFlash (uint64_t Address, uint64_t Size) {
  return Address >= kMappedFrom && Address < kBase + kSize && Size <= kBase + kSize - Address;
}

void BootFlash::Install () {
  mInterface = mFw.MakeHostInterface ("FlashAccess", {
      {"Initialize", nullptr},
      {"GetInfo", nullptr},
      {"Read", nullptr},
      {"Lock", nullptr},
      {"Erase", [this] (CallArgs &A) { return DoErase (A); }},
      {"EraseRange", nullptr},
      {"Write", [this] (CallArgs &A) { return DoWrite (A); }},
  });
  mHandle = 0;
  mFw.InstallProtocol (mHandle, platform::kFlashAccessProtocol, mInterface);
}

void BootFlash::Uninstall () {
  if (mHandle != 0) {
    mFw.UninstallProtocol (mHandle, platform::kFlashAccessProtocol, mInterface);
    mHandle = 0;
  }
}

bool BootFlash::Program (uint64_t Address, const std::vector<uint8_t> &Data) {
  if (!InFlash (Address, Data.size ())) {
    return false;
  }
  std::vector<uint8_t> Cells = mMachine.ReadBytes (Address, Data.size ());
  for (size_t I = 0; I < Cells.size (); I++) {
    Cells[I] &= Data[I];
  }
  return Store (Address, Cells.data (), Cells.size ());
}

bool BootFlash::EraseBlock (uint64_t Address) {
  uint64_t Block = Address & ~(kBlockSize - 1);
  uint64_t From = Block < kMappedFrom ? kMappedFrom : Block;
  if (!InFlash (Address, 1)) {
    return false;
  }
  std::vector<uint8_t> Erased (Block + kBlockSize - From, 0xFF);
  return Store (From, Erased.data (), Erased.size ());
}

uint64_t BootFlash::DoErase (CallArgs &A) {
  Operation Op{true, A[0], kBlockSize, efi::Success, mFw.CallerName (A.Caller ())};
  if (FailErase) {
    Op.Status = *FailErase;
  } else if (!InFlash (Op.Address, 1)) {
    Op.Status = efi::InvalidParameter;
  } else if (!mPart.EraseBlock (Op.Address)) {
    Op.Status = efi::WriteProtected;
  }
  Operations.push_back (Op);
  return Op.Status;
}

uint64_t BootFlash::DoWrite (CallArgs &A) {
  Operation Op{false, A[0], A[2] & 0xFFFFFFFFULL, efi::Success, mFw.CallerName (A.Caller ())};
  std::vector<uint8_t> Data (FailWrite || !InFlash (Op.Address, Op.Length) ? 0 : Op.Length);
  if (FailWrite) {
    Op.Status = *FailWrite;
  } else if (!InFlash (Op.Address, Op.Length)) {
    Op.Status = efi::InvalidParameter;
  } else if (!mMachine.Read (A[1], Data.data (), Data.size ())) {
    mFw.Misuse ("FlashAccess.Write: source buffer is not readable memory");
    Op.Status = efi::InvalidParameter;
  } else if (PowerCutAfterBytes && *PowerCutAfterBytes < Data.size ()) {
    // The supply fails part-way: the bytes programmed so far stay, the rest
    // of the write never happens, and nothing runs any more.
    uint64_t Done = *PowerCutAfterBytes;
    PowerCutAfterBytes.reset ();
    Data.resize (Done);
    mPart.ProgramRange (Op.Address, Data);
    Op.Status = efi::Aborted;
    Operations.push_back (Op);
    char Text[128];
    std::snprintf (Text, sizeof (Text), "power lost during a flash write at 0x%llx (%llu of %llu bytes programmed)",
                   static_cast<unsigned long long> (Op.Address), static_cast<unsigned long long> (Done),
                   static_cast<unsigned long long> (Op.Length));
    mMachine.Halt (Text);
    return Op.Status;
  } else {
    PowerCutAfterBytes.reset ();
    if (!mPart.ProgramRange (Op.Address, Data)) {
      Op.Status = efi::WriteProtected;
    }
  }
  Operations.push_back (Op);
  return Op.Status;
}

void BootFlash::ImageBytes (uint64_t Offset, uint8_t *Out, size_t Length) const {
  // Page 0 and the shadowed ranges cannot change on the board: they keep the
  // bytes the image was loaded with (erased when none was).
  uint64_t End = Offset + Length;
  if (End > kMappedFrom) {
    uint64_t From = std::max (Offset, kMappedFrom);
    mMachine.Read (From, Out + (From - Offset), End - From);
  }
  auto Keep = [&] (uint64_t Lo, uint64_t Hi) {
    Lo = std::max (Lo, Offset), Hi = std::min (Hi, End);
    if (Lo >= Hi) return;
    if (mLoaded.empty ()) {
      std::memset (Out + (Lo - Offset), 0xFF, Hi - Lo);
    } else {
      std::memcpy (Out + (Lo - Offset), mLoaded.data () + Lo, Hi - Lo);
    }
  };
  Keep (0, kMappedFrom);
  for (const Range &R : mShadowed) Keep (R.Address, std::min (R.Address + R.Size, kSize));
}

std::vector<uint8_t> BootFlash::Image () const {
  std::vector<uint8_t> Bytes (kSize);
  ImageBytes (0, Bytes.data (), kSize);
  return Bytes;
}

void BootFlash::SetImage (const std::vector<uint8_t> &Bytes) {
  if (Bytes.size () != kSize) {
    throw std::runtime_error ("a boot-flash image is " + std::to_string (kSize) + " bytes, not " +
                              std::to_string (Bytes.size ()));
  }
  Store (kMappedFrom, Bytes.data () + kMappedFrom, kSize - kMappedFrom);
  mLoaded = Bytes;
}

bool BootFlash::Store (uint64_t Address, const uint8_t *Bytes, uint64_t Size) {
  uint64_t End = Address + Size;
  bool Ok = true;
  while (Address < End) {
    // The next shadowed range at or after Address bounds this piece.
    uint64_t PieceEnd = End, Skip = 0;
    for (const Range &R : mShadowed) {
      if (R.Address + R.Size <= Address || R.Address >= PieceEnd) continue;
      if (R.Address <= Address) {
        Skip = std::max (Skip, std::min (End, R.Address + R.Size) - Address);
      } else {
        PieceEnd = R.Address;
      }
    }
    if (Skip != 0) {
      Bytes += Skip, Address += Skip;
      continue;
    }
    Ok = mMachine.Write (Address, Bytes, PieceEnd - Address) && Ok;
    Bytes += PieceEnd - Address, Address = PieceEnd;
  }
  return Ok;
}

void BootFlash::Save (const std::string &Path) const {
  WriteWholeFile (Path, kSize, [this] (uint64_t Offset, uint8_t *Buffer, size_t Length) { ImageBytes (Offset, Buffer, Length); });
  mPart.SaveState (SpiNorFlash::StatePath (Path));
}

bool BootFlash::LoadIfPresent (const std::string &Path) {
  std::error_code Error;
  if (!std::filesystem::exists (Path, Error) && !Error) {
    return false;
  }
  SetImage (ReadWholeFile (Path));
  mPart.LoadStateIfPresent (SpiNorFlash::StatePath (Path));
  return true;
}

}  // namespace vboard
