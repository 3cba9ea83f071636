// The boot flash as NOR memory. The guest reads it memory-mapped (the board
// maps it read-only from 0x1000 up to 16 MiB) and changes it only through
// the flash-access protocol that a platform module of the real firmware
// produces, served here from the host:
//   slot 4  Erase (Address)                  erases the 64 KiB block holding Address
//   slot 6  Write (Address, Buffer, Length)  programs Length bytes
// Programming only clears bits (new = old AND data), so writing over data
// that is not erased mixes the two, as on the real part. The array belongs to
// the W25Q part (SpiNorFlash): the protocol's erase and write go through its
// block and sector protection, and a write or erase that meets a locked block
// leaves it unchanged and returns EFI_WRITE_PROTECTED. The other slots are
// not provided: a call reports an unimplemented service.
//
// Fault injection: an erase or a write can be made to fail with a status
// (nothing changes), and a power cut can be armed for the next write: only
// its first N bytes are programmed, then the machine halts as at a power
// loss. The image can be saved and loaded, so a following "boot" on a new
// board starts from the same flash contents; the part's non-volatile status
// registers go to a small file beside it (SpiNorFlash::StatePath).
#pragma once

#include "board/SpiNorFlash.h"
#include "cpu/Machine.h"
#include "uefi/Firmware.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vboard {

class BootFlash {
 public:
  static constexpr uint64_t kBase = 0x0;
  static constexpr uint64_t kSize = 0x1000000;          // 16 MiB
  static constexpr uint64_t kMappedFrom = 0x1000;        // page 0 stays unmapped
  static constexpr uint64_t kBlockSize = 0x10000;        // erase unit

  BootFlash (Machine &M, Firmware &Fw, SpiNorFlash &Part) : mMachine (M), mFw (Fw), mPart (Part) {}

  // Installs the flash-access protocol on a new handle (the board does this
  // at power-on); Uninstall removes it again, for tests of its absence.
  void Install ();
  void Uninstall ();
  uint64_t Interface () const { return mInterface; }

  // Another device takes the place of the flash's window over this range
  // (a page of RAM, say): the flash's bytes there can no longer be read or
  // changed through the window, and the image reads erased there.
  void Shadow (uint64_t Address, uint64_t Size) { mShadowed.push_back ({Address, Size}); }

  // Host-side access as an external programmer has it: NOR semantics, no
  // write protection. False when the range is not inside the mapped flash.
  bool Program (uint64_t Address, const std::vector<uint8_t> &Data);
  bool EraseBlock (uint64_t Address);
  std::vector<uint8_t> Read (uint64_t Address, uint64_t Size) const { return mMachine.ReadBytes (Address, Size); }

  // The whole part as a file of kSize bytes (page 0 reads as erased), with
  // the status registers beside it. Load fails on a file of another size; a
  // missing file is not an error for LoadIfPresent (nor a missing status
  // file: the part keeps its factory status registers). Bytes the board
  // cannot reach (page 0, shadowed ranges) are saved as they were loaded.
  // Save writes each file whole or not at all.
  std::vector<uint8_t> Image () const;
  void SetImage (const std::vector<uint8_t> &Bytes);
  void Save (const std::string &Path) const;            // throws on I/O errors
  bool LoadIfPresent (const std::string &Path);          // throws on a bad file

  // Fault injection. A forced status applies to every later call until reset.
  std::optional<uint64_t> FailErase;
  std::optional<uint64_t> FailWrite;
  // The next write programs only this many bytes, then the machine halts as
  // at a power loss (a write no longer than that completes and disarms it).
  std::optional<uint64_t> PowerCutAfterBytes;

  struct Operation {
    bool Erase = false;
    uint64_t Address = 0;
    uint64_t Length = 0;     // bytes asked for (erase: the block size)
    uint64_t Status = 0;
    std::string Caller;      // image that called the protocol
  };
  std::vector<Operation> Operations;   // every protocol call, in order

 private:
  // Length bytes of Image () from Offset on.
  void ImageBytes (uint64_t Offset, uint8_t *Out, size_t Length) const;
  uint64_t DoErase (CallArgs &A);
  uint64_t DoWrite (CallArgs &A);
  static bool InFlash (uint64_t Address, uint64_t Size);
  // Writes the window, leaving shadowed ranges alone.
  bool Store (uint64_t Address, const uint8_t *Bytes, uint64_t Size);

  Machine &mMachine;
  Firmware &mFw;
  SpiNorFlash &mPart;
  uint64_t mInterface = 0;
  uint64_t mHandle = 0;
  struct Range {
    uint64_t Address, Size;
  };
  std::vector<Range> mShadowed;
  std::vector<uint8_t> mLoaded;        // the image as loaded, for what the board cannot change
};

}  // namespace vboard
