#include "uefi/Firmware.h"

#include "uefi/GuidNames.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <stdexcept>

namespace vboard {

namespace {
constexpr uint64_t kSystemTableSignature = 0x5453595320494249ULL;     // "IBI SYST"
constexpr uint64_t kDxeServicesSignature = 0x565245535F455844ULL;     // "DXE_SERV"
constexpr uint32_t kUefiRevision = (2 << 16) | 70;
constexpr uint64_t kConfigCapacity = 32;

}  // namespace

std::u16string Utf16 (const std::string &Ascii) { return std::u16string (Ascii.begin (), Ascii.end ()); }

std::string Narrow (const std::u16string &Text) {
  std::string Out;
  for (char16_t C : Text) {
    Out.push_back (C < 0x80 ? static_cast<char> (C) : '?');
  }
  return Out;
}

Firmware::Firmware (Machine &Mach)
    : M (Mach),
      Pool (Mach),
      Protocols (
          [this] {
            uint64_t H = HostAlloc (16);
            M.Store<uint64_t> (H, 0x6C646E6148ULL);   // "Handl": a recognisable, never-dereferenced value
            return H;
          },
          [this] (uint64_t Event) { Events.Signal (Event); }),
      Events (
          Mach, [this] { return HostAlloc (16); }, [this] (uint64_t Event) { Protocols.DropNotifies (Event); }) {
  M.MapRam (kHostBase, kHostSize, true, false);
  BuildTables ();
}

uint64_t Firmware::HostAlloc (uint64_t Size, uint64_t Align) {
  uint64_t At = (mHostNext + Align - 1) & ~(Align - 1);
  if (At + Size > kHostBase + kHostSize) {
    throw std::runtime_error ("host table region full");
  }
  mHostNext = At + Size;
  std::vector<uint8_t> Zero (Size, 0);
  M.Write (At, Zero.data (), Size);
  return At;
}

uint64_t Firmware::HostCopy (const void *Data, uint64_t Size) {
  uint64_t At = HostAlloc (Size == 0 ? 1 : Size);
  M.Write (At, Data, Size);
  return At;
}

uint64_t Firmware::HostUcs2 (const std::u16string &Text) {
  std::vector<uint16_t> Units (Text.begin (), Text.end ());
  Units.push_back (0);
  return HostCopy (Units.data (), Units.size () * 2);
}

uint64_t Firmware::Trap (const std::string &Name, TrapHandler Handler) {
  return M.AddTrap (Name, [this, Name, H = std::move (Handler)] (CallArgs &A) {
    Log (Name, A);
    std::string Outer = mCaller;
    mCaller = CallerName (A.Caller ());
    uint64_t Result = H (A);
    mCaller = Outer;
    return Result;
  });
}

uint64_t ServiceArg::PointedU64 () const {
  uint64_t V = 0;
  std::memcpy (&V, Points.data (), std::min<size_t> (Points.size (), 8));
  return V;
}

uint32_t ServiceArg::PointedU32 () const { return static_cast<uint32_t> (PointedU64 ()); }

void Firmware::Log (const std::string &Name, CallArgs &A) {
  // The same record for every service: the eight argument registers, and
  // for each that points to plain memory (never a device register, whose
  // read has side effects) what it pointed to, decoded as a declared GUID or
  // a string where it is one. Services with fewer arguments leave the rest
  // as whatever the caller's registers held.
  ServiceCall Call{Name, CallerName (A.Caller ()), {}};
  Call.Args.resize (8);
  for (unsigned I = 0; I < 8; I++) {
    ServiceArg &Arg = Call.Args[I];
    Arg.Value = A[I];
    if (Arg.Value == 0 || !M.IsMemory (Arg.Value, 16)) continue;
    Arg.Points.resize (16);
    M.Read (Arg.Value, Arg.Points.data (), 16);
    Guid G;
    std::memcpy (&G, Arg.Points.data (), sizeof (G));
    if (auto Declared = names::DeclaredName (G)) Arg.Guid = *Declared;
    // At most 128 UTF-16 units are looked at: read at once where they all
    // lie in one region, else unit by unit up to the end of memory.
    uint8_t Units[256];
    bool Whole = M.IsMemory (Arg.Value, sizeof (Units)) && M.Read (Arg.Value, Units, sizeof (Units));
    for (uint64_t At = Arg.Value; Arg.Text.size () < 128 && (Whole || M.IsMemory (At, 2)); At += 2) {
      uint16_t Unit = Whole ? static_cast<uint16_t> (Units[At - Arg.Value] | Units[At - Arg.Value + 1] << 8)
                            : M.Load<uint16_t> (At);
      if (Unit == 0) break;
      if (Unit < 0x20 || Unit > 0x7E) {
        Arg.Text.clear ();
        break;
      }
      Arg.Text.push_back (static_cast<char16_t> (Unit));
    }
  }
  Calls.push_back (std::move (Call));
}

uint64_t Firmware::MakeHostInterface (const std::string &Name,
                                      const std::vector<std::pair<std::string, TrapHandler>> &Slots,
                                      uint64_t LeadingBytes, uint64_t TrailingBytes) {
  uint64_t At = HostAlloc (LeadingBytes + Slots.size () * 8 + TrailingBytes);
  for (size_t I = 0; I < Slots.size (); I++) {
    uint64_t Fn = Slots[I].second ? Trap (Name + "." + Slots[I].first, Slots[I].second)
                                  : Trap (Name + "." + Slots[I].first, [this, N = Name + "." + Slots[I].first] (CallArgs &) {
                                      M.RaiseFault (FaultKind::Unimplemented, N + " is not provided by this board");
                                      return efi::Unsupported;
                                    });
    M.Store<uint64_t> (At + LeadingBytes + 8 * I, Fn);
  }
  return At;
}

void Firmware::InstallConfigurationTable (const Guid &Id, uint64_t Table) {
  for (uint64_t I = 0; I < mConfigCount; I++) {
    uint64_t Entry = mConfigTable + 24 * I;
    Guid G;
    M.Read (Entry, G.Bytes.data (), 16);
    if (G == Id) {
      M.Store<uint64_t> (Entry + 16, Table);
      return;
    }
  }
  if (mConfigCount == kConfigCapacity) {
    throw std::runtime_error ("configuration table full");
  }
  uint64_t Entry = mConfigTable + 24 * mConfigCount++;
  M.Write (Entry, Id.Bytes.data (), 16);
  M.Store<uint64_t> (Entry + 16, Table);
  M.Store<uint64_t> (SystemTable + 104, mConfigCount);
}

void Firmware::BuildTables () {
  SystemTable = HostAlloc (120);
  M.Store<uint64_t> (SystemTable, kSystemTableSignature);
  M.Store<uint32_t> (SystemTable + 8, kUefiRevision);
  M.Store<uint32_t> (SystemTable + 12, 120);
  M.Store<uint64_t> (SystemTable + 24, HostUcs2 (u"Virtual board"));
  M.Store<uint32_t> (SystemTable + 32, 0x00010000);

  AddBootServices ();
  AddRuntimeServices ();
  M.Store<uint64_t> (SystemTable + 88, RuntimeServices);
  M.Store<uint64_t> (SystemTable + 96, BootServices);

  mConfigTable = HostAlloc (24 * kConfigCapacity);
  M.Store<uint64_t> (SystemTable + 112, mConfigTable);

  // DXE services (the DXE services table library requires the table): the
  // dispatcher's Dispatch, Schedule and Trust; a module that calls one of
  // the others learns that this board does not provide it.
  static const char *const kDxeServices[] = {
      "AddMemorySpace", "AllocateMemorySpace", "FreeMemorySpace", "RemoveMemorySpace",
      "GetMemorySpaceDescriptor", "SetMemorySpaceAttributes", "GetMemorySpaceMap", "AddIoSpace",
      "AllocateIoSpace", "FreeIoSpace", "RemoveIoSpace", "GetIoSpaceDescriptor", "GetIoSpaceMap",
      "Dispatch", "Schedule", "Trust", "ProcessFirmwareVolume", "SetMemorySpaceCapabilities"};
  // Schedule and Trust (FirmwareVolumeHandle, DriverName).
  auto ByFile = [this] (uint64_t (Dispatcher::*Service) (uint64_t, const Guid &), const char *Name) -> TrapHandler {
    return [this, Service, Name] (CallArgs &A) -> uint64_t {
      std::optional<Guid> File = GuidAt (A[1]);
      if (!File) {
        Misuse (std::string ("DS.") + Name + " with an unreadable DriverName pointer");
        return efi::InvalidParameter;
      }
      return (Dxe.*Service) (A[0], *File);
    };
  };
  std::vector<std::pair<std::string, TrapHandler>> Slots;
  for (const char *Name : kDxeServices) {
    TrapHandler Handler;
    if (std::string (Name) == "Dispatch") Handler = [this] (CallArgs &) { return Dxe.Dispatch (); };
    if (std::string (Name) == "Schedule") Handler = ByFile (&Dispatcher::Schedule, Name);
    if (std::string (Name) == "Trust") Handler = ByFile (&Dispatcher::Trust, Name);
    Slots.push_back ({Name, Handler});
  }
  DxeServices = MakeHostInterface ("DS", Slots, 24);
  M.Store<uint64_t> (DxeServices, kDxeServicesSignature);
  M.Store<uint32_t> (DxeServices + 8, kUefiRevision);
  M.Store<uint32_t> (DxeServices + 12, static_cast<uint32_t> (24 + 8 * Slots.size ()));
  InstallConfigurationTable (guids::DxeServicesTable, DxeServices);

  // The HOB list is the board's (uefi/HobList), which installs it.

  AddPcdProtocols ();
  M.OnServiceReturn = [this] { Events.FireDueTimers (); };
  M.NowNs = [this] { return NowNs (); };
}

uint64_t Firmware::InstallProtocol (uint64_t &Handle, const Guid &Protocol, uint64_t Interface) {
  bool FromGuest = !mCaller.empty () && mCaller != "host";
  if (FromGuest) {
    auto Forced = FailInstallProtocol.find (Protocol);
    if (Forced != FailInstallProtocol.end ()) {
      return Forced->second;
    }
  }
  uint64_t Status = Protocols.Install (Handle, Protocol, Interface);
  if (FromGuest && !efi::IsError (Status)) {
    Published.push_back ({mCaller, Protocol, Interface});
  }
  return Status;
}

std::optional<Guid> Firmware::GuidAt (uint64_t Address) {
  Guid G;
  if (Address == 0 || !M.Read (Address, G.Bytes.data (), 16)) {
    return std::nullopt;
  }
  return G;
}

EfiTime Firmware::CurrentTime () const {
  // The clock runs from Rtc at simulated time 0; days roll over by a simple
  // calendar (enough for a boot, which lasts seconds).
  static const uint8_t kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  EfiTime T = Rtc;
  uint64_t Secs = NowNs () / 1000000000ULL;
  uint64_t Total = T.Second + 60ULL * (T.Minute + 60ULL * T.Hour) + Secs;
  T.Second = Total % 60;
  T.Minute = (Total / 60) % 60;
  T.Hour = (Total / 3600) % 24;
  for (uint64_t D = Total / 86400; D > 0; D--) {
    bool Leap = (T.Year % 4 == 0 && T.Year % 100 != 0) || T.Year % 400 == 0;
    uint8_t Len = T.Month == 2 && Leap ? 29 : kDays[(T.Month - 1) % 12];
    if (++T.Day > Len) {
      T.Day = 1;
      if (++T.Month > 12) {
        T.Month = 1;
        T.Year++;
      }
    }
  }
  T.Nanosecond = NowNs () % 1000000000ULL;
  return T;
}

}  // namespace vboard
