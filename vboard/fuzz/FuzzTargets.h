// The fuzz targets of the board: one per input surface a module parses
// (flash contents, setup variables, BMC and SCP replies, HOBs, ACPI tables,
// the parameter block). Each run builds a fresh default board, places the
// input where the module reads it, runs the module's real AARCH64 image and
// reports any fault the board catches (stray access, guard page, canary,
// dead loop, failed assertion, instruction budget) and any leaked pool block.
// The libFuzzer driver (FuzzMain.cpp) and `vboard --fuzz-replay` both use
// these, so a reproducer replays exactly as it crashed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vboard {
class Board;
}

namespace vboard::fuzz {

// The input, read front to back; past its end every read gives zeros.
class Input {
 public:
  Input (const uint8_t *Data, size_t Size) : mData (Data), mSize (Size) {}
  uint8_t U8 () { return mPos < mSize ? mData[mPos++] : 0; }
  uint16_t U16 () { return static_cast<uint16_t> (U8 () | (U8 () << 8)); }
  uint32_t U32 () { return U16 () | (static_cast<uint32_t> (U16 ()) << 16); }
  std::vector<uint8_t> Bytes (size_t Count);   // up to Count, fewer at the end
  std::vector<uint8_t> Rest () { return Bytes (mSize - mPos); }
  bool Empty () const { return mPos >= mSize; }

 private:
  const uint8_t *mData;
  size_t mSize;
  size_t mPos = 0;
};

struct Target {
  const char *Name;
  const char *Surface;                 // what the input stands for
  std::vector<std::string> Modules;    // whose code blocks count as coverage
  std::function<void (Board &, Input &)> Run;
  // Well-formed inputs to start a corpus from (the checked-in seeds are
  // written from these by `vboard --fuzz-write-seeds DIR`).
  std::function<std::vector<std::vector<uint8_t>> ()> Seeds = {};
  // What the input changes on a board before any image runs, so that the
  // same input can be placed on a board that then boots a whole platform,
  // under either core: board state, the replies of a device model both
  // cores reach, and volumes the board's flash holds beyond the platform's
  // (Board::DeletedFiles, Board::FurtherVolumes).
  std::function<void (Board &, Input &)> Place = {};
};

const std::vector<Target> &Targets ();
const Target *FindTarget (const std::string &Name);

// Called for each guest code block of one of the target's modules that a
// run entered: the module's name, the block's offset in its image and how
// many times the run entered it.
using BlockSink = std::function<void (const std::string &Module, uint64_t Offset, uint64_t Count)>;

// Runs one input on a fresh board. Returns "" when the run was clean, else
// the board's fault report or the leaks found.
std::string RunOne (const Target &T, const uint8_t *Data, size_t Size, const BlockSink &Blocks = nullptr);

// The directory of the DEBUG AARCH64 images the targets run (set at build
// time; a test build may point elsewhere).
std::string ImagesDir ();
// The test-only images of the same build (the planted fault, the served
// network boot program).
std::string TestImagesDir ();
// The volume holding the planted-fault parser alone, for a whole-platform
// boot under either core.
std::string PlantedVolume ();

// A firmware volume holding one FREEFORM file of RAW sections, laid out as
// EDK II's GenFv writes one (header and file checksums, 8-byte file and
// 4-byte section alignment, erase polarity 1).
std::vector<uint8_t> RawSectionVolume (const std::vector<uint8_t> &FileGuid, const std::vector<std::vector<uint8_t>> &Sections);

}  // namespace vboard::fuzz
