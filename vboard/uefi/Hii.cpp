#include "uefi/Hii.h"

#include "uefi/GuidNames.h"

namespace vboard {

void InstallHiiServices (Firmware &Fw) {
  struct Service {
    const char *Guid;
    const char *Name;
    std::vector<const char *> Members;
  };
  const Service Services[] = {
      {"gEfiHiiStringProtocolGuid", "HiiString", {"NewString", "GetString", "SetString", "GetLanguages", "GetSecondaryLanguages"}},
      {"gEfiHiiDatabaseProtocolGuid", "HiiDatabase",
       {"NewPackageList", "RemovePackageList", "UpdatePackageList", "ListPackageLists", "ExportPackageLists",
        "RegisterPackageNotify", "UnregisterPackageNotify", "FindKeyboardLayouts", "GetKeyboardLayout",
        "SetKeyboardLayout", "GetPackageListHandle"}},
      {"gEfiHiiConfigRoutingProtocolGuid", "HiiConfigRouting",
       {"ExtractConfig", "ExportConfig", "RouteConfig", "BlockToConfig", "ConfigToBlock", "GetAltConfig"}},
  };
  for (const Service &S : Services) {
    std::vector<std::pair<std::string, TrapHandler>> Slots;
    for (const char *M : S.Members) Slots.push_back ({M, nullptr});
    uint64_t Handle = 0;
    Fw.InstallProtocol (Handle, names::Named (S.Guid), Fw.MakeHostInterface (S.Name, Slots));
  }
}

}  // namespace vboard
