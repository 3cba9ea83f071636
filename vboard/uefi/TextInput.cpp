#include "uefi/TextInput.h"
#include "uefi/BootManager.h"
#include "uefi/GuidNames.h"

namespace vboard {

const Guid TextInputs::kProtocol = Guid::Parse ("387477C1-69C7-11D2-8E39-00A0C969723B");

uint64_t TextInputs::Add () {
  // EFI_SIMPLE_TEXT_INPUT_PROTOCOL: Reset, ReadKeyStroke, WaitForKey.
  uint64_t Iface = mFw.MakeHostInterface ("ConIn" + std::to_string (mHandles.size ()),
      {{"Reset", [this] (CallArgs &A) -> uint64_t {
          uint64_t Handle = 0;
          for (size_t I = 0; I < mInterfaces.size (); I++) {
            if (mInterfaces[I] == A[0]) Handle = mHandles[I];
          }
          Resets.push_back ({Handle, (A[1] & 0xFF) != 0, mFw.CallerName (A.Caller ())});
          return Handle == 0 ? efi::InvalidParameter : efi::Success;
        }},
       {"ReadKeyStroke", [] (CallArgs &) -> uint64_t { return efi::NotReady; }}},
      0, 8);
  uint64_t Handle = 0;
  mFw.InstallProtocol (Handle, kProtocol, Iface);
  // A keyboard of the board, named by a vendor hardware path whose last
  // byte is its index, so a boot manager can put it in ConIn.
  Guid Keyboard = Guid::Parse ("8D2C61E0-4B7A-4F13-9E25-C03A7D5F1B00");
  Keyboard.Bytes[15] = static_cast<uint8_t> (mHandles.size ());
  devpath::Bytes Path = devpath::Join ({devpath::Node (1, 4, {Keyboard.Bytes.begin (), Keyboard.Bytes.end ()}), devpath::End ()});
  mFw.InstallProtocol (Handle, names::Named ("gEfiDevicePathProtocolGuid"), mFw.HostCopy (Path.data (), Path.size ()));
  mHandles.push_back (Handle);
  mInterfaces.push_back (Iface);
  return Handle;
}

}  // namespace vboard
