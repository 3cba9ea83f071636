#include "uefi/PcdDatabase.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>

namespace vboard {

PcdDatabase::PcdDatabase (std::function<uint64_t (uint64_t)> GuestMemory, std::vector<std::string> &Findings)
    : mGuestMemory (std::move (GuestMemory)), mFindings (Findings) {}

const char *PcdDatabase::TypeName (PcdType T) {
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

uint64_t PcdDatabase::Truncate (PcdType T, uint64_t V) {
  switch (T) {
    case PcdType::U8: return V & 0xFF;
    case PcdType::U16: return V & 0xFFFF;
    case PcdType::U32: return V & 0xFFFFFFFF;
    case PcdType::Bool: return V & 0xFF;
    default: return V;
  }
}

uint64_t PcdDatabase::SizeOf (PcdType T) {
  switch (T) {
    case PcdType::U8: case PcdType::Bool: return 1;
    case PcdType::U16: return 2;
    case PcdType::U32: return 4;
    case PcdType::U64: return 8;
    case PcdType::Ptr: return 0;
  }
  return 0;
}

uint64_t PcdDatabase::SizeOf (const PcdEntry &E) { return E.Type == PcdType::Ptr ? E.CurSize : SizeOf (E.Type); }

std::string PcdDatabase::TokenText (const std::optional<Guid> &Space, uint64_t Token) {
  char Buf[32];
  std::snprintf (Buf, sizeof (Buf), "0x%llx", static_cast<unsigned long long> (Token));
  return (Space ? Space->ToString () + ":" : std::string ("local token ")) + Buf;
}

PcdEntry PcdDatabase::MakeEntry (PcdType Type, uint64_t Value, uint64_t MaxSize, const std::string &Name,
                                 std::optional<uint64_t> CurSize) {
  PcdEntry E;
  E.Type = Type;
  E.Name = Name;
  if (Type == PcdType::Ptr) {
    E.MaxSize = MaxSize;
    E.CurSize = std::min (CurSize.value_or (MaxSize), MaxSize);
    E.Buffer = mGuestMemory (MaxSize);
  } else {
    E.Value = Truncate (Type, Value);
  }
  return E;
}

void PcdDatabase::Define (std::optional<Guid> Space, uint64_t Token, PcdType Type, uint64_t Value, uint64_t MaxSize,
                          const std::string &Name, std::optional<uint64_t> CurSize) {
  PcdEntry E = MakeEntry (Type, Value, MaxSize, Name, CurSize);
  mEntries[{Space, Token}] = E;
}

PcdEntry *PcdDatabase::Find (const std::optional<Guid> &Space, uint64_t Token) {
  if (!Space) {
    // A local token number is only meaningful through the build that
    // assigned it: look the name up in what the loaded images' builds said.
    auto Named = mLocalTokens.find (Token);
    if (Named != mLocalTokens.end ()) return Local (Named->second);
  }
  auto It = mEntries.find ({Space, Token});
  return It == mEntries.end () ? nullptr : &It->second;
}

void PcdDatabase::DefineLocal (const std::string &Name, PcdType Type, uint64_t Value, uint64_t MaxSize,
                               std::optional<uint64_t> CurSize) {
  PcdEntry E = MakeEntry (Type, Value, MaxSize, Name, CurSize);
  mLocalPcds[Name] = E;
}

PcdEntry *PcdDatabase::Local (const std::string &Name) {
  auto It = mLocalPcds.find (Name);
  return It == mLocalPcds.end () ? nullptr : &It->second;
}

std::vector<std::string> PcdDatabase::LocalNames () const {
  std::vector<std::string> Out;
  for (const auto &L : mLocalPcds) Out.push_back (L.first);
  return Out;
}

std::optional<uint64_t> PcdDatabase::LocalToken (const std::string &Name) const {
  for (const auto &T : mLocalTokens) {
    if (T.second == Name) return T.first;
  }
  return std::nullopt;
}

namespace {

// The "#define _PCD_TOKEN_<Name>  <N>U" lines of a module's AutoGen.h as
// (Name, N) pairs, read once per process (the build's outputs do not change
// while boards run): every board that loads the module binds them again.
using TokenLines = std::vector<std::pair<std::string, std::string>>;

std::shared_ptr<const TokenLines> PcdTokenLines (const std::string &Path) {
  static std::mutex Lock;
  static std::map<std::string, std::shared_ptr<const TokenLines>> Files;
  std::lock_guard<std::mutex> Hold (Lock);
  auto It = Files.find (Path);
  if (It != Files.end ()) return It->second;
  auto Lines = std::make_shared<TokenLines> ();
  std::ifstream In (Path);
  std::string Line;
  const std::string Prefix = "#define _PCD_TOKEN_";
  while (std::getline (In, Line)) {
    if (Line.compare (0, Prefix.size (), Prefix) != 0) continue;
    std::istringstream Fields (Line.substr (Prefix.size ()));
    std::string Name, Number;
    Fields >> Name >> Number;
    Lines->emplace_back (Name, Number);
  }
  Files.emplace (Path, Lines);
  return Lines;
}

}  // namespace

void PcdDatabase::BindLocalTokens (const std::string &BuildDir, const std::string &Image) {
  // The build writes one "#define _PCD_TOKEN_<Name>  <N>U" per PCD a module
  // uses into its AutoGen.h; for the dynamic PCDs of the platform database N
  // is the local token number the platform build assigned.
  std::shared_ptr<const TokenLines> Lines = PcdTokenLines (BuildDir + "/AutoGen.h");
  for (const auto &[Name, Number] : *Lines) {
    if (mLocalPcds.count (Name) == 0 || Number.empty () || !std::isdigit (static_cast<unsigned char> (Number[0]))) continue;
    uint64_t Token = std::stoull (Number, nullptr, 0);
    auto Old = mLocalTokens.find (Token);
    if (Old != mLocalTokens.end () && Old->second != Name) {
      mFindings.push_back (Image + "'s build gives local token " + std::to_string (Token) + " to " + Name +
                          ", another image's to " + Old->second);
      continue;
    }
    mLocalTokens[Token] = Name;
  }
}

std::optional<std::string> PcdDatabase::LocalName (uint64_t Token) const {
  auto Named = mLocalTokens.find (Token);
  if (Named == mLocalTokens.end ()) return std::nullopt;
  return Named->second;
}

std::string PcdDatabase::Name (const std::optional<Guid> &Space, uint64_t Token) const {
  if (!Space) {
    auto Named = mLocalTokens.find (Token);
    if (Named != mLocalTokens.end ()) return Named->second;
  }
  auto It = mEntries.find ({Space, Token});
  return It != mEntries.end () && !It->second.Name.empty () ? It->second.Name : TokenText (Space, Token);
}

uint64_t PcdDatabase::Value (const std::optional<Guid> &Space, uint64_t Token) {
  PcdEntry *E = Find (Space, Token);
  return E == nullptr ? 0 : (E->Type == PcdType::Ptr ? E->Buffer : E->Value);
}

void PcdDatabase::SetValue (const std::optional<Guid> &Space, uint64_t Token, uint64_t Value) {
  if (PcdEntry *E = Find (Space, Token)) {
    E->Value = Truncate (E->Type, Value);
  }
}

void PcdDatabase::RecordSet (const std::optional<Guid> &Space, uint64_t Token, uint64_t Value, const std::string &Caller) {
  mSets.push_back ({Space, Token, Value, Caller, Name (Space, Token)});
}

}  // namespace vboard
