#include "uefi/VariableStore.h"

#include <algorithm>

namespace vboard {

VariableRecord *VariableStore::Find (const std::u16string &Name, const Guid &Vendor) {
  for (VariableRecord &V : mVariables) {
    if (V.Name == Name && V.Vendor == Vendor) {
      return &V;
    }
  }
  return nullptr;
}

void VariableStore::Set (const std::u16string &Name, const Guid &Vendor, uint32_t Attributes, std::vector<uint8_t> Data) {
  if (VariableRecord *V = Find (Name, Vendor)) {
    V->Attributes = Attributes;
    V->Data = std::move (Data);
    return;
  }
  mVariables.push_back ({Name, Vendor, Attributes, std::move (Data)});
}

void VariableStore::Delete (const std::u16string &Name, const Guid &Vendor) {
  mVariables.erase (std::remove_if (mVariables.begin (), mVariables.end (),
                                    [&] (const VariableRecord &V) { return V.Name == Name && V.Vendor == Vendor; }),
                    mVariables.end ());
}

}  // namespace vboard
