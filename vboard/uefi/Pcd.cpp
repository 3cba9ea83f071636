// The platform's PCD database behind both PCD protocols: the EDK II
// PCD_PROTOCOL (local token numbers, plus *Ex calls by token space) and the
// PI EFI_PCD_PROTOCOL (always by token space). Reading or writing a PCD that
// the database does not hold stops the board, as the PCD driver's assertion
// would on a real one.
#include "uefi/Firmware.h"

#include <cctype>
#include <fstream>
#include <sstream>

namespace vboard {

namespace {

const char *TypeName (PcdType T) {
  switch (T) {
    case PcdType::U8: return "UINT8";
    case PcdType::U16: return "UINT16";
    case PcdType::U32: return "UINT32";
    case PcdType::U64: return "UINT64";
    case PcdType::Bool: return "BOOLEAN";
    case PcdType::Ptr: return "VOID*";
  }
  return "?";
}

uint64_t Truncate (PcdType T, uint64_t V) {
  switch (T) {
    case PcdType::U8: return V & 0xFF;
    case PcdType::U16: return V & 0xFFFF;
    case PcdType::U32: return V & 0xFFFFFFFF;
    case PcdType::Bool: return (V & 0xFF) != 0;
    default: return V;
  }
}

uint64_t SizeOf (const PcdEntry &E) {
  switch (E.Type) {
    case PcdType::U8: case PcdType::Bool: return 1;
    case PcdType::U16: return 2;
    case PcdType::U32: return 4;
    case PcdType::U64: return 8;
    case PcdType::Ptr: return E.CurSize;
  }
  return 0;
}

std::string TokenText (const std::optional<Guid> &Space, uint64_t Token) {
  char Buf[32];
  std::snprintf (Buf, sizeof (Buf), "0x%llx", static_cast<unsigned long long> (Token));
  return (Space ? Space->ToString () + ":" : std::string ("local token ")) + Buf;
}

}  // namespace

PcdEntry Firmware::MakePcdEntry (PcdType Type, uint64_t Value, uint64_t MaxSize, const std::string &Name) {
  PcdEntry E;
  E.Type = Type;
  E.Name = Name;
  if (Type == PcdType::Ptr) {
    E.MaxSize = MaxSize;
    E.CurSize = MaxSize;
    E.Buffer = HostAlloc (MaxSize == 0 ? 1 : MaxSize, 8);
  } else {
    E.Value = Truncate (Type, Value);
  }
  return E;
}

void Firmware::DefinePcd (std::optional<Guid> Space, uint64_t Token, PcdType Type, uint64_t Value, uint64_t MaxSize,
                          const std::string &Name) {
  PcdEntry E = MakePcdEntry (Type, Value, MaxSize, Name);
  mPcds[{Space, Token}] = E;
}

PcdEntry *Firmware::FindPcd (const std::optional<Guid> &Space, uint64_t Token) {
  if (!Space) {
    // A local token number is only meaningful through the build that
    // assigned it: look the name up in what the loaded images' builds said.
    auto Named = mLocalTokens.find (Token);
    if (Named != mLocalTokens.end ()) return LocalPcd (Named->second);
  }
  auto It = mPcds.find ({Space, Token});
  return It == mPcds.end () ? nullptr : &It->second;
}

void Firmware::DefineLocalPcd (const std::string &Name, PcdType Type, uint64_t Value, uint64_t MaxSize) {
  PcdEntry E = MakePcdEntry (Type, Value, MaxSize, Name);
  mLocalPcds[Name] = E;
}

PcdEntry *Firmware::LocalPcd (const std::string &Name) {
  auto It = mLocalPcds.find (Name);
  return It == mLocalPcds.end () ? nullptr : &It->second;
}

std::optional<uint64_t> Firmware::LocalToken (const std::string &Name) const {
  for (const auto &T : mLocalTokens) {
    if (T.second == Name) return T.first;
  }
  return std::nullopt;
}

void Firmware::BindLocalTokens (const std::string &BuildDir, const std::string &Image) {
  // The build writes one "#define _PCD_TOKEN_<Name>  <N>U" per PCD a module
  // uses into its AutoGen.h; for the dynamic PCDs of the platform database N
  // is the local token number the platform build assigned.
  std::ifstream In (BuildDir + "/AutoGen.h");
  std::string Line;
  const std::string Prefix = "#define _PCD_TOKEN_";
  while (std::getline (In, Line)) {
    if (Line.compare (0, Prefix.size (), Prefix) != 0) continue;
    std::istringstream Fields (Line.substr (Prefix.size ()));
    std::string Name, Number;
    Fields >> Name >> Number;
    if (mLocalPcds.count (Name) == 0 || Number.empty () || !std::isdigit (static_cast<unsigned char> (Number[0]))) continue;
    uint64_t Token = std::stoull (Number, nullptr, 0);
    auto Old = mLocalTokens.find (Token);
    if (Old != mLocalTokens.end () && Old->second != Name) {
      Findings.push_back (Image + "'s build gives local token " + std::to_string (Token) + " to " + Name +
                          ", another image's to " + Old->second);
      continue;
    }
    mLocalTokens[Token] = Name;
  }
}

std::string Firmware::PcdName (const std::optional<Guid> &Space, uint64_t Token) const {
  if (!Space) {
    auto Named = mLocalTokens.find (Token);
    if (Named != mLocalTokens.end ()) return Named->second;
  }
  auto It = mPcds.find ({Space, Token});
  return It != mPcds.end () && !It->second.Name.empty () ? It->second.Name : TokenText (Space, Token);
}

uint64_t Firmware::PcdValue (const std::optional<Guid> &Space, uint64_t Token) {
  PcdEntry *E = FindPcd (Space, Token);
  return E == nullptr ? 0 : (E->Type == PcdType::Ptr ? E->Buffer : E->Value);
}

void Firmware::SetPcdValue (const std::optional<Guid> &Space, uint64_t Token, uint64_t Value) {
  if (PcdEntry *E = FindPcd (Space, Token)) {
    E->Value = Truncate (E->Type, Value);
  }
}

uint64_t Firmware::PcdGet (const std::optional<Guid> &Space, uint64_t Token, PcdType Want, uint64_t Caller) {
  PcdEntry *E = FindPcd (Space, Token);
  if (E == nullptr) {
    Misuse ("PCD " + TokenText (Space, Token) + " read by " + CallerName (Caller) + " is not in the PCD database");
    return 0;
  }
  if (E->Type != Want) {
    Misuse ("PCD " + TokenText (Space, Token) + " is " + TypeName (E->Type) + ", read as " + TypeName (Want));
    return 0;
  }
  return E->Type == PcdType::Ptr ? E->Buffer : E->Value;
}

uint64_t Firmware::PcdSetValue (const std::optional<Guid> &Space, uint64_t Token, PcdType Want, uint64_t Value,
                                uint64_t Caller) {
  PcdEntry *E = FindPcd (Space, Token);
  if (E == nullptr) {
    Misuse ("PCD " + TokenText (Space, Token) + " set by " + CallerName (Caller) + " is not in the PCD database");
    return efi::NotFound;
  }
  if (E->Type != Want) {
    return efi::InvalidParameter;
  }
  E->Value = Truncate (E->Type, Value);
  mPcdSets.push_back ({Space, Token, E->Value, CallerName (Caller), PcdName (Space, Token)});
  return efi::Success;
}

void Firmware::AddPcdProtocols () {
  using Slots = std::vector<std::pair<std::string, TrapHandler>>;
  static const PcdType kTypes[] = {PcdType::U8, PcdType::U16, PcdType::U32, PcdType::U64, PcdType::Ptr, PcdType::Bool};
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
      PcdEntry *E = FindPcd (Space, Ex ? A[1] : A[0]);
      return E == nullptr ? 0 : SizeOf (*E);
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
        return PcdSetValue (Space, Token, T, A[First + 1], A.Caller ());
      }
      PcdEntry *E = FindPcd (Space, Token);
      uint64_t SizePtr = A[First + 1], Buffer = A[First + 2];
      if (E == nullptr || E->Type != PcdType::Ptr || SizePtr == 0) return efi::InvalidParameter;
      uint64_t Size = M.Load<uint64_t> (SizePtr);
      if (Size > E->MaxSize) {
        M.Store<uint64_t> (SizePtr, E->MaxSize);
        return efi::InvalidParameter;
      }
      std::vector<uint8_t> Bytes = M.ReadBytes (Buffer, Size);
      M.Write (E->Buffer, Bytes.data (), Size);
      E->CurSize = Size;
      mPcdSets.push_back ({Space, Token, Size, CallerName (A.Caller ()), PcdName (Space, Token)});
      return efi::Success;
    };
  };
  auto SetSku = [] (CallArgs &) -> uint64_t { return 0; };

  Slots Edk;
  Edk.push_back ({"SetSku", SetSku});
  for (int I = 0; I < 6; I++) Edk.push_back ({std::string ("Get") + kSuffix[I], Getter (kTypes[I], false)});
  Edk.push_back ({"GetSize", SizeGetter (false)});
  for (int I = 0; I < 6; I++) Edk.push_back ({std::string ("Get") + kSuffix[I] + "Ex", Getter (kTypes[I], true)});
  Edk.push_back ({"GetSizeEx", SizeGetter (true)});
  for (int I = 0; I < 6; I++) Edk.push_back ({std::string ("Set") + kSuffix[I], Setter (kTypes[I], false)});
  for (int I = 0; I < 6; I++) Edk.push_back ({std::string ("Set") + kSuffix[I] + "Ex", Setter (kTypes[I], true)});
  Edk.push_back ({"CallbackOnSet", nullptr});
  Edk.push_back ({"CancelCallback", nullptr});
  Edk.push_back ({"GetNextToken", nullptr});
  Edk.push_back ({"GetNextTokenSpace", nullptr});

  Slots Pi;
  Pi.push_back ({"SetSku", SetSku});
  for (int I = 0; I < 6; I++) Pi.push_back ({std::string ("Get") + kSuffix[I], Getter (kTypes[I], true)});
  Pi.push_back ({"GetSize", SizeGetter (true)});
  for (int I = 0; I < 6; I++) Pi.push_back ({std::string ("Set") + kSuffix[I], Setter (kTypes[I], true)});
  Pi.push_back ({"CallbackOnSet", nullptr});
  Pi.push_back ({"CancelCallback", nullptr});
  Pi.push_back ({"GetNextToken", nullptr});
  Pi.push_back ({"GetNextTokenSpace", nullptr});

  uint64_t Handle = NewHandle ();
  InstallProtocol (Handle, guids::PcdProtocol, MakeHostInterface ("PCD", Edk));
  InstallProtocol (Handle, guids::PiPcdProtocol, MakeHostInterface ("PIPCD", Pi));
}

}  // namespace vboard
