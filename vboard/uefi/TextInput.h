// Simple-text-input devices (EFI_SIMPLE_TEXT_INPUT_PROTOCOL) of the board's
// consoles: each on its own handle, with no keys pending. Reset calls are
// recorded with the device and the caller; ReadKeyStroke answers
// EFI_NOT_READY. WaitForKey is left 0: this board's consoles never signal a
// key.
#pragma once

#include "uefi/Firmware.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vboard {

class TextInputs {
 public:
  static const Guid kProtocol;   // 387477C1-69C7-11D2-8E39-00A0C969723B

  explicit TextInputs (Firmware &Fw) : mFw (Fw) {}
  // Installs one more device on a new handle; returns the handle.
  uint64_t Add ();
  const std::vector<uint64_t> &Handles () const { return mHandles; }

  struct ResetCall {
    uint64_t Handle;             // 0 when the This pointer is no device's
    bool ExtendedVerification;
    std::string Caller;
  };
  std::vector<ResetCall> Resets;

 private:
  Firmware &mFw;
  std::vector<uint64_t> mHandles, mInterfaces;
};

}  // namespace vboard
