// GUIDs by their C names, as the package and EDK II declare them in their
// .dec files (the table is generated from those files at build time).
#pragma once

#include "uefi/Types.h"

#include <optional>
#include <string>

namespace vboard::names {

std::optional<Guid> Lookup (const std::string &CName);
// The GUID of a declared C name; throws std::logic_error for an unknown name.
Guid Named (const std::string &CName);
// The declared C name of a GUID, else its registry form.
std::string NameOf (const Guid &G);
// The declared C name of a GUID; nothing when no .dec declares it.
std::optional<std::string> DeclaredName (const Guid &G);

}  // namespace vboard::names
