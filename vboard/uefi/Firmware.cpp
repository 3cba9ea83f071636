#include "uefi/Firmware.h"

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
constexpr uint64_t kPage = 0x1000;

std::string ShortFile (const std::string &File) {
  size_t Pkg = File.rfind ("ArmServerFeaturePkg/");
  if (Pkg != std::string::npos) {
    return File.substr (Pkg + std::strlen ("ArmServerFeaturePkg/"));
  }
  size_t Slash = File.rfind ('/');
  return Slash == std::string::npos ? File : File.substr (Slash + 1);
}
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
          [this] (uint64_t Event) { SignalEvent (Event); }) {
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
    Log (Name, A.Caller ());
    std::string Outer = mCaller;
    mCaller = CallerName (A.Caller ());
    uint64_t Result = H (A);
    mCaller = Outer;
    return Result;
  });
}

void Firmware::Log (const std::string &Name, uint64_t Caller) {
  Calls.push_back ({Name, CallerName (Caller)});
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

  // DXE services: present (the DXE services table library requires it); a
  // module that calls one of them learns that this board does not provide it.
  static const char *const kDxeServices[] = {
      "AddMemorySpace", "AllocateMemorySpace", "FreeMemorySpace", "RemoveMemorySpace",
      "GetMemorySpaceDescriptor", "SetMemorySpaceAttributes", "GetMemorySpaceMap", "AddIoSpace",
      "AllocateIoSpace", "FreeIoSpace", "RemoveIoSpace", "GetIoSpaceDescriptor", "GetIoSpaceMap",
      "Dispatch", "Schedule", "Trust", "ProcessFirmwareVolume", "SetMemorySpaceCapabilities"};
  std::vector<std::pair<std::string, TrapHandler>> Slots;
  for (const char *Name : kDxeServices) {
    Slots.push_back ({Name, nullptr});
  }
  DxeServices = MakeHostInterface ("DS", Slots, 24);
  M.Store<uint64_t> (DxeServices, kDxeServicesSignature);
  M.Store<uint32_t> (DxeServices + 8, kUefiRevision);
  M.Store<uint32_t> (DxeServices + 12, static_cast<uint32_t> (24 + 8 * Slots.size ()));
  InstallConfigurationTable (guids::DxeServicesTable, DxeServices);

  // HOB list: the PHIT HOB and the end of the list.
  HobList = HostAlloc (64);
  M.Store<uint16_t> (HobList, 0x0001);
  M.Store<uint16_t> (HobList + 2, 56);
  M.Store<uint32_t> (HobList + 8, 9);   // PHIT version
  M.Store<uint64_t> (HobList + 48, HobList + 56);
  M.Store<uint16_t> (HobList + 56, 0xFFFF);
  M.Store<uint16_t> (HobList + 58, 8);
  InstallConfigurationTable (guids::HobList, HobList);

  AddPcdProtocols ();
  M.OnServiceReturn = [this] { FireDueTimers (); };
  M.NowNs = [this] { return NowNs (); };
}

// ---------------------------------------------------------------- images

ImageRecord &Firmware::LoadImage (const std::string &Path) {
  return LoadImage (std::make_unique<PeImage> (Path), 0, 0);
}

ImageRecord &Firmware::LoadImage (std::unique_ptr<PeImage> Pe, uint64_t DeviceHandle, uint64_t FilePath) {
  auto Image = std::make_unique<ImageRecord> ();
  Image->Pe = std::move (Pe);
  Image->Name = Image->Pe->BaseName ();
  Image->Path = Image->Pe->Path ();
  Image->DebugFile = Image->Pe->DebugFile ();
  Image->Size = (Image->Pe->SizeOfImage () + kPage - 1) & ~(kPage - 1);
  Image->Base = (mImageNext + 0xFFFF) & ~0xFFFFULL;
  mImageNext = Image->Base + Image->Size + 0x10000;
  M.MapRam (Image->Base, Image->Size);
  Image->Pe->Load (M, Image->Base);
  if (!Image->Pe->BuildDir ().empty ()) {
    BindLocalTokens (Image->Pe->BuildDir (), Image->Name);
  }

  Image->Handle = NewHandle ();
  Image->LoadedImage = HostAlloc (96);
  M.Store<uint32_t> (Image->LoadedImage, 0x1000);
  M.Store<uint64_t> (Image->LoadedImage + 16, SystemTable);
  M.Store<uint64_t> (Image->LoadedImage + 24, DeviceHandle);
  M.Store<uint64_t> (Image->LoadedImage + 32, FilePath);
  M.Store<uint64_t> (Image->LoadedImage + 64, Image->Base);
  M.Store<uint64_t> (Image->LoadedImage + 72, Image->Size);
  M.Store<uint32_t> (Image->LoadedImage + 80, Image->Pe->Subsystem () == 10 ? 1u : static_cast<uint32_t> (efi::BootServicesCode));
  M.Store<uint32_t> (Image->LoadedImage + 84, Image->Pe->Subsystem () == 10 ? 2u : static_cast<uint32_t> (efi::BootServicesData));
  // The core installs this itself, also when a guest LoadImage call asked
  // for the image: it is no publication of the calling image.
  Protocols.Install (Image->Handle, guids::LoadedImageProtocol, Image->LoadedImage);
  mImages.push_back (std::move (Image));
  return *mImages.back ();
}

uint64_t Firmware::StartImage (ImageRecord &Image) {
  Image.Started = true;
  uint64_t Status = M.Call (Image.Base + Image.Pe->EntryRva (), {Image.Handle, SystemTable});
  if (M.Stopped ()) {
    Image.EntryStatus = efi::Aborted;
    return efi::Aborted;
  }
  Image.EntryStatus = Status;
  DispatchPending ();
  if (efi::IsError (Status) && Image.Pe->Subsystem () != 10) {
    // The DXE core unloads a driver whose entry point fails; its image memory
    // goes away, so anything it left installed now dangles.
    UninstallProtocol (Image.Handle, guids::LoadedImageProtocol, Image.LoadedImage);
    M.Unmap (Image.Base, Image.Size);
    Image.Unloaded = true;
  }
  return Status;
}

ImageRecord *Firmware::ImageAt (uint64_t Address) {
  for (auto &I : mImages) {
    if (Address >= I->Base && Address < I->Base + I->Size) {
      return I.get ();
    }
  }
  return nullptr;
}

ImageRecord *Firmware::ImageNamed (const std::string &Name) {
  for (auto &I : mImages) {
    if (I->Name == Name) {
      return I.get ();
    }
  }
  return nullptr;
}

// ---------------------------------------------------------------- reports

std::string Firmware::SourceLine (uint64_t Address) {
  ImageRecord *I = ImageAt (Address);
  if (I == nullptr) {
    return "";
  }
  auto Where = Symbols.Lookup (I->DebugFile, Address - I->Base);
  if (Where.empty () || Where.front ().Line == 0) {
    return "";
  }
  return ShortFile (Where.front ().File) + ":" + std::to_string (Where.front ().Line);
}

namespace {
bool ModuleOwnSource (const std::string &File) {
  return File.find ("ArmServerFeaturePkg/") != std::string::npos && File.find ("/Library/") == std::string::npos;
}
}  // namespace

std::string Firmware::SiteLine (uint64_t Address, const std::vector<uint64_t> &Frames, bool AddressIsPc) {
  // A return address points after its call: look up the call instruction.
  std::vector<uint64_t> Sites{AddressIsPc ? Address : Address - 4};
  for (uint64_t F : Frames) Sites.push_back (F - 4);
  for (uint64_t S : Sites) {
    ImageRecord *I = ImageAt (S);
    if (I == nullptr) continue;
    for (const auto &L : Symbols.Lookup (I->DebugFile, S - I->Base)) {
      if (ModuleOwnSource (L.File) && L.Line > 0) {
        return ShortFile (L.File) + ":" + std::to_string (L.Line);
      }
    }
  }
  return "";
}

std::string Firmware::DescribeSite (uint64_t ReturnAddress, const std::vector<uint64_t> &Frames) {
  std::string Line = SiteLine (ReturnAddress, Frames, false);
  std::string Where = Describe (ReturnAddress - 4);
  return Line.empty () ? Where : CallerName (ReturnAddress) + " at " + Line + " [" + Where + "]";
}

std::string Firmware::CallerName (uint64_t Address) {
  ImageRecord *I = ImageAt (Address);
  return I == nullptr ? "host" : I->Name;
}

std::string Firmware::Describe (uint64_t Address) {
  char Hex[64];
  std::snprintf (Hex, sizeof (Hex), "0x%llx", static_cast<unsigned long long> (Address));
  if (!M.TrapName (Address).empty ()) {
    return std::string (Hex) + " (service " + M.TrapName (Address) + ")";
  }
  if (ImageRecord *I = ImageAt (Address)) {
    char Off[64];
    std::snprintf (Off, sizeof (Off), "%s+0x%llx", I->Name.c_str (), static_cast<unsigned long long> (Address - I->Base));
    std::string Text = Off;
    auto Where = Symbols.Lookup (I->DebugFile, Address - I->Base);
    for (size_t K = 0; K < Where.size (); K++) {
      Text += (K == 0 ? " in " : ", inlined into ") + Where[K].Function + " (" + ShortFile (Where[K].File) + ":" +
              std::to_string (Where[K].Line) + ")";
    }
    return Text;
  }
  if (const Allocation *A = Pool.Containing (Address)) {
    char Off[96];
    std::snprintf (Off, sizeof (Off), "%s (offset %llu of a %llu-byte block allocated by %s)", Hex,
                   static_cast<unsigned long long> (Address - A->Address), static_cast<unsigned long long> (A->Size),
                   CallerName (A->Caller).c_str ());
    return Off;
  }
  return Hex;
}

std::vector<LeakReport> Firmware::FindLeaks () {
  // Conservative reachability, like a garbage collector's mark phase: a block
  // is still owned when some 8-byte word in a loaded image, in host tables,
  // in an installed interface or in another owned block points into it.
  const auto &Live = Pool.Live ();
  std::set<uint64_t> Reached;
  std::vector<uint64_t> Work;
  auto Consider = [&] (uint64_t Value) {
    if (const Allocation *A = Pool.Containing (Value)) {
      if (Reached.insert (A->Address).second) {
        Work.push_back (A->Address);
      }
    }
  };
  auto ScanRange = [&] (uint64_t Base, uint64_t Size) {
    std::vector<uint8_t> Bytes = M.ReadBytes (Base, Size);
    for (size_t Off = 0; Off + 8 <= Bytes.size (); Off += 8) {
      uint64_t V;
      std::memcpy (&V, Bytes.data () + Off, 8);
      Consider (V);
    }
  };
  for (auto &I : mImages) {
    if (!I->Unloaded) {
      ScanRange (I->Base, I->Size);
    }
  }
  ScanRange (kHostBase, mHostNext - kHostBase);
  for (uint64_t Interface : Protocols.AllInterfaces ()) {
    Consider (Interface);
  }
  for (const auto &E : mEvents) {
    Consider (E.second.NotifyContext);
  }
  for (auto &Provider : ExtraRoots) {
    std::vector<uint64_t> Values;
    Provider (Values);
    for (uint64_t V : Values) Consider (V);
  }
  while (!Work.empty ()) {
    uint64_t At = Work.back ();
    Work.pop_back ();
    const Allocation &A = Live.at (At);
    ScanRange (A.Address, A.Size & ~7ULL);
  }
  std::vector<LeakReport> Leaks;
  for (const auto &Entry : Live) {
    if (Reached.count (Entry.first) == 0) {
      LeakReport L;
      L.Block = Entry.second;
      L.Owner = CallerName (Entry.second.Caller);
      L.Where = DescribeSite (Entry.second.Caller, Entry.second.Frames);
      Leaks.push_back (L);
    }
  }
  return Leaks;
}

// ---------------------------------------------------------------- protocols (host side)

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

// ---------------------------------------------------------------- events and time

uint64_t Firmware::CreateEvent (uint32_t Type, uint64_t Tpl, uint64_t Fn, uint64_t Ctx, const Guid *Group) {
  EventRecord E;
  E.Handle = HostAlloc (16);
  E.Type = Type;
  E.NotifyTpl = Tpl;
  E.NotifyFunction = Fn;
  E.NotifyContext = Ctx;
  if (Group != nullptr) {
    E.Group = *Group;
  }
  mEvents[E.Handle] = E;
  return E.Handle;
}

void Firmware::CloseEvent (uint64_t Event) {
  mEvents.erase (Event);
  Protocols.DropNotifies (Event);
}

const EventRecord *Firmware::FindEvent (uint64_t Handle) const {
  auto It = mEvents.find (Handle);
  return It == mEvents.end () ? nullptr : &It->second;
}

std::vector<const EventRecord *> Firmware::EventsInGroup (const Guid &Group) const {
  std::vector<const EventRecord *> Out;
  for (const auto &E : mEvents) {
    if (E.second.Group && *E.second.Group == Group) {
      Out.push_back (&E.second);
    }
  }
  return Out;
}

void Firmware::QueueNotify (EventRecord &E) {
  if ((E.Type & efi::EvtNotifySignal) != 0 && E.NotifyFunction != 0) {
    if (!E.Pending) {
      E.Pending = true;
      E.QueueOrder = ++mQueueOrder;
    }
  } else {
    E.Signaled = true;
  }
}

void Firmware::SignalEvent (uint64_t Event) {
  auto It = mEvents.find (Event);
  if (It == mEvents.end ()) {
    return;
  }
  if (It->second.Group) {
    Guid G = *It->second.Group;
    for (auto &E : mEvents) {
      if (E.second.Group && *E.second.Group == G) {
        QueueNotify (E.second);
      }
    }
  } else {
    QueueNotify (It->second);
  }
  DispatchPending ();
}

void Firmware::SignalEventGroup (const Guid &Group) {
  for (auto &E : mEvents) {
    if (E.second.Group && *E.second.Group == Group) {
      QueueNotify (E.second);
    }
  }
  DispatchPending ();
}

void Firmware::DispatchPending () {
  // Highest TPL first, in queue order within a TPL; only notifications whose
  // TPL is above the current one run, each at its own TPL.
  for (int Guard = 0; Guard < 100000 && !M.Stopped (); Guard++) {
    EventRecord *Next = nullptr;
    for (auto &E : mEvents) {
      EventRecord &R = E.second;
      if (R.Pending && R.NotifyTpl > mTpl &&
          (Next == nullptr || R.NotifyTpl > Next->NotifyTpl ||
           (R.NotifyTpl == Next->NotifyTpl && R.QueueOrder < Next->QueueOrder))) {
        Next = &R;
      }
    }
    if (Next == nullptr) {
      return;
    }
    Next->Pending = false;
    Next->Notifications++;
    uint64_t Saved = mTpl;
    mTpl = Next->NotifyTpl;
    uint64_t Fn = Next->NotifyFunction, Handle = Next->Handle, Ctx = Next->NotifyContext;
    M.Call (Fn, {Handle, Ctx});   // may close or signal events: Next is not used after this
    mTpl = Saved;
  }
}

void Firmware::FireDueTimers () {
  uint64_t Now = NowNs ();
  bool Any = false;
  for (auto &E : mEvents) {
    EventRecord &R = E.second;
    if ((R.Type & efi::EvtTimer) != 0 && R.TimerType != 0 && R.TriggerNs <= Now) {
      QueueNotify (R);
      Any = true;
      if (R.TimerType == 1) {
        R.TriggerNs += R.PeriodNs == 0 ? 1 : R.PeriodNs;
        if (R.TriggerNs <= Now) {
          R.TriggerNs = Now + (R.PeriodNs == 0 ? 1 : R.PeriodNs);   // missed ticks coalesce, as with a real tick source
        }
      } else {
        R.TimerType = 0;
      }
    }
  }
  if (Any) {
    DispatchPending ();
  }
}

void Firmware::AdvanceTime (uint64_t Ns) {
  uint64_t Target = NowNs () + Ns;
  // Step from one due timer to the next so that a periodic timer fires once
  // for every period that passes.
  for (int Guard = 0; Guard < 1000000 && !M.Stopped (); Guard++) {
    uint64_t Next = Target;
    for (const auto &E : mEvents) {
      const EventRecord &R = E.second;
      if ((R.Type & efi::EvtTimer) != 0 && R.TimerType != 0 && R.TriggerNs < Next) {
        Next = R.TriggerNs;
      }
    }
    if (Next > NowNs ()) {
      mExtraNs += Next - NowNs ();
    }
    FireDueTimers ();
    if (NowNs () >= Target) {
      return;
    }
  }
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

// ---------------------------------------------------------------- variables (host side)

VariableRecord *Firmware::FindVariable (const std::u16string &Name, const Guid &Vendor) {
  for (VariableRecord &V : mVariables) {
    if (V.Name == Name && V.Vendor == Vendor) {
      return &V;
    }
  }
  return nullptr;
}

void Firmware::SetVariable (const std::u16string &Name, const Guid &Vendor, uint32_t Attributes,
                            std::vector<uint8_t> Data) {
  if (VariableRecord *V = FindVariable (Name, Vendor)) {
    V->Attributes = Attributes;
    V->Data = std::move (Data);
    return;
  }
  mVariables.push_back ({Name, Vendor, Attributes, std::move (Data)});
}

void Firmware::DeleteVariable (const std::u16string &Name, const Guid &Vendor) {
  mVariables.erase (std::remove_if (mVariables.begin (), mVariables.end (),
                                    [&] (const VariableRecord &V) { return V.Name == Name && V.Vendor == Vendor; }),
                    mVariables.end ());
}

}  // namespace vboard
