// The board's UEFI variable store: what GetVariable, SetVariable and
// GetNextVariableName serve (the services themselves, with their argument
// checks, are in RuntimeServices.cpp), with per-name fault injection.
#pragma once

#include "uefi/Types.h"

#include <map>
#include <string>
#include <vector>

namespace vboard {

struct VariableRecord {
  std::u16string Name;
  Guid Vendor;
  uint32_t Attributes = 0;
  std::vector<uint8_t> Data;
};

class VariableStore {
 public:
  VariableRecord *Find (const std::u16string &Name, const Guid &Vendor);
  void Set (const std::u16string &Name, const Guid &Vendor, uint32_t Attributes, std::vector<uint8_t> Data);
  void Delete (const std::u16string &Name, const Guid &Vendor);
  // In creation order, the order GetNextVariableName walks.
  const std::vector<VariableRecord> &All () const { return mVariables; }

  // Fault injection for the variable services: a forced status for one name.
  std::map<std::u16string, uint64_t> FailGet, FailSet;

  // Every SetVariable a guest image made that changed the store.
  struct GuestWrite {
    std::string Caller;
    std::u16string Name;
    bool Deleted = false;
    std::vector<uint8_t> Before, After;
  };
  std::vector<GuestWrite> GuestWrites;

 private:
  std::vector<VariableRecord> mVariables;
};

}  // namespace vboard
