// The board's reports: addresses described by image, function and source
// line (from the build's .debug files), allocation sites, and the leak check.
#include "uefi/Firmware.h"

#include <cstdio>
#include <cstring>
#include <set>

namespace vboard {

namespace {
std::string ShortFile (const std::string &File) {
  size_t Pkg = File.rfind ("ArmServerFeaturePkg/");
  if (Pkg != std::string::npos) {
    return File.substr (Pkg + std::strlen ("ArmServerFeaturePkg/"));
  }
  size_t Slash = File.rfind ('/');
  return Slash == std::string::npos ? File : File.substr (Slash + 1);
}
}  // namespace

std::string Firmware::SourceLine (uint64_t Address) {
  ImageRecord *I = ImageAt (Address);
  if (I == nullptr) {
    return "";
  }
  auto Where = Symbols.Lookup (I->DebugFile, Address - I->Base);
  if (Where.empty () || Where.front ().Line == 0) {
    return "";
  }
  return ShortFile (Where.front ().File) + ":" + std::to_string (Where.front ().Line);
}

namespace {
bool ModuleOwnSource (const std::string &File) {
  return File.find ("ArmServerFeaturePkg/") != std::string::npos && File.find ("/Library/") == std::string::npos;
}
}  // namespace

std::string Firmware::SiteLine (uint64_t Address, const std::vector<uint64_t> &Frames, bool AddressIsPc) {
  // A return address points after its call: look up the call instruction.
  std::vector<uint64_t> Sites{AddressIsPc ? Address : Address - 4};
  for (uint64_t F : Frames) Sites.push_back (F - 4);
  for (uint64_t S : Sites) {
    ImageRecord *I = ImageAt (S);
    if (I == nullptr) continue;
    for (const auto &L : Symbols.Lookup (I->DebugFile, S - I->Base)) {
      if (ModuleOwnSource (L.File) && L.Line > 0) {
        return ShortFile (L.File) + ":" + std::to_string (L.Line);
      }
    }
  }
  return "";
}

std::string Firmware::DescribeSite (uint64_t ReturnAddress, const std::vector<uint64_t> &Frames) {
  std::string Line = SiteLine (ReturnAddress, Frames, false);
  std::string Where = Describe (ReturnAddress - 4);
  return Line.empty () ? Where : CallerName (ReturnAddress) + " at " + Line + " [" + Where + "]";
}

std::string Firmware::CallerName (uint64_t Address) {
  ImageRecord *I = ImageAt (Address);
  if (I != nullptr) return I->Name;
  std::string Foreign = ForeignCaller ? ForeignCaller (Address) : "";
  return Foreign.empty () ? "host" : Foreign;
}

std::string Firmware::Describe (uint64_t Address) {
  char Hex[64];
  std::snprintf (Hex, sizeof (Hex), "0x%llx", static_cast<unsigned long long> (Address));
  if (!M.TrapName (Address).empty ()) {
    return std::string (Hex) + " (service " + M.TrapName (Address) + ")";
  }
  if (ImageRecord *I = ImageAt (Address)) {
    char Off[64];
    std::snprintf (Off, sizeof (Off), "%s+0x%llx", I->Name.c_str (), static_cast<unsigned long long> (Address - I->Base));
    std::string Text = Off;
    auto Where = Symbols.Lookup (I->DebugFile, Address - I->Base);
    for (size_t K = 0; K < Where.size (); K++) {
      Text += (K == 0 ? " in " : ", inlined into ") + Where[K].Function + " (" + ShortFile (Where[K].File) + ":" +
              std::to_string (Where[K].Line) + ")";
    }
    return Text;
  }
  if (const Allocation *A = Pool.Containing (Address)) {
    char Off[96];
    std::snprintf (Off, sizeof (Off), "%s (offset %llu of a %llu-byte block allocated by %s)", Hex,
                   static_cast<unsigned long long> (Address - A->Address), static_cast<unsigned long long> (A->Size),
                   CallerName (A->Caller).c_str ());
    return Off;
  }
  return Hex;
}

std::vector<LeakReport> Firmware::FindLeaks () {
  // Conservative reachability, like a garbage collector's mark phase: a block
  // is still owned when some 8-byte word in a loaded image, in host tables,
  // in an installed interface or in another owned block points into it.
  const auto &Live = Pool.Live ();
  std::set<uint64_t> Reached;
  std::vector<uint64_t> Work;
  auto Consider = [&] (uint64_t Value) {
    if (const Allocation *A = Pool.Containing (Value)) {
      if (Reached.insert (A->Address).second) {
        Work.push_back (A->Address);
      }
    }
  };
  auto ScanRange = [&] (uint64_t Base, uint64_t Size) {
    std::vector<uint8_t> Bytes = M.ReadBytes (Base, Size);
    for (size_t Off = 0; Off + 8 <= Bytes.size (); Off += 8) {
      uint64_t V;
      std::memcpy (&V, Bytes.data () + Off, 8);
      Consider (V);
    }
  };
  for (auto &I : mImages) {
    if (!I->Unloaded) {
      ScanRange (I->Base, I->Size);
    }
  }
  ScanRange (kHostBase, mHostNext - kHostBase);
  for (uint64_t Interface : Protocols.AllInterfaces ()) {
    Consider (Interface);
  }
  for (const EventRecord *E : Events.All ()) {
    Consider (E->NotifyContext);
  }
  for (auto &Provider : ExtraRoots) {
    std::vector<uint64_t> Values;
    Provider (Values);
    for (uint64_t V : Values) Consider (V);
  }
  while (!Work.empty ()) {
    uint64_t At = Work.back ();
    Work.pop_back ();
    const Allocation &A = Live.at (At);
    ScanRange (A.Address, A.Size & ~7ULL);
  }
  std::vector<LeakReport> Leaks;
  for (const auto &Entry : Live) {
    if (Reached.count (Entry.first) == 0) {
      LeakReport L;
      L.Block = Entry.second;
      L.Owner = CallerName (Entry.second.Caller);
      L.Where = DescribeSite (Entry.second.Caller, Entry.second.Frames);
      Leaks.push_back (L);
    }
  }
  return Leaks;
}

// ---------------------------------------------------------------- protocols (host side)

}  // namespace vboard
