#include "uefi/GuidNames.h"

#include <map>
#include <stdexcept>

namespace vboard::names {

namespace {
struct Entry {
  const char *Name;
  const char *Value;
};
constexpr Entry kTable[] = {
#include "GuidTable.inc"
};

const std::map<std::string, Guid> &ByName () {
  static const std::map<std::string, Guid> kMap = [] {
    std::map<std::string, Guid> M;
    for (const Entry &E : kTable) M.emplace (E.Name, Guid::Parse (E.Value));
    return M;
  }();
  return kMap;
}

const std::map<Guid, std::string> &ByValue () {
  static const std::map<Guid, std::string> kMap = [] {
    std::map<Guid, std::string> M;
    for (const Entry &E : kTable) M.emplace (Guid::Parse (E.Value), E.Name);
    return M;
  }();
  return kMap;
}
}  // namespace

std::optional<Guid> Lookup (const std::string &CName) {
  auto It = ByName ().find (CName);
  if (It == ByName ().end ()) return std::nullopt;
  return It->second;
}

Guid Named (const std::string &CName) {
  auto G = Lookup (CName);
  if (!G) throw std::logic_error ("no .dec declares " + CName);
  return *G;
}

std::string NameOf (const Guid &G) {
  auto It = ByValue ().find (G);
  return It == ByValue ().end () ? G.ToString () : It->second;
}

std::optional<std::string> DeclaredName (const Guid &G) {
  auto It = ByValue ().find (G);
  if (It == ByValue ().end ()) return std::nullopt;
  return It->second;
}

}  // namespace vboard::names
