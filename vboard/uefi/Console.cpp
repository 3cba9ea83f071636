#include "uefi/Console.h"

#include "uefi/TextInput.h"
#include "uefi/BootManager.h"
#include "uefi/GuidNames.h"

namespace vboard {

const Guid TextConsole::kTextOutProtocol = Guid::Parse ("387477C2-69C7-11D2-8E39-00A0C969723B");

namespace {
// EFI_SYSTEM_TABLE: the console fields after the 24-byte header, the
// firmware vendor pointer and the revision.
constexpr uint64_t kConsoleInHandle = 40, kConIn = 48, kConsoleOutHandle = 56, kConOut = 64;
constexpr uint64_t kStandardErrorHandle = 72, kStdErr = 80;
// SIMPLE_TEXT_OUTPUT_MODE: MaxMode, Mode, Attribute, CursorColumn,
// CursorRow (INT32 each), CursorVisible (BOOLEAN).
constexpr uint64_t kModeSize = 24;
// The protocol: nine function pointers, then the Mode pointer.
constexpr uint64_t kModePointer = 9 * 8;
constexpr size_t kMaxString = 0x10000;   // characters read from one OutputString
}  // namespace

TextConsole::TextConsole (Firmware &Fw) : mFw (Fw) { Clear (); }

void TextConsole::Clear () {
  mScreen.assign (kRows, std::string (kColumns, ' '));
  mColumn = mRow = 0;
}

void TextConsole::NewLine () {
  // A line feed at the bottom row scrolls the screen up by one row.
  if (mRow + 1 < kRows) {
    mRow++;
    return;
  }
  mScreen.erase (mScreen.begin ());
  mScreen.push_back (std::string (kColumns, ' '));
}

void TextConsole::Put (char16_t C) {
  switch (C) {
    case u'\n': NewLine (); return;
    case u'\r': mColumn = 0; return;
    case u'\b': if (mColumn > 0) mColumn--; return;
    default: break;
  }
  mScreen[mRow][mColumn] = C >= 0x20 && C < 0x7F ? static_cast<char> (C) : '?';
  // Writing the last column wraps to the start of the next row.
  if (++mColumn == kColumns) {
    mColumn = 0;
    NewLine ();
  }
}

std::string TextConsole::Row (unsigned Index) const {
  if (Index >= kRows) return "";
  std::string R = mScreen[Index];
  R.erase (R.find_last_not_of (' ') + 1);
  return R;
}

void TextConsole::SyncMode () {
  Machine &M = mFw.M;
  M.Store<int32_t> (mMode + 0, 1);
  M.Store<int32_t> (mMode + 4, 0);
  M.Store<int32_t> (mMode + 8, static_cast<int32_t> (mAttribute));
  M.Store<int32_t> (mMode + 12, static_cast<int32_t> (mColumn));
  M.Store<int32_t> (mMode + 16, static_cast<int32_t> (mRow));
  M.Store<uint8_t> (mMode + 20, mCursorVisible ? 1 : 0);
}

void TextConsole::Install (uint64_t InputHandle) {
  Machine &M = mFw.M;
  auto Record = [this] (CallArgs &A, const std::string &What) { Calls.push_back ({What, mFw.CallerName (A.Caller ())}); };
  // Every member takes This first; a This that is not this console is a
  // caller's bug a real console would not survive.
  auto Mine = [this] (CallArgs &A, const char *Name) {
    if (A[0] != mInterface) mFw.Misuse (std::string ("ConOut.") + Name + ": This is not the console's protocol");
    return A[0] == mInterface;
  };
  mInterface = mFw.MakeHostInterface ("ConOut",
      {{"Reset", [this, Record, Mine] (CallArgs &A) -> uint64_t {
          if (!Mine (A, "Reset")) return efi::InvalidParameter;
          Record (A, "Reset");
          mAttribute = 0x07;
          Clear ();
          SyncMode ();
          return efi::Success;
        }},
       {"OutputString", [this, Record, Mine] (CallArgs &A) -> uint64_t {
          if (!Mine (A, "OutputString")) return efi::InvalidParameter;
          std::u16string Text = mFw.M.ReadUcs2 (A[1], kMaxString);
          Record (A, "OutputString " + Narrow (Text));
          mTranscript += Narrow (Text);
          for (char16_t C : Text) Put (C);
          SyncMode ();
          return efi::Success;
        }},
       {"TestString", [Mine] (CallArgs &A) -> uint64_t { return Mine (A, "TestString") ? efi::Success : efi::InvalidParameter; }},
       {"QueryMode", [this, Mine] (CallArgs &A) -> uint64_t {
          if (!Mine (A, "QueryMode")) return efi::InvalidParameter;
          if (A[1] != 0) return efi::Unsupported;
          if (A[2] == 0 || A[3] == 0) return efi::InvalidParameter;
          mFw.M.Store<uint64_t> (A[2], kColumns);
          mFw.M.Store<uint64_t> (A[3], kRows);
          return efi::Success;
        }},
       {"SetMode", [this, Record, Mine] (CallArgs &A) -> uint64_t {
          if (!Mine (A, "SetMode")) return efi::InvalidParameter;
          if (A[1] != 0) return efi::Unsupported;
          Record (A, "SetMode 0");
          Clear ();
          SyncMode ();
          return efi::Success;
        }},
       {"SetAttribute", [this, Mine] (CallArgs &A) -> uint64_t {
          if (!Mine (A, "SetAttribute")) return efi::InvalidParameter;
          if (A[1] > 0x7F) return efi::Unsupported;
          mAttribute = static_cast<uint32_t> (A[1]);
          SyncMode ();
          return efi::Success;
        }},
       {"ClearScreen", [this, Record, Mine] (CallArgs &A) -> uint64_t {
          if (!Mine (A, "ClearScreen")) return efi::InvalidParameter;
          Record (A, "ClearScreen");
          Clear ();
          SyncMode ();
          return efi::Success;
        }},
       {"SetCursorPosition", [this, Record, Mine] (CallArgs &A) -> uint64_t {
          if (!Mine (A, "SetCursorPosition")) return efi::InvalidParameter;
          Record (A, "SetCursorPosition " + std::to_string (A[1]) + " " + std::to_string (A[2]));
          // Outside the current mode's geometry the cursor does not move.
          if (A[1] >= kColumns || A[2] >= kRows) return efi::Unsupported;
          mColumn = static_cast<unsigned> (A[1]);
          mRow = static_cast<unsigned> (A[2]);
          SyncMode ();
          return efi::Success;
        }},
       {"EnableCursor", [this, Mine] (CallArgs &A) -> uint64_t {
          if (!Mine (A, "EnableCursor")) return efi::InvalidParameter;
          mCursorVisible = (A[1] & 0xFF) != 0;
          SyncMode ();
          return efi::Success;
        }}},
      0, 8);
  mMode = mFw.HostAlloc (kModeSize);
  M.Store<uint64_t> (mInterface + kModePointer, mMode);
  SyncMode ();
  mFw.InstallProtocol (mHandle, kTextOutProtocol, mInterface);
  // The display is a device of the board: a vendor hardware path names it,
  // so a boot manager can put it in the ConOut and ErrOut variables.
  Guid Display = Guid::Parse ("5E1F8A36-2C47-4B90-A1D3-6F08B27C9E45");
  devpath::Bytes Path = devpath::Join ({devpath::Node (1, 4, {Display.Bytes.begin (), Display.Bytes.end ()}), devpath::End ()});
  mFw.InstallProtocol (mHandle, names::Named ("gEfiDevicePathProtocolGuid"), mFw.HostCopy (Path.data (), Path.size ()));

  uint64_t Input = mFw.InterfaceOn (InputHandle, TextInputs::kProtocol).value_or (0);
  uint64_t St = mFw.SystemTable;
  M.Store<uint64_t> (St + kConsoleInHandle, InputHandle);
  M.Store<uint64_t> (St + kConIn, Input);
  M.Store<uint64_t> (St + kConsoleOutHandle, mHandle);
  M.Store<uint64_t> (St + kConOut, mInterface);
  M.Store<uint64_t> (St + kStandardErrorHandle, mHandle);
  M.Store<uint64_t> (St + kStdErr, mInterface);
}

}  // namespace vboard
