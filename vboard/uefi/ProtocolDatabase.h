// The handle and protocol database of the board's DXE core: handles with
// their protocol interfaces, and protocol-install notifications (the
// registration keys of RegisterProtocolNotify and the handles each has not
// yet handed out).
#pragma once

#include "uefi/Types.h"

#include <deque>
#include <functional>
#include <optional>
#include <vector>

namespace vboard {

class ProtocolDatabase {
 public:
  // NewHandleMemory gives a fresh guest address to serve as a handle value;
  // Signal signals a notification event.
  ProtocolDatabase (std::function<uint64_t ()> NewHandleMemory, std::function<void (uint64_t)> Signal);

  uint64_t NewHandle ();
  // Handle 0: a new handle, stored back into Handle when the install succeeds.
  uint64_t Install (uint64_t &Handle, const Guid &Protocol, uint64_t Interface);
  uint64_t Uninstall (uint64_t Handle, const Guid &Protocol, uint64_t Interface);
  std::optional<uint64_t> Find (const Guid &Protocol) const;   // first interface
  std::vector<uint64_t> HandlesWith (const Guid &Protocol) const;
  std::optional<uint64_t> InterfaceOn (uint64_t Handle, const Guid &Protocol) const;
  std::vector<Guid> ProtocolsOn (uint64_t Handle) const;
  std::vector<uint64_t> AllHandles () const;
  // Every installed interface value (for the leak check's roots).
  std::vector<uint64_t> AllInterfaces () const;

  // A new registration: every handle that carries Protocol now, then each
  // later installation (which signals Event), is handed out once.
  void RegisterNotify (const Guid &Protocol, uint64_t Event, uint64_t Key);
  // The next handle the registration Key has not yet handed out that still
  // carries its protocol; nullopt when none; throws nothing. Known is false
  // when Key is no registration.
  std::optional<uint64_t> NextNotified (uint64_t Key, bool &Known);
  void DropNotifies (uint64_t Event);

 private:
  struct HandleRecord {
    uint64_t Value;
    std::vector<std::pair<Guid, uint64_t>> Interfaces;
  };
  struct NotifyRecord {
    Guid Protocol;
    uint64_t Event;
    uint64_t Registration;
    std::deque<uint64_t> Fresh;
  };
  HandleRecord *FindHandle (uint64_t Handle);

  std::function<uint64_t ()> mNewHandleMemory;
  std::function<void (uint64_t)> mSignal;
  std::vector<HandleRecord> mHandles;
  std::vector<NotifyRecord> mNotifies;
};

}  // namespace vboard
