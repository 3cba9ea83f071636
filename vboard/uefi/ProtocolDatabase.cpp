#include "uefi/ProtocolDatabase.h"

namespace vboard {

ProtocolDatabase::ProtocolDatabase (std::function<uint64_t ()> NewHandleMemory, std::function<void (uint64_t)> Signal)
    : mNewHandleMemory (std::move (NewHandleMemory)), mSignal (std::move (Signal)) {}

uint64_t ProtocolDatabase::NewHandle () {
  uint64_t H = mNewHandleMemory ();
  mHandles.push_back ({H, {}});
  return H;
}

ProtocolDatabase::HandleRecord *ProtocolDatabase::FindHandle (uint64_t Handle) {
  for (HandleRecord &H : mHandles) {
    if (H.Value == Handle) {
      return &H;
    }
  }
  return nullptr;
}

uint64_t ProtocolDatabase::Install (uint64_t &Handle, const Guid &Protocol, uint64_t Interface) {
  if (Handle == 0) {
    Handle = NewHandle ();
  }
  HandleRecord *H = FindHandle (Handle);
  if (H == nullptr) {
    return efi::InvalidParameter;
  }
  for (const auto &P : H->Interfaces) {
    if (P.first == Protocol) {
      return efi::InvalidParameter;
    }
  }
  H->Interfaces.push_back ({Protocol, Interface});
  for (NotifyRecord &N : mNotifies) {
    if (N.Protocol == Protocol) {
      N.Fresh.push_back (Handle);
      mSignal (N.Event);
    }
  }
  return efi::Success;
}

uint64_t ProtocolDatabase::Uninstall (uint64_t Handle, const Guid &Protocol, uint64_t Interface) {
  HandleRecord *H = FindHandle (Handle);
  if (H == nullptr) {
    return efi::InvalidParameter;
  }
  for (auto It = H->Interfaces.begin (); It != H->Interfaces.end (); ++It) {
    if (It->first == Protocol && It->second == Interface) {
      H->Interfaces.erase (It);
      if (H->Interfaces.empty ()) {
        mHandles.erase (mHandles.begin () + (H - mHandles.data ()));
      }
      return efi::Success;
    }
  }
  return efi::NotFound;
}

std::optional<uint64_t> ProtocolDatabase::Find (const Guid &Protocol) const {
  for (const HandleRecord &H : mHandles) {
    for (const auto &P : H.Interfaces) {
      if (P.first == Protocol) {
        return P.second;
      }
    }
  }
  return std::nullopt;
}

std::vector<uint64_t> ProtocolDatabase::HandlesWith (const Guid &Protocol) const {
  std::vector<uint64_t> Out;
  for (const HandleRecord &H : mHandles) {
    for (const auto &P : H.Interfaces) {
      if (P.first == Protocol) {
        Out.push_back (H.Value);
        break;
      }
    }
  }
  return Out;
}

std::optional<uint64_t> ProtocolDatabase::InterfaceOn (uint64_t Handle, const Guid &Protocol) const {
  for (const HandleRecord &H : mHandles) {
    if (H.Value == Handle) {
      for (const auto &P : H.Interfaces) {
        if (P.first == Protocol) {
          return P.second;
        }
      }
    }
  }
  return std::nullopt;
}

std::vector<Guid> ProtocolDatabase::ProtocolsOn (uint64_t Handle) const {
  std::vector<Guid> Out;
  for (const HandleRecord &H : mHandles) {
    if (H.Value == Handle) {
      for (const auto &P : H.Interfaces) {
        Out.push_back (P.first);
      }
    }
  }
  return Out;
}

std::vector<uint64_t> ProtocolDatabase::AllHandles () const {
  std::vector<uint64_t> Out;
  for (const HandleRecord &H : mHandles) Out.push_back (H.Value);
  return Out;
}

std::vector<uint64_t> ProtocolDatabase::AllInterfaces () const {
  std::vector<uint64_t> Out;
  for (const HandleRecord &H : mHandles) {
    for (const auto &P : H.Interfaces) Out.push_back (P.second);
  }
  return Out;
}

void ProtocolDatabase::RegisterNotify (const Guid &Protocol, uint64_t Event, uint64_t Key) {
  // As in EDK II's DXE core, a registration starts at the head of the
  // protocol's instance list: the instances already installed are handed
  // out too, although their installation signals nothing now.
  std::vector<uint64_t> Installed = HandlesWith (Protocol);
  mNotifies.push_back ({Protocol, Event, Key, std::deque<uint64_t> (Installed.begin (), Installed.end ())});
}

std::optional<uint64_t> ProtocolDatabase::NextNotified (uint64_t Key, bool &Known) {
  Known = false;
  for (NotifyRecord &N : mNotifies) {
    if (N.Registration == Key) {
      Known = true;
      while (!N.Fresh.empty ()) {
        uint64_t H = N.Fresh.front ();
        N.Fresh.pop_front ();
        if (InterfaceOn (H, N.Protocol)) {
          return H;
        }
      }
      return std::nullopt;
    }
  }
  return std::nullopt;
}

void ProtocolDatabase::DropNotifies (uint64_t Event) {
  for (auto It = mNotifies.begin (); It != mNotifies.end ();) {
    It = It->Event == Event ? mNotifies.erase (It) : It + 1;
  }
}

}  // namespace vboard
