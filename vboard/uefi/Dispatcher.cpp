#include "uefi/Dispatcher.h"

#include "uefi/Firmware.h"
#include "uefi/GuidNames.h"

#include <cstring>
#include <sstream>
#include <stdexcept>

namespace vboard {

namespace {
constexpr uint64_t kWarnBufferTooSmall = 4;          // EFI_WARN_BUFFER_TOO_SMALL
constexpr uint32_t kFvFileAttribMemoryMapped = 0x200;  // EFI_FV_FILE_ATTRIB_MEMORY_MAPPED
constexpr uint8_t kFileTypeAll = 0x00;
constexpr int kMaxBeforeAfterDepth = 32;

// A media device-path node naming a volume (subtype 7) or a file (subtype
// 6) by GUID, followed by the end node.
std::vector<uint8_t> PiwgNode (uint8_t SubType, const Guid &G) {
  std::vector<uint8_t> Dp = {0x04, SubType, 20, 0};
  Dp.insert (Dp.end (), G.Bytes.begin (), G.Bytes.end ());
  Dp.insert (Dp.end (), {0x7F, 0xFF, 0x04, 0x00});
  return Dp;
}
}  // namespace

const std::vector<std::string> &Dispatcher::ArchitecturalProtocols () {
  static const std::vector<std::string> kArch = {
      "gEfiBdsArchProtocolGuid",           "gEfiCpuArchProtocolGuid",          "gEfiMetronomeArchProtocolGuid",
      "gEfiMonotonicCounterArchProtocolGuid", "gEfiRealTimeClockArchProtocolGuid", "gEfiResetArchProtocolGuid",
      "gEfiRuntimeArchProtocolGuid",       "gEfiSecurityArchProtocolGuid",     "gEfiTimerArchProtocolGuid",
      "gEfiVariableWriteArchProtocolGuid", "gEfiVariableArchProtocolGuid",     "gEfiWatchdogTimerArchProtocolGuid",
      "gEfiCapsuleArchProtocolGuid"};
  return kArch;
}

Dispatcher::Dispatcher (Firmware &F) : Fw (F) {}

uint64_t Dispatcher::AddVolume (const std::string &Path) { return AddVolume (ReadWholeFile (Path), Path); }

uint64_t Dispatcher::AddVolume (std::vector<uint8_t> Bytes, const std::string &Origin) {
  Volume V;
  V.Fv = std::make_unique<FirmwareVolume> (std::move (Bytes), Origin);
  mVolumes.push_back (std::move (V));
  size_t Index = mVolumes.size () - 1;
  Volume &Vol = mVolumes.back ();
  Vol.Interface = MakeFv2Interface (Index);
  Fw.InstallProtocol (Vol.Handle, names::Named ("gEfiFirmwareVolume2ProtocolGuid"), Vol.Interface);
  if (Vol.Fv->Name ()) {
    std::vector<uint8_t> Dp = PiwgNode (7, *Vol.Fv->Name ());
    Fw.InstallProtocol (Vol.Handle, names::Named ("gEfiDevicePathProtocolGuid"), Fw.HostCopy (Dp.data (), Dp.size ()));
  }
  for (const FfsFile &F : Vol.Fv->Files ()) {
    if (F.Type != ffs::FileTypeDriver && F.Type != ffs::FileTypeCombinedPeimDriver) continue;
    Driver D;
    D.Volume = Index;
    D.File = &F;
    D.Name = F.UiName.empty () ? F.Name.ToString () : F.UiName;
    if (const FfsSection *S = F.FindSection (ffs::SectionDxeDepex)) D.Expression.emplace (S->Data);
    mDrivers.push_back (std::move (D));
  }
  return Vol.Handle;
}

bool Dispatcher::Installed (const Guid &Protocol) const { return !Fw.HandlesWith (Protocol).empty (); }

bool Dispatcher::Dependent (const Driver &D) const {
  // Discovered, not yet queued or run, and not waiting for a Schedule ()
  // call; BEFORE/AFTER drivers are dependent but only ever queued next to
  // the file they name.
  if (D.State != DriverState::Dormant || D.Queued) return false;
  return !D.Expression || !D.Expression->ScheduleOnRequest () || D.Requested;
}

bool Dispatcher::Schedulable (Driver &D) {
  if (!D.Expression) {
    // No dependency expression: the driver needs every architectural protocol.
    for (const std::string &Arch : ArchitecturalProtocols ()) {
      if (!Installed (names::Named (Arch))) return false;
    }
    return true;
  }
  return D.Expression->Evaluate ([this] (const Guid &G) { return Installed (G); });
}

uint64_t Dispatcher::Dispatch () {
  if (mRunning) return efi::AlreadyStarted;
  mRunning = true;
  static const Guid kDxeDispatchGroup = names::Named ("gEfiEventDxeDispatchGuid");
  bool Started = false;
  for (;;) {
    // A driver started here may trust another one, which joins the queue
    // behind it.
    while (!mScheduled.empty () && !Fw.M.Stopped ()) {
      Driver &D = mDrivers[mScheduled.front ()];
      mScheduled.erase (mScheduled.begin ());
      D.Queued = false;
      Started |= Start (D);
    }
    if (Fw.M.Stopped ()) break;
    if (Started) Fw.Events.SignalGroup (kDxeDispatchGroup);
    bool Ready = false;
    for (size_t I = 0; I < mDrivers.size (); I++) {
      if (Dependent (mDrivers[I]) && Schedulable (mDrivers[I])) {
        Enqueue (I, mScheduled, 0);
        Ready = true;
      }
    }
    if (!Ready) break;
  }
  mRunning = false;
  return Started ? efi::Success : efi::NotFound;
}

void Dispatcher::Enqueue (size_t Index, std::vector<size_t> &Queue, int Depth) {
  // BEFORE drivers go immediately ahead of the file they name, AFTER
  // drivers immediately behind it, recursively. The depth bound only stops
  // a ring of files that share GUIDs.
  if (Depth > kMaxBeforeAfterDepth) return;
  Guid Self = mDrivers[Index].File->Name;
  for (size_t I = 0; I < mDrivers.size (); I++) {
    const Driver &B = mDrivers[I];
    if (I != Index && Dependent (B) && B.Expression && B.Expression->BeforeFile () == Self) Enqueue (I, Queue, Depth + 1);
  }
  mDrivers[Index].Queued = true;
  Queue.push_back (Index);
  for (size_t I = 0; I < mDrivers.size (); I++) {
    const Driver &A = mDrivers[I];
    if (I != Index && Dependent (A) && A.Expression && A.Expression->AfterFile () == Self) Enqueue (I, Queue, Depth + 1);
  }
}

bool Dispatcher::Start (Driver &D) {
  // Loaded already, held back by the security policy and trusted since: the
  // DXE core starts it now, but the image keeps the status its load got, so
  // the start returns Security Violation and the entry point never runs.
  if (D.Image != nullptr) {
    D.State = DriverState::Dispatched;
    D.Status = Fw.StartImage (*D.Image);
    if (D.Image->Started) mOrder.push_back (D.Name);
    return true;
  }
  const FfsSection *Pe = D.File->FindSection (ffs::SectionPe32);
  if (Pe == nullptr) {
    D.State = DriverState::Failed;
    D.Note = "no PE32 section";
    return false;
  }
  std::unique_ptr<PeImage> Image;
  try {
    Image = std::make_unique<PeImage> (Pe->Data, D.Name, mVolumes[D.Volume].Fv->Origin () + ":" + D.Name);
  } catch (const std::exception &E) {
    D.State = DriverState::Failed;
    D.Note = E.what ();
    return false;
  }
  std::vector<uint8_t> Dp = PiwgNode (6, D.File->Name);
  // The DXE core loads a driver through the image security policy like
  // any other image: a violation leaves it loaded and untrusted (never
  // started), any other refusal leaves it out for good.
  std::vector<uint8_t> FullPath;
  if (mVolumes[D.Volume].Fv->Name ()) {
    FullPath = PiwgNode (7, *mVolumes[D.Volume].Fv->Name ());
    FullPath.resize (FullPath.size () - 4);
  }
  FullPath.insert (FullPath.end (), Dp.begin (), Dp.end ());
  uint64_t Security = Fw.AuthenticateImage (FullPath, Pe->Data, false);
  if (efi::IsError (Security) && Security != efi::SecurityViolation) {
    D.State = DriverState::Failed;
    D.Note = "refused by the image security policy (" + efi::StatusName (Security) + ")";
    return false;
  }
  ImageRecord *Loaded = nullptr;
  try {
    Loaded = &Fw.LoadImage (std::move (Image), mVolumes[D.Volume].Handle, Fw.HostCopy (Dp.data (), Dp.size ()), FullPath);
  } catch (const std::exception &E) {
    D.State = DriverState::Failed;
    D.Note = E.what ();
    return false;
  }
  ImageRecord &R = *Loaded;
  D.Image = &R;
  if (Security == efi::SecurityViolation) {
    R.LoadStatus = Security;
    D.State = DriverState::Untrusted;
    return false;
  }
  D.State = DriverState::Dispatched;
  mOrder.push_back (D.Name);
  D.Status = Fw.StartImage (R);
  return true;
}

Dispatcher::Driver *Dispatcher::FindFile (uint64_t VolumeHandle, const Guid &File) {
  for (Driver &D : mDrivers) {
    if (D.File->Name == File && mVolumes[D.Volume].Handle == VolumeHandle) return &D;
  }
  return nullptr;
}

uint64_t Dispatcher::Schedule (uint64_t VolumeHandle, const Guid &File) {
  Driver *D = FindFile (VolumeHandle, File);
  if (D == nullptr || D->State != DriverState::Dormant || !D->Expression || !D->Expression->ScheduleOnRequest () ||
      D->Requested) {
    return efi::NotFound;
  }
  D->Requested = true;
  return efi::Success;
}

uint64_t Dispatcher::Trust (uint64_t VolumeHandle, const Guid &File) {
  Driver *D = FindFile (VolumeHandle, File);
  if (D == nullptr || D->State != DriverState::Untrusted || D->Queued) return efi::NotFound;
  D->Queued = true;
  mScheduled.push_back (static_cast<size_t> (D - mDrivers.data ()));
  return efi::Success;
}

const Dispatcher::Driver *Dispatcher::Find (const std::string &Name) const {
  for (const Driver &D : mDrivers) {
    if (D.Name == Name) return &D;
  }
  return nullptr;
}

std::string Dispatcher::FileName (const Guid &File) const {
  for (const Driver &D : mDrivers) {
    if (D.File->Name == File) return D.Name;
  }
  return File.ToString ();
}

std::string Dispatcher::WaitingFor (const Driver &D) const {
  if (D.State == DriverState::Untrusted && D.Queued) return "trusted since it was loaded; starts at the next dispatch";
  if (D.State == DriverState::Untrusted) return "loaded, not started: the image security policy answered Security Violation";
  if (D.State != DriverState::Dormant) return "";
  if (!D.Expression) {
    std::string Missing;
    for (const std::string &Arch : ArchitecturalProtocols ()) {
      if (!Installed (names::Named (Arch))) Missing += (Missing.empty () ? "" : ", ") + Arch;
    }
    return "no dependency expression; waits for the architectural protocols " + Missing;
  }
  const Depex &E = *D.Expression;
  if (!E.Valid ()) return "malformed dependency expression (" + E.Error () + "); never dispatched";
  if (E.BeforeFile ()) return "BEFORE " + FileName (*E.BeforeFile ()) + ", which was never dispatched";
  if (E.AfterFile ()) return "AFTER " + FileName (*E.AfterFile ()) + ", which was never dispatched";
  if (E.ScheduleOnRequest () && !D.Requested) return "scheduled on request (SOR); nobody called Schedule";
  std::string Missing;
  for (const Guid &G : E.Unsatisfied ([this] (const Guid &P) { return Installed (P); })) {
    Missing += (Missing.empty () ? "" : ", ") + names::NameOf (G);
  }
  if (Missing.empty ()) return "expression false with every protocol it names installed (" + E.Text (names::NameOf) + ")";
  return "waits for " + Missing;
}

std::string Dispatcher::Report () const {
  std::ostringstream Out;
  for (const Driver &D : mDrivers) {
    Out << D.Name << ": ";
    switch (D.State) {
      case DriverState::Dispatched:
        Out << "dispatched, entry point returned " << efi::StatusName (D.Status)
            << (D.Image != nullptr && D.Image->Unloaded ? " (unloaded)" : "");
        break;
      case DriverState::Failed:
        Out << "not loaded: " << D.Note;
        break;
      case DriverState::Untrusted:
        Out << WaitingFor (D);
        break;
      case DriverState::Dormant:
        Out << "not dispatched: " << WaitingFor (D);
        break;
    }
    Out << "\n";
  }
  return Out.str ();
}

uint64_t Dispatcher::MakeFv2Interface (size_t VolumeIndex) {
  // EFI_FIRMWARE_VOLUME2_PROTOCOL: six functions, KeySize (UINT32) at 48,
  // ParentHandle at 56, then GetInfo and SetInfo.
  auto Fv = [this, VolumeIndex] () -> const FirmwareVolume & { return *mVolumes[VolumeIndex].Fv; };
  auto CheckThis = [this, VolumeIndex] (uint64_t This, const char *Member) {
    if (This != mVolumes[VolumeIndex].Interface) {
      Fw.Misuse (std::string ("FV2.") + Member + " called with a This that is not the volume's protocol");
      return false;
    }
    return true;
  };
  // Hands Data out as ReadFile/ReadSection do: a new pool buffer when
  // *Buffer is NULL, else as much as fits, with a warning if cut short.
  auto HandOut = [this] (CallArgs &A, uint64_t BufferPtr, uint64_t SizePtr, const std::vector<uint8_t> &Data) -> uint64_t {
    uint64_t Buffer = Fw.M.Load<uint64_t> (BufferPtr);
    if (Buffer == 0) {
      Buffer = Fw.Pool.AllocatePool (efi::BootServicesData, Data.size (), A.Caller (), Fw.M.FrameChain ());
      if (Buffer == 0) return efi::OutOfResources;
      Fw.M.Write (Buffer, Data.data (), Data.size ());
      Fw.M.Store<uint64_t> (BufferPtr, Buffer);
      Fw.M.Store<uint64_t> (SizePtr, Data.size ());
      return efi::Success;
    }
    uint64_t Have = Fw.M.Load<uint64_t> (SizePtr);
    uint64_t Copy = std::min<uint64_t> (Have, Data.size ());
    if (!Fw.M.Write (Buffer, Data.data (), Copy)) {
      Fw.Misuse ("FV2 read into a buffer that is not writable memory");
      return efi::InvalidParameter;
    }
    Fw.M.Store<uint64_t> (SizePtr, Data.size () > Have ? Have : Data.size ());
    return Data.size () > Have ? kWarnBufferTooSmall : efi::Success;
  };
  auto ReadGuid = [this] (uint64_t Address, Guid &G) { return Address != 0 && Fw.M.Read (Address, G.Bytes.data (), 16); };

  std::vector<std::pair<std::string, TrapHandler>> Slots;
  Slots.push_back ({"GetVolumeAttributes", [this, CheckThis, Fv] (CallArgs &A) -> uint64_t {
    if (!CheckThis (A[0], "GetVolumeAttributes") || A[1] == 0) return efi::InvalidParameter;
    Fw.M.Store<uint64_t> (A[1], Fv ().Attributes ());
    return efi::Success;
  }});
  Slots.push_back ({"SetVolumeAttributes", [] (CallArgs &) -> uint64_t { return efi::Unsupported; }});
  Slots.push_back ({"ReadFile", [this, CheckThis, Fv, HandOut, ReadGuid] (CallArgs &A) -> uint64_t {
    // (This, NameGuid, Buffer, BufferSize, FoundType, FileAttributes, AuthenticationStatus)
    Guid Name;
    if (!CheckThis (A[0], "ReadFile") || !ReadGuid (A[1], Name) || A[3] == 0 || A[4] == 0 || A[5] == 0 || A[6] == 0) {
      return efi::InvalidParameter;
    }
    const FfsFile *F = Fv ().FindFile (Name);
    if (F == nullptr) return efi::NotFound;
    Fw.M.Store<uint8_t> (A[4], F->Type);
    Fw.M.Store<uint32_t> (A[5], kFvFileAttribMemoryMapped);
    Fw.M.Store<uint32_t> (A[6], 0);
    if (A[2] == 0) {
      Fw.M.Store<uint64_t> (A[3], F->Data.size ());
      return efi::Success;
    }
    return HandOut (A, A[2], A[3], F->Data);
  }});
  Slots.push_back ({"ReadSection", [this, CheckThis, Fv, HandOut, ReadGuid] (CallArgs &A) -> uint64_t {
    // (This, NameGuid, SectionType, SectionInstance, Buffer, BufferSize, AuthenticationStatus)
    Guid Name;
    if (!CheckThis (A[0], "ReadSection") || !ReadGuid (A[1], Name) || A[4] == 0 || A[5] == 0 || A[6] == 0) {
      return efi::InvalidParameter;
    }
    const FfsFile *F = Fv ().FindFile (Name);
    if (F == nullptr) return efi::NotFound;
    const FfsSection *S = F->FindSection (static_cast<uint8_t> (A[2]), static_cast<unsigned> (A[3]));
    if (S == nullptr) return efi::NotFound;
    Fw.M.Store<uint32_t> (A[6], 0);
    return HandOut (A, A[4], A[5], S->Data);
  }});
  Slots.push_back ({"WriteFile", [] (CallArgs &) -> uint64_t { return efi::WriteProtected; }});
  Slots.push_back ({"GetNextFile", [this, CheckThis, Fv] (CallArgs &A) -> uint64_t {
    // (This, Key, FileType, NameGuid, Attributes, Size); the key is the
    // index of the next file to look at, 0 to start.
    if (!CheckThis (A[0], "GetNextFile") || A[1] == 0 || A[2] == 0 || A[3] == 0 || A[4] == 0 || A[5] == 0) {
      return efi::InvalidParameter;
    }
    uint64_t Key = Fw.M.Load<uint64_t> (A[1]);
    uint8_t Want = Fw.M.Load<uint8_t> (A[2]);
    const auto &Files = Fv ().Files ();
    for (uint64_t I = Key; I < Files.size (); I++) {
      const FfsFile &F = Files[I];
      if (Want != kFileTypeAll && F.Type != Want) continue;
      Fw.M.Store<uint64_t> (A[1], I + 1);
      Fw.M.Store<uint8_t> (A[2], F.Type);
      Fw.M.Write (A[3], F.Name.Bytes.data (), 16);
      Fw.M.Store<uint32_t> (A[4], kFvFileAttribMemoryMapped);
      Fw.M.Store<uint64_t> (A[5], F.Data.size ());
      return efi::Success;
    }
    Fw.M.Store<uint64_t> (A[1], Files.size ());
    return efi::NotFound;
  }});
  Slots.push_back ({"KeySize", nullptr});
  Slots.push_back ({"ParentHandle", nullptr});
  Slots.push_back ({"GetInfo", [] (CallArgs &) -> uint64_t { return efi::Unsupported; }});
  Slots.push_back ({"SetInfo", [] (CallArgs &) -> uint64_t { return efi::Unsupported; }});
  uint64_t Interface = Fw.MakeHostInterface ("FV2", Slots);
  Fw.M.Store<uint64_t> (Interface + 48, 8);   // KeySize
  Fw.M.Store<uint64_t> (Interface + 56, 0);   // ParentHandle: not a child volume
  return Interface;
}

}  // namespace vboard
