// EFI_RUNTIME_SERVICES: the variable store, the real-time clock with its wake
// alarm, and reset. Variables follow the UEFI rules a module depends on:
// BUFFER_TOO_SMALL with the needed size, attributes returned, size-0 writes
// delete, runtime access only with boot-service access.
#include "uefi/Firmware.h"

namespace vboard {

namespace {

bool ValidTime (const EfiTime &T) {
  static const uint8_t kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return T.Year >= 1900 && T.Year <= 9999 && T.Month >= 1 && T.Month <= 12 && T.Day >= 1 &&
         T.Day <= kDays[T.Month - 1] && T.Hour < 24 && T.Minute < 60 && T.Second < 60 && T.Nanosecond < 1000000000 &&
         (T.TimeZone == 2047 || (T.TimeZone >= -1440 && T.TimeZone <= 1440));
}

}  // namespace

uint64_t Firmware::DoGetVariable (CallArgs &A) {
  uint64_t NamePtr = A[0], GuidPtr = A[1], AttrPtr = A[2], SizePtr = A[3], Data = A[4];
  auto Vendor = GuidAt (GuidPtr);
  if (NamePtr == 0 || !Vendor || SizePtr == 0) {
    return efi::InvalidParameter;
  }
  std::u16string Name = M.ReadUcs2 (NamePtr, 512);
  auto Forced = FailGetVariable.find (Name);
  if (Forced != FailGetVariable.end ()) {
    return Forced->second;
  }
  VariableRecord *V = FindVariable (Name, *Vendor);
  if (V == nullptr) {
    return efi::NotFound;
  }
  uint64_t Have = M.Load<uint64_t> (SizePtr);
  M.Store<uint64_t> (SizePtr, V->Data.size ());
  if (Have < V->Data.size ()) {
    return efi::BufferTooSmall;
  }
  if (Data == 0) {
    return efi::InvalidParameter;
  }
  if (!M.Write (Data, V->Data.data (), V->Data.size ())) {
    Misuse ("GetVariable: data buffer is not writable memory");
    return efi::InvalidParameter;
  }
  if (AttrPtr != 0) {
    M.Store<uint32_t> (AttrPtr, V->Attributes);
  }
  return efi::Success;
}

uint64_t Firmware::DoSetVariable (CallArgs &A) {
  uint64_t NamePtr = A[0], GuidPtr = A[1], Size = A[3], Data = A[4];
  uint32_t Attributes = static_cast<uint32_t> (A[2]);
  auto Vendor = GuidAt (GuidPtr);
  if (NamePtr == 0 || !Vendor) {
    return efi::InvalidParameter;
  }
  std::u16string Name = M.ReadUcs2 (NamePtr, 512);
  if (Name.empty ()) {
    return efi::InvalidParameter;
  }
  auto Forced = FailSetVariable.find (Name);
  if (Forced != FailSetVariable.end ()) {
    return Forced->second;
  }
  const uint32_t Access = efi::VariableBootServiceAccess | efi::VariableRuntimeAccess;
  if (efi::DeletesVariable (Attributes, Size)) {
    VariableRecord *Old = FindVariable (Name, *Vendor);
    if (Old == nullptr) {
      return efi::NotFound;
    }
    Vars.GuestWrites.push_back ({CallerName (A.Caller ()), Name, true, Old->Data, {}});
    DeleteVariable (Name, *Vendor);
    return efi::Success;
  }
  if ((Attributes & Access) == efi::VariableRuntimeAccess || Data == 0 || (Attributes & ~0x7FU) != 0) {
    return efi::InvalidParameter;
  }
  VariableRecord *Old = FindVariable (Name, *Vendor);
  if (Old != nullptr && Old->Attributes != Attributes) {
    return efi::InvalidParameter;
  }
  std::vector<uint8_t> Bytes = M.ReadBytes (Data, Size);
  Vars.GuestWrites.push_back ({CallerName (A.Caller ()), Name, false, Old != nullptr ? Old->Data : std::vector<uint8_t>{}, Bytes});
  SetVariable (Name, *Vendor, Attributes, std::move (Bytes));
  return efi::Success;
}

uint64_t Firmware::RtcGetTime (uint64_t Time, uint64_t Capabilities) {
  if (Time == 0) return efi::InvalidParameter;
  EfiTime T = CurrentTime ();
  if (!M.Write (Time, &T, sizeof (T))) {
    Misuse ("GetTime: time buffer is not writable memory");
    return efi::InvalidParameter;
  }
  if (Capabilities != 0) {
    uint32_t Caps[3] = {1, 1000000000, 0};   // resolution 1 Hz, accuracy 1e-6, not cleared on set
    M.Write (Capabilities, Caps, 9);
  }
  return efi::Success;
}

uint64_t Firmware::RtcSetTime (uint64_t Time) {
  EfiTime T;
  if (Time == 0 || !M.Read (Time, &T, sizeof (T)) || !ValidTime (T)) return efi::InvalidParameter;
  Rtc = T;   // simplification: the new time counts from simulated time 0
  return efi::Success;
}

uint64_t Firmware::RtcGetWakeup (uint64_t Enabled, uint64_t Pending, uint64_t Time) {
  if (Enabled == 0 || Pending == 0 || Time == 0) return efi::InvalidParameter;
  M.Store<uint8_t> (Enabled, WakeupEnabled ? 1 : 0);
  M.Store<uint8_t> (Pending, 0);
  M.Write (Time, &WakeupTime, sizeof (WakeupTime));
  return efi::Success;
}

uint64_t Firmware::RtcSetWakeup (bool Enable, uint64_t Time) {
  WakeupCall Call;
  Call.Enable = Enable;
  Call.HasTime = Time != 0;
  if (Call.HasTime && !M.Read (Time, &Call.Time, sizeof (Call.Time))) {
    Misuse ("SetWakeupTime: time pointer is not readable memory");
    return efi::InvalidParameter;
  }
  WakeupCalls.push_back (Call);
  if (!Call.Enable) {
    WakeupEnabled = false;
    return WakeupStatus;
  }
  if (!Call.HasTime) return efi::InvalidParameter;
  // This clock keeps the two top bits of Day as platform flags and checks
  // the rest as a calendar date.
  EfiTime Check = Call.Time;
  Check.Day &= 0x3F;
  if (!ValidTime (Check)) return efi::InvalidParameter;
  if (!efi::IsError (WakeupStatus)) {
    WakeupEnabled = true;
    WakeupTime = Call.Time;
  }
  return WakeupStatus;
}

void Firmware::AddRuntimeServices () {
  std::vector<std::pair<std::string, TrapHandler>> S;
  S.push_back ({"GetTime", [this] (CallArgs &A) { return RtcGetTime (A[0], A[1]); }});
  S.push_back ({"SetTime", [this] (CallArgs &A) { return RtcSetTime (A[0]); }});
  S.push_back ({"GetWakeupTime", [this] (CallArgs &A) { return RtcGetWakeup (A[0], A[1], A[2]); }});
  S.push_back ({"SetWakeupTime", [this] (CallArgs &A) { return RtcSetWakeup ((A[0] & 0xFF) != 0, A[1]); }});
  S.push_back ({"SetVirtualAddressMap", nullptr});
  S.push_back ({"ConvertPointer", nullptr});
  S.push_back ({"GetVariable", [this] (CallArgs &A) { return DoGetVariable (A); }});
  S.push_back ({"GetNextVariableName", [this] (CallArgs &A) -> uint64_t {
    uint64_t SizePtr = A[0], NamePtr = A[1], GuidPtr = A[2];
    if (SizePtr == 0 || NamePtr == 0 || GuidPtr == 0) return efi::InvalidParameter;
    std::u16string Name = M.ReadUcs2 (NamePtr, 512);
    auto Vendor = GuidAt (GuidPtr);
    const std::vector<VariableRecord> &All = Vars.All ();
    size_t Next = 0;
    if (!Name.empty ()) {
      Next = All.size () + 1;
      for (size_t I = 0; I < All.size (); I++) {
        if (All[I].Name == Name && Vendor && All[I].Vendor == *Vendor) Next = I + 1;
      }
      if (Next > All.size ()) return efi::InvalidParameter;   // not a variable name it handed out
    }
    if (Next >= All.size ()) return efi::NotFound;
    const VariableRecord &V = All[Next];
    uint64_t Need = 2 * (V.Name.size () + 1), Have = M.Load<uint64_t> (SizePtr);
    M.Store<uint64_t> (SizePtr, Need);
    if (Have < Need) return efi::BufferTooSmall;
    std::vector<uint16_t> Units (V.Name.begin (), V.Name.end ());
    Units.push_back (0);
    M.Write (NamePtr, Units.data (), Need);
    M.Write (GuidPtr, V.Vendor.Bytes.data (), 16);
    return efi::Success;
  }});
  S.push_back ({"SetVariable", [this] (CallArgs &A) { return DoSetVariable (A); }});
  S.push_back ({"GetNextHighMonotonicCount", nullptr});
  S.push_back ({"ResetSystem", [this] (CallArgs &A) -> uint64_t {
    static const char *const kTypes[] = {"EfiResetCold", "EfiResetWarm", "EfiResetShutdown", "EfiResetPlatformSpecific"};
    uint32_t Type = static_cast<uint32_t> (A[0]);
    ResetCalls.push_back (Type);
    M.Halt (std::string ("ResetSystem (") + (Type < 4 ? kTypes[Type] : "?") + ") from " + CallerName (A.Caller ()));
    return efi::Success;
  }});
  S.push_back ({"UpdateCapsule", nullptr});
  S.push_back ({"QueryCapsuleCapabilities", nullptr});
  S.push_back ({"QueryVariableInfo", nullptr});

  RuntimeServices = MakeHostInterface ("RT", S, 24);
  M.Store<uint64_t> (RuntimeServices, 0x56524553544E5552ULL);   // "RUNTSERV"
  M.Store<uint32_t> (RuntimeServices + 8, (2 << 16) | 70);
  M.Store<uint32_t> (RuntimeServices + 12, static_cast<uint32_t> (24 + 8 * S.size ()));
}

}  // namespace vboard
