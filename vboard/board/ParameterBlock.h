// The platform parameter block that the earlier boot firmware leaves in
// memory at 0xC8500: a signature (0x54460015) at +0, the block's size in
// bytes at +8 and the number of CPU sockets at +12. It sits in a 4 KiB page
// of RAM at 0xC8000 that takes the place of the boot flash's window there;
// the page is read-only to DXE code.
#pragma once

#include "board/BootFlash.h"
#include "cpu/Machine.h"

#include <cstdint>
#include <vector>

namespace vboard {

class ParameterBlock {
 public:
  static constexpr uint64_t kAddress = 0xC8500;
  static constexpr uint64_t kPage = 0xC8000, kPageSize = 0x1000;
  static constexpr uint32_t kSignature = 0x54460015;
  static constexpr uint32_t kSize = 16;   // what this board's earlier firmware writes

  explicit ParameterBlock (Machine &M) : mMachine (M) {}
  // Maps the page over the flash window (the board does this at power-on).
  void Install (BootFlash &Flash);

  // Writes a block: signature, size and socket count; the rest of the page
  // stays as it was.
  void Set (uint32_t Signature, uint32_t Size, uint8_t SocketCount);
  void SetSocketCount (uint8_t Count) { Set (kSignature, kSize, Count); }
  // Raw bytes from the block's start (for corrupt blocks).
  void SetBytes (uint64_t Offset, const std::vector<uint8_t> &Bytes);
  uint8_t SocketCount () const { return mMachine.Load<uint8_t> (kAddress + 12); }

 private:
  Machine &mMachine;
};

}  // namespace vboard
