// The platform's PCD database behind both PCD protocols: the EDK II
// PCD_PROTOCOL (local token numbers, plus *Ex calls by token space) and the
// PI EFI_PCD_PROTOCOL (always by token space). Reading or writing a PCD that
// the database does not hold stops the board, as the PCD driver's assertion
// would on a real one.
#include "uefi/Firmware.h"

#include <algorithm>

namespace vboard {

uint64_t Firmware::PcdGet (const std::optional<Guid> &Space, uint64_t Token, PcdType Want, uint64_t Caller) {
  PcdEntry *E = Pcds.Find (Space, Token);
  if (E == nullptr) {
    Misuse ("PCD " + PcdDatabase::TokenText (Space, Token) + " read by " + CallerName (Caller) + " is not in the PCD database");
    return 0;
  }
  if (Want == PcdType::Ptr) {
    // GetPtr hands out the datum's address whatever its type; the board
    // keeps scalar data on the host and has no address to give.
    if (E->Type != PcdType::Ptr) {
      Misuse ("PCD " + PcdDatabase::TokenText (Space, Token) + " is " + PcdDatabase::TypeName (E->Type) + ", read as VOID*");
      return 0;
    }
    return E->Buffer;
  }
  // The PCD driver checks only the size of what is read (an assertion in a
  // debug build): a BOOLEAN read as UINT8 gives the stored byte.
  if (PcdDatabase::SizeOf (*E) != PcdDatabase::SizeOf (Want)) {
    Misuse ("PCD " + PcdDatabase::TokenText (Space, Token) + " is " + PcdDatabase::TypeName (E->Type) + " of " +
            std::to_string (PcdDatabase::SizeOf (*E)) + " bytes, read as " + PcdDatabase::TypeName (Want));
    return 0;
  }
  if (E->Type == PcdType::Ptr) {
    uint64_t Value = 0;
    M.Read (E->Buffer, &Value, E->CurSize);
    return Value;
  }
  return E->Value;
}

void Firmware::PcdCallbacks (const PcdEntry &E, uint64_t SpacePointer, uint64_t Token, uint64_t Data, uint64_t Size) {
  // Each callback gets the caller's token-space GUID pointer (NULL for a
  // local token), the token, and the new value as the caller handed it in.
  std::vector<uint64_t> Callbacks = E.Callbacks;   // a callback may cancel itself
  for (uint64_t Fn : Callbacks) {
    if (M.Stopped ()) return;
    M.Call (Fn, {SpacePointer, Token, Data, Size});
  }
}

uint64_t Firmware::PcdSetValue (const std::optional<Guid> &Space, uint64_t Token, PcdType Want, uint64_t Value,
                                uint64_t Caller, uint64_t SpacePointer) {
  PcdEntry *E = Pcds.Find (Space, Token);
  if (E == nullptr) {
    Misuse ("PCD " + PcdDatabase::TokenText (Space, Token) + " set by " + CallerName (Caller) + " is not in the PCD database");
    return efi::NotFound;
  }
  uint64_t Size = PcdDatabase::SizeOf (Want);
  Value = PcdDatabase::Truncate (Want, Value);
  // The PCD driver's callbacks see the value before it is stored: for a
  // token-space PCD before the write is checked at all, for a local token
  // once its size has been accepted.
  uint64_t Data = 0;
  if (!E->Callbacks.empty ()) {
    Data = HostAlloc (8, 8);
    M.Store<uint64_t> (Data, Value);
  }
  if (Space && !E->Callbacks.empty ()) PcdCallbacks (*E, SpacePointer, Token, Data, Size);
  // As the PCD driver: a write whose size is not the PCD's current size is
  // refused; one of the right size stores its bytes as given (a BOOLEAN
  // keeps the byte written, 0xFF included).
  if (PcdDatabase::SizeOf (*E) != Size) {
    return efi::InvalidParameter;
  }
  if (!Space && !E->Callbacks.empty ()) PcdCallbacks (*E, 0, Token, Data, Size);
  if (!E->Callbacks.empty () && M.Stopped ()) return efi::Aborted;
  if (E->Type == PcdType::Ptr) {
    M.Write (E->Buffer, &Value, Size);
  } else {
    E->Value = Value;
  }
  Pcds.RecordSet (Space, Token, Value, CallerName (Caller));
  return efi::Success;
}

void Firmware::AddPcdProtocols () {
  using Slots = std::vector<std::pair<std::string, TrapHandler>>;
  const auto &kTypes = PcdDatabase::kProtocolOrder;
  static const char *const kSuffix[] = {"8", "16", "32", "64", "Ptr", "Bool"};

  // Getters and setters, by local token (Space argument absent) or by token
  // space (first argument a GUID pointer).
  auto Getter = [this] (PcdType T, bool Ex) -> TrapHandler {
    return [this, T, Ex] (CallArgs &A) -> uint64_t {
      std::optional<Guid> Space;
      if (Ex) {
        Space = GuidAt (A[0]);
        if (!Space) {
          Misuse ("PCD get with an unreadable token-space GUID pointer");
          return 0;
        }
      }
      return PcdGet (Space, Ex ? A[1] : A[0], T, A.Caller ());
    };
  };
  auto SizeGetter = [this] (bool Ex) -> TrapHandler {
    return [this, Ex] (CallArgs &A) -> uint64_t {
      std::optional<Guid> Space;
      if (Ex) Space = GuidAt (A[0]);
      PcdEntry *E = Pcds.Find (Space, Ex ? A[1] : A[0]);
      return E == nullptr ? 0 : PcdDatabase::SizeOf (*E);
    };
  };
  auto Setter = [this] (PcdType T, bool Ex) -> TrapHandler {
    return [this, T, Ex] (CallArgs &A) -> uint64_t {
      std::optional<Guid> Space;
      unsigned First = 0;
      if (Ex) {
        Space = GuidAt (A[0]);
        First = 1;
      }
      uint64_t Token = A[First];
      if (T != PcdType::Ptr) {
        return PcdSetValue (Space, Token, T, A[First + 1], A.Caller (), Ex ? A[0] : 0);
      }
      // SetPtr: a size above the declared maximum is refused with the
      // maximum written back; otherwise the bytes are copied and the
      // current size becomes the size given. Callbacks as for the others.
      PcdEntry *E = Pcds.Find (Space, Token);
      uint64_t SizePtr = A[First + 1], Buffer = A[First + 2];
      if (E == nullptr || E->Type != PcdType::Ptr || SizePtr == 0) return efi::InvalidParameter;
      uint64_t Size = M.Load<uint64_t> (SizePtr);
      if (Ex) PcdCallbacks (*E, A[0], Token, Buffer, Size);
      if (Size > E->MaxSize) {
        M.Store<uint64_t> (SizePtr, E->MaxSize);
        return efi::InvalidParameter;
      }
      if (Size != 0 && Buffer == 0) {
        Misuse ("PcdSetPtr of " + std::to_string (Size) + " bytes from a NULL buffer");
        return efi::InvalidParameter;
      }
      if (!Ex) PcdCallbacks (*E, 0, Token, Buffer, Size);
      if (!E->Callbacks.empty () && M.Stopped ()) return efi::Aborted;
      std::vector<uint8_t> Bytes = M.ReadBytes (Buffer, Size);
      M.Write (E->Buffer, Bytes.data (), Size);
      E->CurSize = Size;
      Pcds.RecordSet (Space, Token, Size, CallerName (A.Caller ()));
      return efi::Success;
    };
  };
  auto SetSku = [] (CallArgs &) -> uint64_t { return 0; };
  // CallbackOnSet and CancelCallback (Guid OPTIONAL, TokenNumber, Function):
  // a function is registered once per PCD; cancelling one that is not
  // registered is an invalid parameter.
  auto Callback = [this] (bool Cancel) -> TrapHandler {
    return [this, Cancel] (CallArgs &A) -> uint64_t {
      if (A[2] == 0) return efi::InvalidParameter;
      std::optional<Guid> Space;
      if (A[0] != 0) {
        Space = GuidAt (A[0]);
        if (!Space) {
          Misuse ("PCD callback with an unreadable token-space GUID pointer");
          return efi::InvalidParameter;
        }
      }
      PcdEntry *E = Pcds.Find (Space, A[1]);
      if (E == nullptr) {
        Misuse ("PCD " + PcdDatabase::TokenText (Space, A[1]) + " given to " + (Cancel ? "CancelCallback" : "CallbackOnSet") +
                " by " + CallerName (A.Caller ()) + " is not in the PCD database");
        return efi::InvalidParameter;
      }
      auto At = std::find (E->Callbacks.begin (), E->Callbacks.end (), A[2]);
      if (Cancel) {
        if (At == E->Callbacks.end ()) return efi::InvalidParameter;
        E->Callbacks.erase (At);
      } else if (At == E->Callbacks.end ()) {
        E->Callbacks.push_back (A[2]);
      }
      return efi::Success;
    };
  };

  Slots Edk;
  Edk.push_back ({"SetSku", SetSku});
  for (int I = 0; I < 6; I++) Edk.push_back ({std::string ("Get") + kSuffix[I], Getter (kTypes[I], false)});
  Edk.push_back ({"GetSize", SizeGetter (false)});
  for (int I = 0; I < 6; I++) Edk.push_back ({std::string ("Get") + kSuffix[I] + "Ex", Getter (kTypes[I], true)});
  Edk.push_back ({"GetSizeEx", SizeGetter (true)});
  for (int I = 0; I < 6; I++) Edk.push_back ({std::string ("Set") + kSuffix[I], Setter (kTypes[I], false)});
  for (int I = 0; I < 6; I++) Edk.push_back ({std::string ("Set") + kSuffix[I] + "Ex", Setter (kTypes[I], true)});
  Edk.push_back ({"CallbackOnSet", Callback (false)});
  Edk.push_back ({"CancelCallback", Callback (true)});
  Edk.push_back ({"GetNextToken", nullptr});
  Edk.push_back ({"GetNextTokenSpace", nullptr});

  Slots Pi;
  Pi.push_back ({"SetSku", SetSku});
  for (int I = 0; I < 6; I++) Pi.push_back ({std::string ("Get") + kSuffix[I], Getter (kTypes[I], true)});
  Pi.push_back ({"GetSize", SizeGetter (true)});
  for (int I = 0; I < 6; I++) Pi.push_back ({std::string ("Set") + kSuffix[I], Setter (kTypes[I], true)});
  Pi.push_back ({"CallbackOnSet", Callback (false)});
  Pi.push_back ({"CancelCallback", Callback (true)});
  Pi.push_back ({"GetNextToken", nullptr});
  Pi.push_back ({"GetNextTokenSpace", nullptr});

  uint64_t Handle = NewHandle ();
  InstallProtocol (Handle, guids::PcdProtocol, MakeHostInterface ("PCD", Edk));
  InstallProtocol (Handle, guids::PiPcdProtocol, MakeHostInterface ("PIPCD", Pi));
}

}  // namespace vboard
