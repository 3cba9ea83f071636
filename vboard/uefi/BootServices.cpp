// EFI_BOOT_SERVICES, served from the host. The checks are those of a careful
// DXE core: a call that would corrupt a real firmware stops the board with a
// report instead of going on.
#include "uefi/Firmware.h"

#include <cstring>

namespace vboard {

namespace {

constexpr uint32_t kMaxMemoryType = efi::MaxMemoryType;

bool ValidPoolType (uint64_t Type) {
  return (Type > 0 && Type < kMaxMemoryType && Type != efi::ConventionalMemory) || Type >= 0x70000000;
}

uint32_t Crc32 (const std::vector<uint8_t> &Data) {
  uint32_t Crc = 0xFFFFFFFF;
  for (uint8_t B : Data) {
    Crc ^= B;
    for (int K = 0; K < 8; K++) {
      Crc = (Crc >> 1) ^ (0xEDB88320 & (0 - (Crc & 1)));
    }
  }
  return ~Crc;
}

}  // namespace

void Firmware::AddBootServices () {
  // Writes an output argument; a pointer the guest cannot have meant is misuse.
  auto Out = [this] (uint64_t Ptr, uint64_t Value, const char *What) {
    if (Ptr == 0 || !M.Write (Ptr, &Value, 8)) {
      Misuse (std::string (What) + ": output pointer is not writable memory");
      return false;
    }
    return true;
  };
  auto Free = [this] (uint64_t Address, bool IsPool, uint64_t Pages, const char *What) -> uint64_t {
    const Allocation *A = Pool.Find (Address);
    Allocation Copy = A != nullptr ? *A : Allocation{};
    switch (Pool.Free (Address, IsPool, Pages)) {
      case Heap::FreeResult::Ok:
        return efi::Success;
      case Heap::FreeResult::Overrun:
        M.RaiseFault (FaultKind::UnmappedWrite,
                      std::string (What) + ": pool buffer of " + std::to_string (Copy.Size) + " bytes was overrun by " +
                          std::to_string (Pool.OverrunBytes (Copy)) + " byte(s); it was allocated at " +
                          DescribeSite (Copy.Caller, Copy.Frames),
                      Copy.Address + Copy.Size);
        return efi::InvalidParameter;
      case Heap::FreeResult::NotAllocated:
        Misuse (std::string (What) + " of " + Describe (Address) + ", which is not an allocated block");
        return efi::InvalidParameter;
      case Heap::FreeResult::WrongKind:
        Misuse (std::string (What) + " of " + Describe (Address) + " with the wrong kind or size");
        return efi::InvalidParameter;
    }
    return efi::InvalidParameter;
  };

  std::vector<std::pair<std::string, TrapHandler>> S;
  S.push_back ({"RaiseTPL", [this] (CallArgs &A) {
    uint64_t Old = Events.Tpl ();
    if (A[0] < Old || A[0] > efi::TplHighLevel) {
      Misuse ("RaiseTPL to " + std::to_string (A[0]) + " from " + std::to_string (Old));
    }
    Events.SetTpl (A[0]);
    return Old;
  }});
  S.push_back ({"RestoreTPL", [this] (CallArgs &A) {
    if (A[0] > Events.Tpl ()) {
      Misuse ("RestoreTPL to " + std::to_string (A[0]) + ", above the current " + std::to_string (Events.Tpl ()));
    }
    Events.SetTpl (A[0]);
    Events.DispatchPending ();
    return 0ULL;
  }});
  S.push_back ({"AllocatePages", [this, Out] (CallArgs &A) -> uint64_t {
    uint64_t Type = A[0], MemType = A[1], Pages = A[2], MemPtr = A[3];
    if (Type > 2 || !ValidPoolType (MemType) || MemPtr == 0) {
      return efi::InvalidParameter;
    }
    uint64_t Max = ~0ULL;
    if (Type == 1) {
      Max = M.Load<uint64_t> (MemPtr);
    } else if (Type == 2) {
      return efi::NotFound;   // fixed addresses are all owned by the board
    }
    uint64_t At = Pool.AllocatePages (static_cast<uint32_t> (MemType), Pages, A.Caller (), Max);
    if (At == 0) {
      return efi::OutOfResources;
    }
    return Out (MemPtr, At, "AllocatePages") ? efi::Success : efi::InvalidParameter;
  }});
  S.push_back ({"FreePages", [Free] (CallArgs &A) { return Free (A[0], false, A[1], "FreePages"); }});
  S.push_back ({"GetMemoryMap", nullptr});
  S.push_back ({"AllocatePool", [this, Out] (CallArgs &A) -> uint64_t {
    if (!ValidPoolType (A[0]) || A[2] == 0) {
      return efi::InvalidParameter;
    }
    uint64_t At = Pool.AllocatePool (static_cast<uint32_t> (A[0]), A[1], A.Caller (), M.FrameChain ());
    if (At == 0) {
      return efi::OutOfResources;
    }
    return Out (A[2], At, "AllocatePool") ? efi::Success : efi::InvalidParameter;
  }});
  S.push_back ({"FreePool", [Free] (CallArgs &A) { return Free (A[0], true, 0, "FreePool"); }});
  S.push_back ({"CreateEvent", [this, Out] (CallArgs &A) -> uint64_t {
    uint32_t Type = static_cast<uint32_t> (A[0]);
    if (A[4] == 0) {
      return efi::InvalidParameter;
    }
    if (Events.FailCreate) return *Events.FailCreate;
    if ((Type & (efi::EvtNotifySignal | efi::EvtNotifyWait)) != 0 &&
        (A[2] == 0 || A[1] <= efi::TplApplication || A[1] > efi::TplHighLevel)) {
      return efi::InvalidParameter;
    }
    const Guid *Group = nullptr;
    Guid G;
    if (Type == efi::EvtSignalExitBootServices) {
      G = guids::EventExitBootServices;
      Group = &G;
    }
    uint64_t E = Events.Create (Type, A[1], A[2], A[3], Group);
    return Out (A[4], E, "CreateEvent") ? efi::Success : efi::InvalidParameter;
  }});
  S.push_back ({"SetTimer", [this] (CallArgs &A) -> uint64_t {
    EventRecord *E = Events.Find (A[0]);
    if (E == nullptr || (E->Type & efi::EvtTimer) == 0 || A[1] > 2) {
      return efi::InvalidParameter;
    }
    Events.SetTimer (*E, static_cast<uint32_t> (A[1]), A[2]);
    return efi::Success;
  }});
  S.push_back ({"WaitForEvent", [this, Out] (CallArgs &A) -> uint64_t {
    uint64_t Count = A[0], List = A[1], IndexPtr = A[2];
    if (Count == 0 || List == 0 || IndexPtr == 0) {
      return efi::InvalidParameter;
    }
    if (Events.Tpl () != efi::TplApplication) {
      return efi::Unsupported;
    }
    for (int Round = 0; Round < 2; Round++) {
      for (uint64_t I = 0; I < Count && I < 64; I++) {
        EventRecord *E = Events.Find (M.Load<uint64_t> (List + 8 * I));
        if (E == nullptr) {
          return efi::InvalidParameter;
        }
        if (E->Signaled) {
          E->Signaled = false;
          return Out (IndexPtr, I, "WaitForEvent") ? efi::Success : efi::InvalidParameter;
        }
      }
      // Nothing signalled: let simulated time run to the next timer.
      std::optional<uint64_t> Next = Events.NextTimerDue ();
      if (!Next) {
        break;
      }
      Events.AdvanceTime (*Next > NowNs () ? *Next - NowNs () : 0);
    }
    M.RaiseFault (FaultKind::DeadLoop, "WaitForEvent on events that nothing will ever signal");
    return efi::NotReady;
  }});
  S.push_back ({"SignalEvent", [this] (CallArgs &A) -> uint64_t {
    if (Events.Find (A[0]) == nullptr) {
      return efi::InvalidParameter;
    }
    Events.Signal (A[0]);
    return efi::Success;
  }});
  S.push_back ({"CloseEvent", [this] (CallArgs &A) -> uint64_t {
    if (Events.Find (A[0]) == nullptr) {
      return efi::InvalidParameter;
    }
    Events.Close (A[0]);
    return efi::Success;
  }});
  S.push_back ({"CheckEvent", [this] (CallArgs &A) -> uint64_t {
    EventRecord *E = Events.Find (A[0]);
    if (E == nullptr || (E->Type & efi::EvtNotifySignal) != 0) {
      return efi::InvalidParameter;
    }
    if (E->Signaled) {
      E->Signaled = false;
      return efi::Success;
    }
    return efi::NotReady;
  }});
  S.push_back ({"InstallProtocolInterface", [this, Out] (CallArgs &A) -> uint64_t {
    auto Protocol = GuidAt (A[1]);
    if (A[0] == 0 || !Protocol || A[2] != 0) {
      return efi::InvalidParameter;
    }
    uint64_t Handle = M.Load<uint64_t> (A[0]);
    bool Fresh = Handle == 0;
    uint64_t Status = InstallProtocol (Handle, *Protocol, A[3]);
    if (Fresh && !efi::IsError (Status) && !Out (A[0], Handle, "InstallProtocolInterface")) {
      return efi::InvalidParameter;
    }
    return Status;
  }});
  S.push_back ({"ReinstallProtocolInterface", [this] (CallArgs &A) -> uint64_t {
    auto Protocol = GuidAt (A[1]);
    if (!Protocol) {
      return efi::InvalidParameter;
    }
    uint64_t Handle = A[0];
    uint64_t Status = UninstallProtocol (Handle, *Protocol, A[2]);
    return efi::IsError (Status) ? Status : InstallProtocol (Handle, *Protocol, A[3]);
  }});
  S.push_back ({"UninstallProtocolInterface", [this] (CallArgs &A) -> uint64_t {
    auto Protocol = GuidAt (A[1]);
    return Protocol ? UninstallProtocol (A[0], *Protocol, A[2]) : efi::InvalidParameter;
  }});
  S.push_back ({"HandleProtocol", [this, Out] (CallArgs &A) -> uint64_t {
    auto Protocol = GuidAt (A[1]);
    if (!Protocol || A[2] == 0) {
      return efi::InvalidParameter;
    }
    auto I = InterfaceOn (A[0], *Protocol);
    if (!I) {
      Out (A[2], 0, "HandleProtocol");
      return efi::Unsupported;
    }
    return Out (A[2], *I, "HandleProtocol") ? efi::Success : efi::InvalidParameter;
  }});
  S.push_back ({"Reserved", nullptr});
  S.push_back ({"RegisterProtocolNotify", [this, Out] (CallArgs &A) -> uint64_t {
    auto Protocol = GuidAt (A[0]);
    if (!Protocol || Events.Find (A[1]) == nullptr || A[2] == 0) {
      return efi::InvalidParameter;
    }
    uint64_t Key = HostAlloc (8);
    Protocols.RegisterNotify (*Protocol, A[1], Key);
    return Out (A[2], Key, "RegisterProtocolNotify") ? efi::Success : efi::InvalidParameter;
  }});
  auto Search = [this] (uint64_t Type, uint64_t ProtocolPtr, uint64_t Key, std::vector<uint64_t> &Found) -> uint64_t {
    if (Type == 0) {
      Found = Protocols.AllHandles ();
    } else if (Type == 1) {
      bool Known = false;
      if (auto H = Protocols.NextNotified (Key, Known)) Found.push_back (*H);
      if (!Known) return efi::InvalidParameter;
      return Found.empty () ? efi::NotFound : efi::Success;
    } else if (Type == 2) {
      auto Protocol = GuidAt (ProtocolPtr);
      if (!Protocol) return efi::InvalidParameter;
      Found = HandlesWith (*Protocol);
    } else {
      return efi::InvalidParameter;
    }
    return Found.empty () ? efi::NotFound : efi::Success;
  };
  S.push_back ({"LocateHandle", [this, Search, Out] (CallArgs &A) -> uint64_t {
    if (A[3] == 0) return efi::InvalidParameter;
    std::vector<uint64_t> Found;
    uint64_t Status = Search (A[0], A[1], A[2], Found);
    if (efi::IsError (Status)) return Status;
    uint64_t Need = Found.size () * 8, Have = M.Load<uint64_t> (A[3]);
    Out (A[3], Need, "LocateHandle");
    if (Have < Need) return efi::BufferTooSmall;
    if (A[4] == 0) return efi::InvalidParameter;
    M.Write (A[4], Found.data (), Need);
    return efi::Success;
  }});
  S.push_back ({"LocateDevicePath", nullptr});
  S.push_back ({"InstallConfigurationTable", [this] (CallArgs &A) -> uint64_t {
    auto Id = GuidAt (A[0]);
    if (!Id) return efi::InvalidParameter;
    InstallConfigurationTable (*Id, A[1]);
    return efi::Success;
  }});
  auto ImageService = [this] (TrapHandler (&Service), const char *Name) {
    return [this, &Service, Name] (CallArgs &A) -> uint64_t {
      if (Service) return Service (A);
      M.RaiseFault (FaultKind::Unimplemented, std::string ("BS.") + Name + " is not provided by this board");
      return efi::Unsupported;
    };
  };
  S.push_back ({"LoadImage", ImageService (ImageServices.LoadImage, "LoadImage")});
  S.push_back ({"StartImage", ImageService (ImageServices.StartImage, "StartImage")});
  S.push_back ({"Exit", ImageService (ImageServices.Exit, "Exit")});
  S.push_back ({"UnloadImage", ImageService (ImageServices.UnloadImage, "UnloadImage")});
  S.push_back ({"ExitBootServices", nullptr});
  S.push_back ({"GetNextMonotonicCount", [this, Out] (CallArgs &A) -> uint64_t {
    return Out (A[0], ++mMonotonicCount, "GetNextMonotonicCount") ? efi::Success : efi::InvalidParameter;
  }});
  S.push_back ({"Stall", [this] (CallArgs &A) -> uint64_t {
    Events.PassTime (A[0] * 1000);
    return efi::Success;
  }});
  S.push_back ({"SetWatchdogTimer", [] (CallArgs &) { return efi::Success; }});
  S.push_back ({"ConnectController", nullptr});
  S.push_back ({"DisconnectController", nullptr});
  S.push_back ({"OpenProtocol", [this, Out] (CallArgs &A) -> uint64_t {
    auto Protocol = GuidAt (A[1]);
    if (!Protocol) return efi::InvalidParameter;
    auto I = InterfaceOn (A[0], *Protocol);
    if (!I) {
      if (A[2] != 0) Out (A[2], 0, "OpenProtocol");
      return efi::Unsupported;
    }
    if (A[2] != 0 && !Out (A[2], *I, "OpenProtocol")) return efi::InvalidParameter;
    return efi::Success;
  }});
  S.push_back ({"CloseProtocol", [] (CallArgs &) { return efi::Success; }});
  S.push_back ({"OpenProtocolInformation", nullptr});
  S.push_back ({"ProtocolsPerHandle", [this, Out] (CallArgs &A) -> uint64_t {
    std::vector<Guid> List = ProtocolsOn (A[0]);
    if (List.empty () || A[1] == 0 || A[2] == 0) return efi::InvalidParameter;
    uint64_t Array = Pool.AllocatePool (efi::BootServicesData, 8 * List.size (), A.Caller ());
    if (Array == 0) return efi::OutOfResources;
    for (size_t I = 0; I < List.size (); I++) {
      M.Store<uint64_t> (Array + 8 * I, HostCopy (List[I].Bytes.data (), 16));
    }
    Out (A[1], Array, "ProtocolsPerHandle");
    Out (A[2], List.size (), "ProtocolsPerHandle");
    return efi::Success;
  }});
  S.push_back ({"LocateHandleBuffer", [this, Search, Out] (CallArgs &A) -> uint64_t {
    if (A[3] == 0 || A[4] == 0) return efi::InvalidParameter;
    std::vector<uint64_t> Found;
    uint64_t Status = Search (A[0], A[1], A[2], Found);
    Out (A[3], 0, "LocateHandleBuffer");
    Out (A[4], 0, "LocateHandleBuffer");
    if (efi::IsError (Status)) return Status;
    uint64_t Buffer = Pool.AllocatePool (efi::BootServicesData, Found.size () * 8, A.Caller ());
    if (Buffer == 0) return efi::OutOfResources;
    M.Write (Buffer, Found.data (), Found.size () * 8);
    Out (A[3], Found.size (), "LocateHandleBuffer");
    Out (A[4], Buffer, "LocateHandleBuffer");
    return efi::Success;
  }});
  S.push_back ({"LocateProtocol", [this, Search, Out] (CallArgs &A) -> uint64_t {
    auto Protocol = GuidAt (A[0]);
    if (!Protocol || A[2] == 0) return efi::InvalidParameter;
    std::optional<uint64_t> I;
    if (A[1] != 0) {
      std::vector<uint64_t> Found;
      if (!efi::IsError (Search (1, 0, A[1], Found)) && !Found.empty ()) I = InterfaceOn (Found.front (), *Protocol);
    } else {
      I = FindProtocol (*Protocol);
    }
    Out (A[2], I.value_or (0), "LocateProtocol");
    return I ? efi::Success : efi::NotFound;
  }});
  // The variadic pair list of the two Multiple calls: AAPCS64 passes the
  // first eight arguments in registers and the rest in 8-byte stack slots.
  S.push_back ({"InstallMultipleProtocolInterfaces", [this, Out] (CallArgs &A) -> uint64_t {
    if (A[0] == 0) return efi::InvalidParameter;
    std::vector<std::pair<Guid, uint64_t>> Pairs;
    for (unsigned Arg = 1;; Arg += 2) {
      if (Arg > 129) {
        Misuse ("InstallMultipleProtocolInterfaces: the list has no NULL terminator within 64 pairs");
        return efi::InvalidParameter;
      }
      if (A[Arg] == 0) break;
      auto Protocol = GuidAt (A[Arg]);
      if (!Protocol) return efi::InvalidParameter;
      Pairs.push_back ({*Protocol, A[Arg + 1]});
    }
    uint64_t Handle = M.Load<uint64_t> (A[0]);
    bool Fresh = Handle == 0;
    for (size_t I = 0; I < Pairs.size (); I++) {
      uint64_t Status = InstallProtocol (Handle, Pairs[I].first, Pairs[I].second);
      if (efi::IsError (Status)) {
        while (I-- > 0) UninstallProtocol (Handle, Pairs[I].first, Pairs[I].second);
        return Status;
      }
    }
    if (Fresh && !Out (A[0], Handle, "InstallMultipleProtocolInterfaces")) return efi::InvalidParameter;
    return efi::Success;
  }});
  S.push_back ({"UninstallMultipleProtocolInterfaces", [this] (CallArgs &A) -> uint64_t {
    for (unsigned Arg = 1; Arg < 129 && A[Arg] != 0; Arg += 2) {
      auto Protocol = GuidAt (A[Arg]);
      if (!Protocol) return efi::InvalidParameter;
      uint64_t Status = UninstallProtocol (A[0], *Protocol, A[Arg + 1]);
      if (efi::IsError (Status)) return efi::InvalidParameter;
    }
    return efi::Success;
  }});
  S.push_back ({"CalculateCrc32", [this, Out] (CallArgs &A) -> uint64_t {
    if (A[0] == 0 || A[1] == 0 || A[2] == 0) return efi::InvalidParameter;
    return Out (A[2], Crc32 (M.ReadBytes (A[0], A[1])), "CalculateCrc32") ? efi::Success : efi::InvalidParameter;
  }});
  S.push_back ({"CopyMem", [this] (CallArgs &A) -> uint64_t {
    std::vector<uint8_t> Bytes = M.ReadBytes (A[1], A[2]);
    if (!M.Write (A[0], Bytes.data (), Bytes.size ())) Misuse ("CopyMem: destination is not writable");
    return 0;
  }});
  S.push_back ({"SetMem", [this] (CallArgs &A) -> uint64_t {
    std::vector<uint8_t> Bytes (A[1], static_cast<uint8_t> (A[2]));
    if (!M.Write (A[0], Bytes.data (), Bytes.size ())) Misuse ("SetMem: buffer is not writable");
    return 0;
  }});
  S.push_back ({"CreateEventEx", [this, Out] (CallArgs &A) -> uint64_t {
    uint32_t Type = static_cast<uint32_t> (A[0]);
    if (A[5] == 0) return efi::InvalidParameter;
    if (Events.FailCreate) return *Events.FailCreate;
    if ((Type & (efi::EvtNotifySignal | efi::EvtNotifyWait)) != 0 &&
        (A[2] == 0 || A[1] <= efi::TplApplication || A[1] > efi::TplHighLevel)) {
      return efi::InvalidParameter;
    }
    auto Group = A[4] != 0 ? GuidAt (A[4]) : std::nullopt;
    uint64_t E = Events.Create (Type, A[1], A[2], A[3], Group ? &*Group : nullptr);
    return Out (A[5], E, "CreateEventEx") ? efi::Success : efi::InvalidParameter;
  }});

  BootServices = MakeHostInterface ("BS", S, 24);
  M.Store<uint64_t> (BootServices, 0x56524553544F4F42ULL);
  M.Store<uint32_t> (BootServices + 8, (2 << 16) | 70);
  M.Store<uint32_t> (BootServices + 12, static_cast<uint32_t> (24 + 8 * S.size ()));
}

}  // namespace vboard
