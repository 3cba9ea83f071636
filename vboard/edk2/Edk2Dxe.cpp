#include "edk2/Edk2Dxe.h"

#include "board/Board.h"
#include "board/Platform.h"
#include "host/Files.h"
#include "images/FirmwareVolume.h"
#include "images/PeImage.h"
#include "uefi/GuidNames.h"
#include "uefi/PcdDatabase.h"

#include <algorithm>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace vboard {

namespace hypercall {
// The platform's header, read with the C types it uses.
using UINT32 = uint32_t;
using UINT64 = uint64_t;
struct EFI_GUID {
  uint8_t Bytes[16];
};
#include "platform/ArmServerBoardPkg/Include/BoardHypercall.h"
static_assert (sizeof (BOARD_SERVICE_ENTRY) == 32, "BOARD_SERVICE_ENTRY is 32 bytes");
}  // namespace hypercall

namespace {

constexpr uint64_t kPage = 0x1000;
constexpr uint64_t kImageAlign = 0x10000;
constexpr uint64_t kPsciSystemOff = 0x84000008;
constexpr uint64_t kPsciSystemReset = 0x84000009;
constexpr uint64_t kSmcNotSupported = ~0ULL;        // SMCCC: -1
constexpr uint8_t kFileTypeDxeCore = 0x05;
constexpr uint32_t kExceptionSvc = 2;
constexpr uint64_t kSystemTablePointerSignature = 0x5453595320494249ULL;   // "IBI SYST"
constexpr uint64_t kSystemTablePointerAlign = 0x400000;
constexpr uint64_t kConfigurationTableCount = 104, kConfigurationTablePointer = 112;

// HOB types and the PI memory types and resource attributes the hand-off uses.
constexpr uint16_t kHobHandoff = 0x0001, kHobMemoryAllocation = 0x0002, kHobResource = 0x0003,
                   kHobGuid = 0x0004, kHobFv = 0x0005, kHobCpu = 0x0006, kHobEnd = 0xFFFF;
constexpr uint32_t kResourceSystemMemory = 0;
constexpr uint32_t kTestedMemory = 0x7 | 0x400 | 0x800 | 0x1000 | 0x2000;   // present, initialized, tested; any caching
constexpr uint32_t kBootServicesCode = 3, kBootServicesData = 4, kReservedMemory = 0;

// Variable store (MdeModulePkg's VariableFormat.h, packed): each variable's
// header 4-byte aligned, its name and data unpadded after it (ALIGNMENT 1
// on this architecture).
constexpr size_t kStoreHeaderSize = 28;
constexpr size_t kAuthVariableHeaderSize = 60;
constexpr uint16_t kVariableStartId = 0x55AA;
constexpr uint8_t kVariableAdded = 0x3F;
constexpr uint32_t kNonVolatile = 1;


void Align (std::vector<uint8_t> &Out, size_t To, uint8_t Fill = 0) {
  while (Out.size () % To != 0) Out.push_back (Fill);
}

// One HOB: the generic header, then Body, padded to 8 bytes.
void AddHob (std::vector<uint8_t> &Out, uint16_t Type, const std::vector<uint8_t> &Body) {
  uint16_t Length = static_cast<uint16_t> ((8 + Body.size () + 7) & ~7ULL);
  AppendLe<uint16_t> (Out, Type);
  AppendLe<uint16_t> (Out, Length);
  AppendLe<uint32_t> (Out, 0);
  Out.insert (Out.end (), Body.begin (), Body.end ());
  Align (Out, 8);
}

std::vector<uint8_t> MemoryAllocation (const Guid &Name, uint64_t Base, uint64_t Length, uint32_t Type) {
  std::vector<uint8_t> Body;
  AppendGuid (Body, Name);
  AppendLe<uint64_t> (Body, Base);
  AppendLe<uint64_t> (Body, Length);
  AppendLe<uint32_t> (Body, Type);
  AppendLe<uint32_t> (Body, 0);
  return Body;
}

std::vector<uint8_t> Resource (uint32_t Type, uint32_t Attributes, uint64_t Start, uint64_t Length) {
  std::vector<uint8_t> Body;
  AppendGuid (Body, Guid{});   // owner
  AppendLe<uint32_t> (Body, Type);
  AppendLe<uint32_t> (Body, Attributes);
  AppendLe<uint64_t> (Body, Start);
  AppendLe<uint64_t> (Body, Length);
  return Body;
}

uint64_t AlignUp (uint64_t V, uint64_t A) { return (V + A - 1) & ~(A - 1); }
uint64_t AlignDown (uint64_t V, uint64_t A) { return V & ~(A - 1); }

std::string ImageName (const std::string &Pdb) {
  size_t Slash = Pdb.find_last_of ("/\\");
  std::string Name = Slash == std::string::npos ? Pdb : Pdb.substr (Slash + 1);
  size_t Dot = Name.rfind ('.');
  return Dot == std::string::npos ? Name : Name.substr (0, Dot);
}

}  // namespace

Edk2Dxe::Edk2Dxe (Board &Brd) : B (Brd) {
  // An entry point returns here (the board put this address in its x30 as
  // it was entered): record the status, resume at the real return address.
  mEntryReturnTrap = B.M.AddTrap ("<entry point returned>", [this] (CallArgs &) -> uint64_t {
    uint64_t Sp = B.M.Sp (), Status = B.M.X (0);
    for (size_t I = mRunning.size (); I-- > 0;) {
      if (mRunning[I].Sp != Sp) continue;
      Image &Done = mImages[mRunning[I].Image];
      Done.Returned = true;
      Done.Status = Status;
      B.M.SetX (30, mRunning[I].ReturnTo);
      mRunning.resize (I);   // any deeper entries left through Exit ()
      return Status;
    }
    B.M.RaiseFault (FaultKind::ServiceMisuse, "an entry point returned on a stack it was not entered on");
    return Status;
  });
  // A watched service returns here: the same, for the call's observer.
  mReturnTrap = B.M.AddTrap ("<watched service returned>", [this] (CallArgs &) -> uint64_t {
    uint64_t Sp = B.M.Sp (), Status = B.M.X (0);
    for (size_t I = mPending.size (); I-- > 0;) {
      if (mPending[I].Sp != Sp) continue;
      Pending Done = std::move (mPending[I]);
      mPending.resize (I);
      B.M.SetX (30, Done.ReturnTo);
      Done.Done (Status);
      return Status;
    }
    B.M.RaiseFault (FaultKind::ServiceMisuse, "a watched service returned on a stack it was not called on");
    return Status;
  });
  // The devices' logs name the EDK II image that drove them.
  B.Fw.ForeignCaller = [this] (uint64_t Address) {
    const Image *I = ImageAt (Address);
    return I == nullptr ? std::string () : I->Name;
  };
}

Edk2Dxe::~Edk2Dxe () {
  B.Fw.ForeignCaller = nullptr;
  if (mBooted) B.M.OnBlock = mOuterOnBlock;
}

std::string Edk2Dxe::CallerImage () const {
  const Image *I = ImageAt (B.M.X (30));
  return I == nullptr ? "?" : I->Name;
}

void Edk2Dxe::AtReturn (std::function<void (uint64_t Status)> Done) {
  mPending.push_back ({B.M.Sp (), B.M.X (30), std::move (Done)});
  B.M.SetX (30, mReturnTrap);
}

void Edk2Dxe::WatchServices () {
  // EFI_BOOT_SERVICES: InstallProtocolInterface at 128, Reinstall at 136,
  // InstallMultipleProtocolInterfaces at 328.
  constexpr uint64_t kBootServices = 96, kInstall = 128, kReinstall = 136, kInstallMultiple = 328;
  constexpr uint64_t kSetTimer = 88, kCreateEventEx = 368;
  uint64_t St = SystemTable ();
  if (St == 0) return;
  mWatching = true;
  uint64_t Bs = B.M.Load<uint64_t> (St + kBootServices);
  auto Record = [this] (const std::string &Caller, const Guid &Protocol, uint64_t Interface) {
    mInstalls.push_back ({Caller, Protocol, Interface});
    WatchProtocol (Protocol, Interface);
  };
  auto Single = [this, Record] () {
    // CoreInstallMultipleProtocolInterfaces installs each pair through the
    // same function: those calls are the outer call's, recorded there.
    std::string Caller = CallerImage ();
    if (mInMultiple != 0 && Caller == "DxeCore") return;
    Guid Protocol;
    B.M.Read (B.M.X (1), Protocol.Bytes.data (), 16);
    uint64_t Interface = B.M.X (3);
    AtReturn ([Record, Caller, Protocol, Interface] (uint64_t Status) {
      if (!efi::IsError (Status)) Record (Caller, Protocol, Interface);
    });
  };
  // The callbacks an image registers: a ReadyToBoot event group, a
  // periodic timer (SetTimer's TimerPeriodic).
  auto Callback = [this] (const std::string &What) {
    std::pair<std::string, std::string> Entry{CallerImage (), What};
    if (std::find (mCallbacks.begin (), mCallbacks.end (), Entry) == mCallbacks.end ()) mCallbacks.push_back (Entry);
  };
  mHooks[B.M.Load<uint64_t> (Bs + kCreateEventEx)] = [this, Callback] () {
    if (B.M.X (4) == 0) return;
    Guid Group;
    B.M.Read (B.M.X (4), Group.Bytes.data (), 16);
    if (names::NameOf (Group) == "gEfiEventReadyToBootGuid") Callback ("ReadyToBoot callback");
  };
  mHooks[B.M.Load<uint64_t> (Bs + kSetTimer)] = [this, Callback] () {
    if (B.M.X (1) == 1) Callback ("periodic timer");
  };
  mHooks[B.M.Load<uint64_t> (Bs + kInstall)] = Single;
  mHooks[B.M.Load<uint64_t> (Bs + kReinstall)] = Single;
  mHooks[B.M.Load<uint64_t> (Bs + kInstallMultiple)] = [this, Record] () {
    // The handle, then protocol/interface pairs up to a NULL protocol, as
    // a variadic call passes them: x1-x7, then the stack.
    auto Arg = [this] (unsigned I) { return I < 8 ? B.M.X (I) : B.M.Load<uint64_t> (B.M.Sp () + 8 * (I - 8)); };
    std::vector<std::pair<Guid, uint64_t>> Pairs;
    for (unsigned I = 1; I < 64 && Arg (I) != 0; I += 2) {
      Guid G;
      B.M.Read (Arg (I), G.Bytes.data (), 16);
      Pairs.push_back ({G, Arg (I + 1)});
    }
    std::string Caller = CallerImage ();
    mInMultiple++;
    AtReturn ([this, Record, Caller, Pairs] (uint64_t Status) {
      mInMultiple--;
      if (efi::IsError (Status)) return;
      for (const auto &[G, Interface] : Pairs) Record (Caller, G, Interface);
    });
  };
}

void Edk2Dxe::WatchProtocol (const Guid &Protocol, uint64_t Interface) {
  std::string Name = names::NameOf (Protocol);
  bool Marker = Name == "gEfiResetArchProtocolGuid" || Name == "gEfiVariableWriteArchProtocolGuid";
  if (Interface == 0 && !Marker) return;
  // A Set function: (Token, Value) for the Dynamic ones, whose token is the
  // platform build's local number, named from its AutoGen.h files; (Guid,
  // Token, Value) for DynamicEx. A Ptr setter's (&Size, Buffer) is logged
  // by its size; every other value as the PCD driver stores it.
  auto SetHook = [this] (bool Ex, PcdType Type) {
    return [this, Ex, Type] () {
      std::optional<Guid> Space;
      if (Ex) {
        Guid G;
        B.M.Read (B.M.X (0), G.Bytes.data (), 16);
        Space = G;
      }
      uint64_t Token = B.M.X (Ex ? 1 : 0), Argument = B.M.X (Ex ? 2 : 1);
      uint64_t Value = Type != PcdType::Ptr ? PcdDatabase::Truncate (Type, Argument)
                       : Argument != 0      ? B.M.Load<uint64_t> (Argument)
                                            : 0;
      std::string Caller = CallerImage ();
      std::string PcdName = Ex ? B.Fw.Pcds.Name (Space, Token)
                               : mLocalTokens.LocalName (Token).value_or ("token " + std::to_string (Token));
      AtReturn ([this, Space, Token, Value, Caller, PcdName] (uint64_t Status) {
        if (!efi::IsError (Status)) mPcdSets.push_back ({Space, Token, Value, Caller, PcdName});
      });
    };
  };
  if (Name == "gPcdProtocolGuid" || Name == "gEfiPcdProtocolGuid") {
    // PCD_PROTOCOL's Dynamic Set functions at slots 15-20 and its DynamicEx
    // ones at 21-26; EFI_PCD_PROTOCOL's (DynamicEx only) at 8-13. PcdDxe
    // serves both protocols with the same functions.
    bool Edk = Name == "gPcdProtocolGuid";
    for (unsigned K = 0; K < 6; K++) {
      PcdType Type = PcdDatabase::kProtocolOrder[K];
      if (Edk) mHooks[B.M.Load<uint64_t> (Interface + 8 * (15 + K))] = SetHook (false, Type);
      mHooks[B.M.Load<uint64_t> (Interface + 8 * ((Edk ? 21 : 8) + K))] = SetHook (true, Type);
    }
    if (Edk) {
      // GetPtr (Token) at slot 5: the buffer a driver may fill in place.
      mHooks[B.M.Load<uint64_t> (Interface + 8 * 5)] = [this] () {
        std::optional<std::string> Named = mLocalTokens.LocalName (B.M.X (0));
        if (!Named) return;
        std::string PcdName = *Named, Caller = CallerImage ();
        AtReturn ([this, PcdName, Caller] (uint64_t Buffer) {
          if (Buffer != 0) mPointers[PcdName] = {Caller, Buffer};
        });
      };
    }
  } else if (Name == "gEfiResetArchProtocolGuid" || Name == "gEfiVariableWriteArchProtocolGuid") {
    // The driver has put its service in the runtime-services table before
    // installing the architectural protocol: ResetSystem at 104,
    // SetVariable (Name, Vendor, Attributes, DataSize, Data) at 88.
    constexpr uint64_t kRuntimeServices = 88, kSetVariable = 88, kResetSystem = 104;
    uint64_t Rt = B.M.Load<uint64_t> (SystemTable () + kRuntimeServices);
    if (Name == "gEfiResetArchProtocolGuid") {
      mHooks[B.M.Load<uint64_t> (Rt + kResetSystem)] = [this] () {
        static const char *const kTypes[] = {"EfiResetCold", "EfiResetWarm", "EfiResetShutdown", "EfiResetPlatformSpecific"};
        uint64_t Type = B.M.X (0);
        if (mResetBy.empty ()) mResetBy = std::string ("ResetSystem (") + (Type < 4 ? kTypes[Type] : "?") + ") from " + CallerImage ();
      };
    } else {
      mHooks[B.M.Load<uint64_t> (Rt + kSetVariable)] = [this] () {
        VariableWrite W{CallerImage (), B.M.ReadUcs2 (B.M.X (0), 512), efi::DeletesVariable (B.M.X (2), B.M.X (3))};
        AtReturn ([this, W] (uint64_t Status) {
          if (!efi::IsError (Status)) mVariableWrites.push_back (W);
        });
      };
    }
  } else if (Name == "gEfiSmbiosProtocolGuid") {
    // EFI_SMBIOS_PROTOCOL.Add (This, ProducerHandle, &SmbiosHandle, Record).
    mHooks[B.M.Load<uint64_t> (Interface)] = [this] () {
      uint64_t HandleAt = B.M.X (2);
      std::string Caller = CallerImage ();
      AtReturn ([this, HandleAt, Caller] (uint64_t Status) {
        if (!efi::IsError (Status)) mSmbiosAdds.push_back ({Caller, B.M.Load<uint16_t> (HandleAt), ""});
      });
    };
  } else if (Name == "gEfiAcpiTableProtocolGuid") {
    // EFI_ACPI_TABLE_PROTOCOL.InstallAcpiTable (This, Buffer, Size, &Key).
    mHooks[B.M.Load<uint64_t> (Interface)] = [this] () {
      std::string Signature = B.M.ReadAscii (B.M.X (1), 4).substr (0, 4);
      std::string Caller = CallerImage ();
      AtReturn ([this, Signature, Caller] (uint64_t Status) {
        if (!efi::IsError (Status)) mAcpiInstalls.push_back ({Caller, 0, Signature});
      });
    };
  }
}

std::optional<uint64_t> Edk2Dxe::PcdValue (const std::string &Name) const {
  if (auto It = mPcds.find (Name); It != mPcds.end ()) return It->second;
  for (auto S = mPcdSets.rbegin (); S != mPcdSets.rend (); ++S) {
    if (S->Name == Name) return S->Value;
  }
  return std::nullopt;
}

const Edk2Dxe::Image *Edk2Dxe::FindImage (const std::string &Name) const {
  for (const Image &I : mImages) {
    if (I.Name == Name) return &I;
  }
  return nullptr;
}

const Edk2Dxe::Image *Edk2Dxe::ImageAt (uint64_t Address) const {
  for (auto I = mImages.rbegin (); I != mImages.rend (); ++I) {
    if (!I->Unloaded && Address >= I->Base && Address - I->Base < I->Size) return &*I;
  }
  return nullptr;
}

void Edk2Dxe::WatchEntry (uint64_t Address) {
  auto It = mEntries.find (Address);
  size_t Index = It->second;
  mEntries.erase (It);
  mImages[Index].Started = true;
  mRunning.push_back ({Index, B.M.X (30), B.M.Sp ()});
  B.M.SetX (30, mEntryReturnTrap);
  if (!mWatching) WatchServices ();
}

std::vector<uint8_t> Edk2Dxe::BoardServicesHob () const {
  // The handles of the board's devices that the platform reaches through
  // protocols: each such handle with every protocol on it, in order.
  static const std::vector<std::string> kDevices = {
      "gFlashAccessProtocolGuid", "gIpmiTransportProtocolGuid", "gEfiLoadFileProtocolGuid",
      "gEfiSimpleTextOutProtocolGuid", "gEfiSimpleTextInProtocolGuid", "gEfiDebugMaskProtocolGuid"};
  std::vector<uint8_t> Entries;
  uint32_t Count = 0, Group = 0;
  for (uint64_t Handle : B.Fw.Protocols.AllHandles ()) {
    std::vector<Guid> On = B.Fw.Protocols.ProtocolsOn (Handle);
    bool Device = std::any_of (On.begin (), On.end (), [] (const Guid &G) {
      return std::find (kDevices.begin (), kDevices.end (), names::NameOf (G)) != kDevices.end ();
    });
    if (!Device) continue;
    for (const Guid &G : On) {
      AppendLe<uint32_t> (Entries, Group);
      AppendLe<uint32_t> (Entries, 0);
      AppendGuid (Entries, G);
      AppendLe<uint64_t> (Entries, *B.Fw.Protocols.InterfaceOn (Handle, G));
      Count++;
    }
    Group++;
  }
  std::vector<uint8_t> Data;
  AppendLe<uint32_t> (Data, Count);
  AppendLe<uint32_t> (Data, 0);
  Data.insert (Data.end (), Entries.begin (), Entries.end ());
  return Data;
}

std::vector<uint8_t> Edk2Dxe::BuildHobList (uint64_t At, uint64_t CoreBase, uint64_t CoreSize, uint64_t CoreEntry,
                                            const Guid &CoreName, uint64_t FvBase, uint64_t FvSize, uint64_t FreeTop,
                                            uint64_t &FreeBottom) {
  std::vector<uint8_t> Hobs;
  std::vector<uint8_t> Handoff;
  AppendLe<uint32_t> (Handoff, 9);            // version
  AppendLe<uint32_t> (Handoff, 0);            // BOOT_WITH_FULL_CONFIGURATION
  AppendLe<uint64_t> (Handoff, kMemoryBase + kMemorySize);   // EfiMemoryTop
  AppendLe<uint64_t> (Handoff, kMemoryBase);                 // EfiMemoryBottom
  AppendLe<uint64_t> (Handoff, FreeTop);                     // EfiFreeMemoryTop
  AppendLe<uint64_t> (Handoff, 0);                           // EfiFreeMemoryBottom, set below
  AppendLe<uint64_t> (Handoff, 0);                           // EfiEndOfHobList, set below
  AddHob (Hobs, kHobHandoff, Handoff);

  std::vector<uint8_t> Cpu = {48, 0, 0, 0, 0, 0, 0, 0};   // memory space bits, I/O space bits
  AddHob (Hobs, kHobCpu, Cpu);
  AddHob (Hobs, kHobResource, Resource (kResourceSystemMemory, kTestedMemory, kMemoryBase, kMemorySize));
  AddHob (Hobs, kHobResource,
          Resource (kResourceSystemMemory, kTestedMemory, Machine::kStackBase, Machine::kStackSize));
  AddHob (Hobs, kHobMemoryAllocation, MemoryAllocation (names::Named ("gEfiHobMemoryAllocStackGuid"),
                                                        Machine::kStackBase, Machine::kStackSize, kBootServicesData));
  std::vector<uint8_t> Module = MemoryAllocation (names::Named ("gEfiHobMemoryAllocModuleGuid"), CoreBase, CoreSize,
                                                  kBootServicesCode);
  AppendGuid (Module, CoreName);
  AppendLe<uint64_t> (Module, CoreEntry);
  AddHob (Hobs, kHobMemoryAllocation, Module);
  AddHob (Hobs, kHobMemoryAllocation, MemoryAllocation (Guid{}, FvBase, AlignUp (FvSize, kPage), kBootServicesData));
  AddHob (Hobs, kHobMemoryAllocation,
          MemoryAllocation (Guid{}, kVariableStore, kVariableStoreSize, kReservedMemory));
  // One firmware-volume HOB per volume: the first at FvBase, the others
  // where Boot placed them after it.
  std::vector<uint64_t> Starts = {0};
  Starts.insert (Starts.end (), mExtraVolumes.begin (), mExtraVolumes.end ());
  for (uint64_t Start : Starts) {
    std::vector<uint8_t> Fv;
    AppendLe<uint64_t> (Fv, FvBase + Start);
    AppendLe<uint64_t> (Fv, B.M.Load<uint64_t> (FvBase + Start + 32));   // the volume header's FvLength
    AddHob (Hobs, kHobFv, Fv);
  }

  std::vector<uint8_t> Services = BoardServicesHob ();
  std::vector<uint8_t> Named;
  AppendGuid (Named, names::Named ("gArmServerBoardServicesHobGuid"));
  Named.insert (Named.end (), Services.begin (), Services.end ());
  AddHob (Hobs, kHobGuid, Named);
  // The platform's own ACPI tables (those the board's own core installs as
  // the platform), for the platform's ACPI driver.
  std::vector<uint8_t> Acpi;
  AppendGuid (Acpi, names::Named ("gArmServerBoardAcpiTablesHobGuid"));
  for (const AcpiTable &T : B.Acpi.Tables ()) {
    if (T.Installer != "platform") continue;
    std::vector<uint8_t> Bytes = B.M.ReadBytes (T.Address, T.Size);
    Acpi.insert (Acpi.end (), Bytes.begin (), Bytes.end ());
  }
  AddHob (Hobs, kHobGuid, Acpi);
  // What the earlier phase found of the flash layout (and anything else it
  // hands over by GUID), as the board's own core gets it.
  for (const Hob &H : B.Hobs.Hobs ()) {
    if (H.Type == kHobGuid) AddHob (Hobs, kHobGuid, H.Body);
  }
  uint64_t EndOfList = At + Hobs.size ();
  AddHob (Hobs, kHobEnd, {});
  FreeBottom = AlignUp (At + Hobs.size (), kPage);
  std::memcpy (Hobs.data () + 8 + 32, &FreeBottom, 8);
  std::memcpy (Hobs.data () + 8 + 40, &EndOfList, 8);
  return Hobs;
}

void Edk2Dxe::WriteVariableStore () {
  std::vector<uint8_t> Store;
  AppendGuid (Store, names::Named ("gEfiAuthenticatedVariableGuid"));
  AppendLe<uint32_t> (Store, static_cast<uint32_t> (kVariableStoreSize));
  Store.push_back (0x5A);   // formatted
  Store.push_back (0xFE);   // healthy
  AppendLe<uint16_t> (Store, 0);
  AppendLe<uint32_t> (Store, 0);
  for (const VariableRecord &V : B.Fw.Variables ()) {
    if ((V.Attributes & kNonVolatile) == 0) continue;
    Align (Store, 4, 0xFF);
    uint32_t NameSize = static_cast<uint32_t> ((V.Name.size () + 1) * 2);
    AppendLe<uint16_t> (Store, kVariableStartId);
    Store.push_back (kVariableAdded);
    Store.push_back (0);
    AppendLe<uint32_t> (Store, V.Attributes);
    AppendLe<uint64_t> (Store, 0);                       // monotonic count
    Store.insert (Store.end (), 16, 0);             // time stamp
    AppendLe<uint32_t> (Store, 0);                       // public key index
    AppendLe<uint32_t> (Store, NameSize);
    AppendLe<uint32_t> (Store, static_cast<uint32_t> (V.Data.size ()));
    AppendGuid (Store, V.Vendor);
    for (char16_t C : V.Name) AppendLe<uint16_t> (Store, static_cast<uint16_t> (C));
    AppendLe<uint16_t> (Store, 0);
    Store.insert (Store.end (), V.Data.begin (), V.Data.end ());
  }
  if (Store.size () > kVariableStoreSize) throw std::runtime_error ("the board's variables do not fit its store");
  Store.resize (kVariableStoreSize, 0xFF);
  B.M.Write (kVariableStore, Store.data (), Store.size ());
}

std::vector<VariableRecord> Edk2Dxe::Variables () const {
  std::vector<uint8_t> Store = B.M.ReadBytes (kVariableStore, kVariableStoreSize);
  std::vector<VariableRecord> Out;
  size_t At = kStoreHeaderSize;
  while (At + kAuthVariableHeaderSize <= Store.size ()) {
    uint16_t StartId;
    std::memcpy (&StartId, &Store[At], 2);
    if (StartId != kVariableStartId) break;
    uint8_t State = Store[At + 2];
    uint32_t Attributes, NameSize, DataSize;
    std::memcpy (&Attributes, &Store[At + 4], 4);
    std::memcpy (&NameSize, &Store[At + 36], 4);
    std::memcpy (&DataSize, &Store[At + 40], 4);
    size_t Name = At + kAuthVariableHeaderSize;
    size_t Data = Name + NameSize;
    if (NameSize > Store.size () || DataSize > Store.size () || Data + DataSize > Store.size ()) break;
    if (State == kVariableAdded) {
      VariableRecord V;
      std::memcpy (V.Vendor.Bytes.data (), &Store[At + 44], 16);
      V.Attributes = Attributes;
      for (size_t I = 0; I + 1 < NameSize; I += 2) {
        char16_t C = static_cast<char16_t> (Store[Name + I] | (Store[Name + I + 1] << 8));
        if (C == 0) break;
        V.Name.push_back (C);
      }
      V.Data.assign (Store.begin () + Data, Store.begin () + Data + DataSize);
      Out.push_back (std::move (V));
    }
    At = AlignUp (Data + DataSize, 4);
  }
  return Out;
}

void Edk2Dxe::Boot (const std::vector<std::string> &VolumePaths) {
  if (VolumePaths.empty ()) throw std::runtime_error ("no firmware volume to boot");
  // The volumes as the board's flash holds them (files an update deleted
  // marked so, further volumes after the given ones).
  mVolumes.clear ();
  for (Board::FurtherVolume &V : B.VolumesToBoot (VolumePaths)) mVolumes.push_back ({std::move (V.Bytes), V.Origin});
  const std::vector<Volume> &Volumes = mVolumes;
  const std::string VolumePath = Volumes.front ().Origin;
  std::vector<uint8_t> Bytes = Volumes.front ().Bytes;
  for (const std::string &Name : B.Fw.Pcds.LocalNames ()) mLocalTokens.DefineLocal (Name, B.Fw.LocalPcd (Name)->Type, 0);
  // Further volumes follow the first in memory, each handed over in its
  // own firmware-volume HOB.
  for (size_t I = 1; I < Volumes.size (); I++) {
    const std::vector<uint8_t> &More = Volumes[I].Bytes;
    Bytes.resize ((Bytes.size () + 0xF) & ~0xFULL, 0xFF);
    mExtraVolumes.push_back (Bytes.size ());
    Bytes.insert (Bytes.end (), More.begin (), More.end ());
  }
  size_t FirstSize = mExtraVolumes.empty () ? Bytes.size () : mExtraVolumes.front ();
  FirmwareVolume Volume (std::vector<uint8_t> (Bytes.begin (), Bytes.begin () + FirstSize), VolumePath);
  const FfsFile *CoreFile = nullptr;
  for (const FfsFile &F : Volume.Files ()) {
    if (F.Type == kFileTypeDxeCore) CoreFile = &F;
  }
  const FfsSection *Pe32 = CoreFile != nullptr ? CoreFile->FindSection (ffs::SectionPe32) : nullptr;
  if (Pe32 == nullptr) throw std::runtime_error (VolumePath + ": no DXE core in the volume");
  PeImage Core (Pe32->Data, "DxeCore", VolumePath);

  // PEI's memory: the hand-off list at the bottom; the variable store, the
  // DXE core's image and the volume at the top, allocated downwards.
  B.M.MapRam (kMemoryBase, kMemorySize);
  uint64_t CoreSize = AlignUp (Core.SizeOfImage (), kPage);
  uint64_t CoreBase = AlignDown (kVariableStore - CoreSize, kImageAlign);
  uint64_t FvBase = AlignDown (CoreBase - Bytes.size (), kImageAlign);
  Core.Load (B.M, CoreBase);
  B.M.Write (FvBase, Bytes.data (), Bytes.size ());
  WriteVariableStore ();
  uint64_t FreeBottom = 0;
  std::vector<uint8_t> Hobs = BuildHobList (kMemoryBase, CoreBase, CoreSize, CoreBase + Core.EntryRva (),
                                            CoreFile->Name, FvBase, Bytes.size (), FvBase, FreeBottom);
  B.M.Write (kMemoryBase, Hobs.data (), Hobs.size ());
  mImages.push_back ({"DxeCore", CoreBase, CoreSize, CoreBase + Core.EntryRva (), true, false, 0, false});

  B.M.EnableExceptions ();
  B.M.OnException = [this] (uint32_t Number) {
    if (Number == Machine::kExceptionSmc) return OnSmc ();
    if (Number == kExceptionSvc) {
      // BaseLib's CpuBreakpoint (SVC #0xdbdb), which a failed ASSERT calls
      // when the debug properties ask for a breakpoint.
      std::string Log = B.Uart0.Text ();
      size_t Assert = Log.rfind ("ASSERT");
      B.M.RaiseFault (FaultKind::Assertion, Assert == std::string::npos ? "breakpoint"
                                                                        : Log.substr (Assert, Log.find ('\n', Assert) - Assert));
      return true;
    }
    return false;
  };
  auto Coverage = B.M.OnBlock;
  mOuterOnBlock = Coverage;
  mBooted = true;
  B.M.OnBlock = [this, Coverage] (uint64_t Address) {
    if (Coverage) Coverage (Address);
    if (!mEntries.empty () && mEntries.count (Address) != 0) WatchEntry (Address);
    // A watched service's entry (once per call: an interrupt taken at its
    // first block enters that block again, with x30 already the trap).
    // The board's own reads at power-off are no driver's doing.
    if (mHostReading) return;
    if (auto H = mHooks.find (Address); H != mHooks.end () && B.M.X (30) != mReturnTrap) H->second ();
  };
  B.M.Call (CoreBase + Core.EntryRva (), {kMemoryBase});
  if (!B.M.Stopped ()) {
    B.M.RaiseFault (FaultKind::ServiceMisuse, "the DXE core returned to the board");
  }
  // The non-volatile RAM as the next power-on finds it.
  VariableStore Kept;
  for (const VariableRecord &V : Variables ()) Kept.Set (V.Name, V.Vendor, V.Attributes, V.Data);
  B.Fw.Vars = Kept;
}

bool Edk2Dxe::OnSmc () {
  using namespace hypercall;
  Machine &M = B.M;
  uint64_t Function = M.X (0), Now = B.Fw.NowNs ();
  uint64_t Result = efi::Success;
  switch (Function) {
    case kPsciSystemOff:
    case kPsciSystemReset: {
      // Name the firmware that asked: the first caller outside the reset
      // driver.
      std::string Caller = "?";
      const Image *Reset = ImageAt (M.Pc ());
      for (uint64_t Return : M.FrameChain (16)) {
        const Image *I = ImageAt (Return);
        if (I != nullptr && I != Reset) {
          Caller = I->Name;
          break;
        }
      }
      bool Off = Function == kPsciSystemOff;
      B.Fw.ResetCalls.push_back (Off ? 2 : 0);
      // Named as the board's own core names a reset, when the board saw
      // the runtime service called.
      std::string Why = !mResetBy.empty () ? mResetBy : std::string (Off ? "PSCI SYSTEM_OFF" : "PSCI SYSTEM_RESET") + " from " + Caller;
      // What the firmware held is read before the power goes.
      M.Defer ([this, Why] {
        ReadPcds ();
        B.M.Halt (Why);
      });
      return true;
    }
    case BOARD_SMC_TIMER_SET_PERIOD:
      mTimerPeriodNs = M.X (1) * 100;
      M.SetIrqDeadline (mTimerPeriodNs != 0 ? Now + mTimerPeriodNs : ~0ULL);
      break;
    case BOARD_SMC_TIMER_ACK:
      mTicks++;
      M.SetIrqDeadline (mTimerPeriodNs != 0 ? Now + mTimerPeriodNs : ~0ULL);
      break;
    case BOARD_SMC_IDLE:
      if (M.IrqDeadline () != ~0ULL && M.IrqDeadline () > Now) B.Fw.PassTime (M.IrqDeadline () - Now);
      break;
    case BOARD_SMC_RTC_GET_TIME: Result = B.Fw.RtcGetTime (M.X (1), 0); break;
    case BOARD_SMC_RTC_SET_TIME: Result = B.Fw.RtcSetTime (M.X (1)); break;
    case BOARD_SMC_RTC_GET_WAKEUP: Result = B.Fw.RtcGetWakeup (M.X (1), M.X (2), M.X (3)); break;
    case BOARD_SMC_RTC_SET_WAKEUP: Result = B.Fw.RtcSetWakeup ((M.X (1) & 0xFF) != 0, M.X (2)); break;
    case BOARD_SMC_IMAGE_LOADED: {
      // The DXE core reports itself too, already running.
      if (!mImages.empty () && mImages.front ().Base == M.X (1)) break;
      Image I;
      std::string Pdb = M.X (4) != 0 ? M.ReadAscii (M.X (4), 512) : "";
      I.Name = Pdb.empty () ? "?" : ImageName (Pdb);
      size_t Slash = Pdb.find_last_of ("/\\");
      if (Slash != std::string::npos) I.BuildDir = Pdb.substr (0, Slash);
      if (!I.BuildDir.empty ()) mLocalTokens.BindLocalTokens (I.BuildDir, I.Name);
      I.Base = M.X (1);
      I.Size = M.X (2);
      I.Entry = M.X (3);
      mEntries[I.Entry] = mImages.size ();
      mImages.push_back (I);
      break;
    }
    case BOARD_SMC_IMAGE_UNLOADED:
      for (auto I = mImages.rbegin (); I != mImages.rend (); ++I) {
        if (I->Base == M.X (1) && !I->Unloaded) {
          I->Unloaded = true;
          mEntries.erase (I->Entry);
          break;
        }
      }
      break;
    default:
      Result = kSmcNotSupported;
      break;
  }
  M.SetX (0, Result);
  return true;
}

void Edk2Dxe::ReadPcds () {
  struct Reading {
    bool &Flag;
    explicit Reading (bool &F) : Flag (F) { Flag = true; }
    ~Reading () { Flag = false; }
  } During (mHostReading);
  // EFI_PCD_PROTOCOL (by token space) and PCD_PROTOCOL (by local token
  // number) both begin SetSku, Get8, Get16, Get32, Get64, GetPtr, GetBool,
  // GetSize; LocateProtocol is at offset 320 of the boot services.
  constexpr uint64_t kBootServices = 96, kLocateProtocol = 320;
  constexpr unsigned kGet8 = 1, kGet16 = 2, kGet32 = 3, kGet64 = 4, kGetPtr = 5, kGetBool = 6, kGetSize = 7;
  struct Read {
    const char *Name;
    const char *Space;
    uint64_t Token;
    unsigned Slot;
  };
  static const Read kPcds[] = {
      {"PcdSerialPortBaseAddress", "gPlatformTokenSpaceGuid", platform::kPcdSerialPortBaseAddress, kGet64},
      {"PcdCpuTemperature", "gThermalTokenSpaceGuid", platform::kPcdCpuTemperature, kGet32},
      {"PcdRecoveryParameter", "gRecoveryParamTokenSpaceGuid", platform::kPcdRecoveryParameter, kGet64},
  };
  uint64_t St = SystemTable ();
  if (St == 0) return;
  uint64_t Bs = B.M.Load<uint64_t> (St + kBootServices);
  uint64_t Scratch = B.Scratch (32);
  auto Locate = [&] (const Guid &Id) {
    B.M.Write (Scratch, Id.Bytes.data (), 16);
    uint64_t Status = B.M.Call (B.M.Load<uint64_t> (Bs + kLocateProtocol), {Scratch, 0, Scratch + 16});
    return Status == 0 ? B.M.Load<uint64_t> (Scratch + 16) : 0;
  };
  if (uint64_t Pi = Locate (names::Named ("gEfiPcdProtocolGuid"))) {
    for (const Read &R : kPcds) {
      Guid Space = names::Named (R.Space);
      B.M.Write (Scratch, Space.Bytes.data (), 16);
      uint64_t Value = B.M.Call (B.M.Load<uint64_t> (Pi + 8 * R.Slot), {Scratch, R.Token});
      mPcds[R.Name] = R.Slot == kGet32 ? (Value & 0xFFFFFFFF) : Value;
    }
  }
  // The platform build's dynamic PCDs have no token space to be found by:
  // each is numbered by the build, and the images that use one say its
  // number in their AutoGen.h. The board's own database knows them by name.
  PcdDatabase &Local = mLocalTokens;
  uint64_t Edk = Locate (names::Named ("gPcdProtocolGuid"));
  if (Edk == 0) return;
  auto Get = [&] (unsigned Slot, uint64_t Token) { return B.M.Call (B.M.Load<uint64_t> (Edk + 8 * Slot), {Token}); };
  for (const std::string &Name : Local.LocalNames ()) {
    std::optional<uint64_t> Token = Local.LocalToken (Name);
    if (!Token) continue;   // no image loaded uses it
    PcdType Type = Local.Local (Name)->Type;
    if (Type == PcdType::Ptr) {
      uint64_t Size = Get (kGetSize, *Token), At = Get (kGetPtr, *Token);
      mPcdBuffers[Name] = At != 0 && Size <= 0x10000 ? B.M.ReadBytes (At, Size) : std::vector<uint8_t>{};
      continue;
    }
    const unsigned Slot = Type == PcdType::U8 ? kGet8 : Type == PcdType::U16 ? kGet16 : Type == PcdType::U32 ? kGet32
                        : Type == PcdType::U64 ? kGet64 : kGetBool;
    mPcds[Name] = PcdDatabase::Truncate (Type, Get (Slot, *Token));
  }
}

uint64_t Edk2Dxe::SystemTable () const {
  for (uint64_t At = kMemoryBase + kMemorySize - kSystemTablePointerAlign; At >= kMemoryBase;
       At -= kSystemTablePointerAlign) {
    if (B.M.Load<uint64_t> (At) == kSystemTablePointerSignature) return B.M.Load<uint64_t> (At + 8);
  }
  return 0;
}

std::optional<uint64_t> Edk2Dxe::ConfigurationTable (const Guid &Id) const {
  uint64_t St = SystemTable ();
  if (St == 0) return std::nullopt;
  uint64_t Count = B.M.Load<uint64_t> (St + kConfigurationTableCount);
  uint64_t Table = B.M.Load<uint64_t> (St + kConfigurationTablePointer);
  for (uint64_t I = 0; I < Count && I < 256; I++) {
    Guid G;
    B.M.Read (Table + 24 * I, G.Bytes.data (), 16);
    if (G == Id) return B.M.Load<uint64_t> (Table + 24 * I + 16);
  }
  return std::nullopt;
}

std::vector<uint8_t> Edk2Dxe::SmbiosDump () const {
  std::optional<uint64_t> Entry = ConfigurationTable (names::Named ("gEfiSmbios3TableGuid"));
  if (!Entry) return {};
  std::vector<uint8_t> Out = B.M.ReadBytes (*Entry, 0x18);
  if (std::memcmp (Out.data (), "_SM3_", 5) != 0) return {};
  uint32_t Size;
  uint64_t Address;
  std::memcpy (&Size, &Out[12], 4);
  std::memcpy (&Address, &Out[16], 8);
  // The dump keeps the entry point at 0 and the table at 0x20.
  uint64_t Offset = 0x20;
  std::memcpy (&Out[16], &Offset, 8);
  Out[5] = 0;
  uint8_t Sum = 0;
  for (uint8_t Byte : Out) Sum += Byte;
  Out[5] = static_cast<uint8_t> (0 - Sum);
  Out.resize (Offset, 0);
  std::vector<uint8_t> Table = B.M.ReadBytes (Address, Size);
  Out.insert (Out.end (), Table.begin (), Table.end ());
  return Out;
}

uint64_t Edk2Dxe::XsdtAddress () const {
  std::optional<uint64_t> Rsdp = ConfigurationTable (names::Named ("gEfiAcpi20TableGuid"));
  return Rsdp ? B.M.Load<uint64_t> (*Rsdp + 24) : 0;
}

std::optional<std::vector<uint8_t>> Edk2Dxe::TableAt (uint64_t Address) const {
  // Bounded: a header a driver has corrupted must not make the board read
  // gigabytes.
  if (Address == 0) return std::nullopt;
  uint32_t Length = B.M.Load<uint32_t> (Address + 4);
  if (Length < 36 || Length > 0x100000) return std::nullopt;
  return B.M.ReadBytes (Address, Length);
}

std::vector<uint8_t> Edk2Dxe::Xsdt () const { return TableAt (XsdtAddress ()).value_or (std::vector<uint8_t>{}); }

std::vector<std::pair<std::string, std::vector<uint8_t>>> Edk2Dxe::AcpiTables () const {
  std::vector<std::pair<std::string, std::vector<uint8_t>>> Out;
  auto Take = [&] (uint64_t Address) {
    std::optional<std::vector<uint8_t>> Table = TableAt (Address);
    if (Table) Out.push_back ({std::string (Table->begin (), Table->begin () + 4), *Table});
    return Table;
  };
  std::vector<uint8_t> Xsdt = this->Xsdt ();
  for (size_t At = 36; At + 8 <= Xsdt.size (); At += 8) {
    uint64_t Address = 0;
    std::memcpy (&Address, &Xsdt[At], 8);
    std::optional<std::vector<uint8_t>> Table = Take (Address);
    if (!Table || Out.back ().first != "FACP") continue;
    // The FADT leads to the DSDT (X_DSDT, else DSDT) and the FACS.
    const std::vector<uint8_t> &Fadt = *Table;
    uint64_t Dsdt = 0, Facs = 0;
    if (Fadt.size () >= 148) std::memcpy (&Dsdt, &Fadt[140], 8);
    if (Dsdt == 0 && Fadt.size () >= 44) std::memcpy (&Dsdt, &Fadt[40], 4);
    if (Fadt.size () >= 140) std::memcpy (&Facs, &Fadt[132], 8);
    Take (Dsdt);
    Take (Facs);
  }
  return Out;
}

std::string Edk2Dxe::Where (const Fault &F) const {
  std::ostringstream Out;
  std::vector<uint64_t> Addresses = {F.Pc, F.Lr};
  Addresses.insert (Addresses.end (), F.Frames.begin (), F.Frames.end ());
  for (uint64_t A : Addresses) {
    const Image *I = ImageAt (A);
    Out << "  at 0x" << std::hex << A;
    if (I != nullptr) Out << " = " << I->Name << "+0x" << A - I->Base;
    Out << std::dec << "\n";
  }
  return Out.str ();
}

std::string Edk2Dxe::Report () const {
  std::ostringstream Out;
  for (const Image &I : mImages) {
    Out << "  " << I.Name;
    if (I.Name.size () < 28) Out << std::string (28 - I.Name.size (), ' ');
    if (!I.Started) {
      Out << "loaded, not started";
    } else if (!I.Returned) {
      Out << (I.Name == "DxeCore" ? "running" : "started, left through Exit () or still running");
    } else {
      Out << "entry returned " << efi::StatusName (I.Status);
    }
    if (I.Unloaded) Out << ", unloaded";
    Out << "\n";
  }
  Out << "  timer ticks taken: " << mTicks << " (period " << mTimerPeriodNs / 1000000 << " ms)\n";
  return Out.str ();
}

}  // namespace vboard
