#include "uefi/TextInput.h"

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
  mHandles.push_back (Handle);
  mInterfaces.push_back (Iface);
  return Handle;
}

}  // namespace vboard
