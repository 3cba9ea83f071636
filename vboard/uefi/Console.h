// The system console of the board: a text screen behind ConOut (and
// StdErr) as EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL describes it, one 80x25 mode,
// and ConIn, the first of the board's text-input devices. The screen keeps
// what the guest left on it, so a test reads it back row by row.
#pragma once

#include "uefi/Firmware.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vboard {

class TextConsole {
 public:
  static const Guid kTextOutProtocol;     // 387477C2-69C7-11D2-8E39-00A0C969723B
  static constexpr unsigned kColumns = 80;
  static constexpr unsigned kRows = 25;

  explicit TextConsole (Firmware &Fw);
  // Installs ConOut on its own handle and fills in the system table's
  // console fields; ConIn is the Simple Text Input protocol on InputHandle.
  void Install (uint64_t InputHandle);

  // The screen: kRows rows of kColumns characters (non-ASCII shown as '?').
  std::vector<std::string> Screen () const { return mScreen; }
  // One row with its trailing spaces removed.
  std::string Row (unsigned Index) const;
  unsigned CursorColumn () const { return mColumn; }
  unsigned CursorRow () const { return mRow; }
  // Every string the guest wrote, in order, as it was written.
  std::string Transcript () const { return mTranscript; }

  // Each ConOut call: "ClearScreen", "SetCursorPosition 0 0",
  // "OutputString Boot From Network\n\r", with the caller's image.
  struct Call {
    std::string What;
    std::string Caller;
  };
  std::vector<Call> Calls;
  uint64_t Interface () const { return mInterface; }

 private:
  void Clear ();
  void NewLine ();
  void Put (char16_t C);

  Firmware &mFw;
  uint64_t mInterface = 0, mMode = 0, mHandle = 0;
  std::vector<std::string> mScreen;
  unsigned mColumn = 0, mRow = 0;
  uint32_t mAttribute = 0x07;
  bool mCursorVisible = true;
  std::string mTranscript;
  void SyncMode ();
};

}  // namespace vboard
