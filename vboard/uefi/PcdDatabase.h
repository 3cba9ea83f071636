// The platform's PCD database: PCDs by token space and token (DynamicEx),
// and the dynamic PCDs of the platform build reached by local token number.
// The board knows the latter by name; which number each has is what the
// build of the loaded images assigned (their AutoGen.h), never a number
// typed in. The PCD protocols that serve it are in Pcd.cpp.
#pragma once

#include "uefi/Types.h"

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vboard {

enum class PcdType { U8, U16, U32, U64, Bool, Ptr };

struct PcdEntry {
  PcdType Type = PcdType::U32;
  uint64_t Value = 0;          // scalar types
  uint64_t Buffer = 0;         // guest buffer for Ptr, MaxSize bytes
  uint64_t MaxSize = 0;        // Ptr: the size the platform declared, the most SetPtr accepts
  uint64_t CurSize = 0;        // Ptr: the size of the current value (GetSize), at most MaxSize
  std::string Name;            // "PcdCpuTemperature"; "" when the board does not know it
  std::vector<uint64_t> Callbacks;   // guest functions CallbackOnSet registered, in order
};

struct PcdSet {
  std::optional<Guid> Space;
  uint64_t Token = 0;
  uint64_t Value = 0;
  std::string Caller;
  std::string Name;            // the PCD's name when the board knows it, else its token
};

class PcdDatabase {
 public:
  // GuestMemory gives guest memory of a size for a VOID* PCD's buffer;
  // Findings receives what the board notices (builds that disagree).
  PcdDatabase (std::function<uint64_t (uint64_t)> GuestMemory, std::vector<std::string> &Findings);

  // Space empty: a local token number of the platform build. A VOID* PCD
  // gets a zeroed buffer of MaxSize bytes whose current size is CurSize
  // (MaxSize when absent), as a platform declares a longer maximum than
  // its initial value.
  void Define (std::optional<Guid> Space, uint64_t Token, PcdType Type, uint64_t Value, uint64_t MaxSize = 0,
               const std::string &Name = "", std::optional<uint64_t> CurSize = std::nullopt);
  PcdEntry *Find (const std::optional<Guid> &Space, uint64_t Token);
  uint64_t Value (const std::optional<Guid> &Space, uint64_t Token);
  void SetValue (const std::optional<Guid> &Space, uint64_t Token, uint64_t Value);
  std::string Name (const std::optional<Guid> &Space, uint64_t Token) const;

  void DefineLocal (const std::string &Name, PcdType Type, uint64_t Value, uint64_t MaxSize = 0,
                    std::optional<uint64_t> CurSize = std::nullopt);
  PcdEntry *Local (const std::string &Name);
  // The names of the platform build's dynamic PCDs the board defined.
  std::vector<std::string> LocalNames () const;
  std::optional<uint64_t> LocalToken (const std::string &Name) const;
  // The name bound to a local token number, if an image's build gave it one.
  std::optional<std::string> LocalName (uint64_t Token) const;
  // Reads BuildDir/AutoGen.h of an image and binds the local token numbers
  // it gives to the names the board defined.
  void BindLocalTokens (const std::string &BuildDir, const std::string &Image);

  // The log of writes by guest code, in order.
  void RecordSet (const std::optional<Guid> &Space, uint64_t Token, uint64_t Value, const std::string &Caller);
  const std::vector<PcdSet> &Sets () const { return mSets; }

  static const char *TypeName (PcdType T);
  // The value as the PCD's datum holds it: a BOOLEAN is the byte written,
  // not normalised to 0/1.
  static uint64_t Truncate (PcdType T, uint64_t V);
  // The order of the typed Get and Set functions in both PCD protocols.
  static constexpr PcdType kProtocolOrder[6] = {PcdType::U8, PcdType::U16, PcdType::U32,
                                                PcdType::U64, PcdType::Ptr, PcdType::Bool};
  // The size GetSize reports: the datum's size, a VOID* PCD's current size.
  static uint64_t SizeOf (const PcdEntry &E);
  static uint64_t SizeOf (PcdType T);
  static std::string TokenText (const std::optional<Guid> &Space, uint64_t Token);

 private:
  PcdEntry MakeEntry (PcdType Type, uint64_t Value, uint64_t MaxSize, const std::string &Name, std::optional<uint64_t> CurSize);

  std::function<uint64_t (uint64_t)> mGuestMemory;
  std::vector<std::string> &mFindings;
  std::map<std::pair<std::optional<Guid>, uint64_t>, PcdEntry> mEntries;
  std::vector<PcdSet> mSets;
  std::map<std::string, PcdEntry> mLocalPcds;
  std::map<uint64_t, std::string> mLocalTokens;
};

}  // namespace vboard
