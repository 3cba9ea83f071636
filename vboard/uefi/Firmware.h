// The UEFI/PI environment the board's DXE images run in, served from the
// host and reached by the guest through trap addresses (see Machine). This
// class holds the system table with its boot, runtime and DXE services and
// the parts that serve them, each with its own concern: ProtocolDatabase,
// EventQueue (events, timers, TPL, simulated time), VariableStore,
// PcdDatabase (with the PCD protocols in Pcd.cpp), Dispatcher (firmware
// volumes), the image loader (Images.cpp) and the reports (Diagnostics.cpp).
// Its one-line forwards keep the board's and the tests' calls short.
#pragma once

#include "cpu/Machine.h"
#include "images/PeImage.h"
#include "uefi/Dispatcher.h"
#include "uefi/EventQueue.h"
#include "uefi/Heap.h"
#include "uefi/PcdDatabase.h"
#include "uefi/VariableStore.h"
#include "uefi/ProtocolDatabase.h"
#include "uefi/Types.h"

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vboard {

struct ImageRecord {
  std::string Name;            // base name, "Wattkeep"
  std::string Path;
  std::string DebugFile;
  uint64_t Base = 0;
  uint64_t Size = 0;
  uint64_t Handle = 0;
  uint64_t LoadedImage = 0;    // EFI_LOADED_IMAGE_PROTOCOL instance
  uint64_t LoadedImageDevicePath = 0;   // its whole device path, 0 for an image loaded from a buffer alone
  bool Started = false;
  bool Unloaded = false;
  uint64_t EntryStatus = 0;
  // What LoadImage returned for it: EFI_SECURITY_VIOLATION for an image
  // the security policy let load but not start (StartImage returns it).
  uint64_t LoadStatus = 0;
  std::unique_ptr<PeImage> Pe;
};


// One argument register of a service call, as it stood at the call.
struct ServiceArg {
  uint64_t Value = 0;          // the register (x0..x7)
  // When Value points to plain memory: its first 16 bytes at the call (a
  // size or attributes an IN OUT pointer carried in, a GUID, the start of a
  // string); empty otherwise.
  std::vector<uint8_t> Points;
  std::string Guid;            // C name of the declared GUID it points to, else ""
  std::u16string Text;         // the printable UCS-2 string it points to, else empty
  uint64_t PointedU64 () const;   // the first 8 bytes of Points (0 when absent)
  uint32_t PointedU32 () const;
};

struct ServiceCall {
  std::string Name;            // "BS.InstallProtocolInterface"
  std::string Caller;          // image name, or "" for host
  std::vector<ServiceArg> Args;   // x0..x7, whatever the service's own arity
  uint64_t Arg (size_t I) const { return I < Args.size () ? Args[I].Value : 0; }
  std::string GuidArg (size_t I) const { return I < Args.size () ? Args[I].Guid : ""; }
};





struct EfiTime {
  uint16_t Year = 2026;
  uint8_t Month = 1, Day = 1, Hour = 0, Minute = 0, Second = 0, Pad1 = 0;
  uint32_t Nanosecond = 0;
  int16_t TimeZone = 0;
  uint8_t Daylight = 0, Pad2 = 0;
};
static_assert (sizeof (EfiTime) == 16, "EFI_TIME is 16 bytes");

struct WakeupCall {
  bool Enable = false;
  bool HasTime = false;
  EfiTime Time;
};

struct LeakReport {
  Allocation Block;
  std::string Owner;           // image that allocated it
  std::string Where;           // allocation site
};

class Firmware {
 public:
  static constexpr uint64_t kHostBase = 0x0E000000;
  static constexpr uint64_t kHostSize = 0x00400000;
  static constexpr uint64_t kImageBase = 0x40000000;

  explicit Firmware (Machine &M);

  Machine &M;
  Heap Pool;
  Symbolizer Symbols;
  // The DXE dispatcher: firmware volumes, their FV2 protocols and the
  // dependency-driven start of their drivers.
  Dispatcher Dxe{*this};

  // --- host-owned guest memory (tables, host protocol instances, test data)
  uint64_t HostAlloc (uint64_t Size, uint64_t Align = 16);
  uint64_t HostCopy (const void *Data, uint64_t Size);
  uint64_t HostUcs2 (const std::u16string &Text);
  // A protocol served by the host: a structure of function-pointer slots
  // (each a trap) followed by ExtraBytes of data fields; returns its address.
  uint64_t MakeHostInterface (const std::string &Name, const std::vector<std::pair<std::string, TrapHandler>> &Slots,
                              uint64_t LeadingBytes = 0, uint64_t TrailingBytes = 0);
  void InstallConfigurationTable (const Guid &Id, uint64_t Table);

  // --- protocol database (guest installs go through InstallProtocol below,
  // which adds fault injection and the record of what each image published)
  ProtocolDatabase Protocols;
  uint64_t NewHandle () { return Protocols.NewHandle (); }
  // Handle 0: a new handle, stored back into Handle when the install succeeds.
  uint64_t InstallProtocol (uint64_t &Handle, const Guid &Protocol, uint64_t Interface);
  uint64_t UninstallProtocol (uint64_t Handle, const Guid &Protocol, uint64_t Interface) {
    return Protocols.Uninstall (Handle, Protocol, Interface);
  }
  std::optional<uint64_t> FindProtocol (const Guid &Protocol) const { return Protocols.Find (Protocol); }
  std::vector<uint64_t> HandlesWith (const Guid &Protocol) const { return Protocols.HandlesWith (Protocol); }
  std::optional<uint64_t> InterfaceOn (uint64_t Handle, const Guid &Protocol) const {
    return Protocols.InterfaceOn (Handle, Protocol);
  }
  std::vector<Guid> ProtocolsOn (uint64_t Handle) const { return Protocols.ProtocolsOn (Handle); }
  // Fault injection: installs of these protocols by guest code fail so.
  std::map<Guid, uint64_t> FailInstallProtocol;

  // --- events, timers, TPL and simulated time
  EventQueue Events;
  uint64_t NowNs () const { return Events.NowNs (); }
  void AdvanceTime (uint64_t Ns) { Events.AdvanceTime (Ns); }
  void PassTime (uint64_t Ns) { Events.PassTime (Ns); }
  void SignalEventGroup (const Guid &Group) { Events.SignalGroup (Group); }
  void SignalEvent (uint64_t Event) { Events.Signal (Event); }
  void DispatchPending () { Events.DispatchPending (); }
  const EventRecord *FindEvent (uint64_t Handle) const { return Events.Find (Handle); }
  std::vector<const EventRecord *> EventsInGroup (const Guid &Group) const { return Events.InGroup (Group); }
  uint64_t CurrentTpl () const { return Events.Tpl (); }

  // --- variables
  VariableStore Vars;
  VariableRecord *FindVariable (const std::u16string &Name, const Guid &Vendor) { return Vars.Find (Name, Vendor); }
  void SetVariable (const std::u16string &Name, const Guid &Vendor, uint32_t Attributes, std::vector<uint8_t> Data) {
    Vars.Set (Name, Vendor, Attributes, std::move (Data));
  }
  void DeleteVariable (const std::u16string &Name, const Guid &Vendor) { Vars.Delete (Name, Vendor); }
  const std::vector<VariableRecord> &Variables () const { return Vars.All (); }
  std::map<std::u16string, uint64_t> &FailGetVariable = Vars.FailGet;
  std::map<std::u16string, uint64_t> &FailSetVariable = Vars.FailSet;

  // --- PCD database (Space empty: a local token number of the platform build)
  PcdDatabase Pcds{[this] (uint64_t Size) { return HostAlloc (Size == 0 ? 1 : Size, 8); }, Findings};
  void DefinePcd (std::optional<Guid> Space, uint64_t Token, PcdType Type, uint64_t Value, uint64_t MaxSize = 0,
                  const std::string &Name = "", std::optional<uint64_t> CurSize = std::nullopt) {
    Pcds.Define (Space, Token, Type, Value, MaxSize, Name, CurSize);
  }
  PcdEntry *FindPcd (const std::optional<Guid> &Space, uint64_t Token) { return Pcds.Find (Space, Token); }
  uint64_t PcdValue (const std::optional<Guid> &Space, uint64_t Token) { return Pcds.Value (Space, Token); }
  void SetPcdValue (const std::optional<Guid> &Space, uint64_t Token, uint64_t Value) { Pcds.SetValue (Space, Token, Value); }
  const std::vector<PcdSet> &PcdSets () const { return Pcds.Sets (); }
  void DefineLocalPcd (const std::string &Name, PcdType Type, uint64_t Value, uint64_t MaxSize = 0,
                       std::optional<uint64_t> CurSize = std::nullopt) {
    Pcds.DefineLocal (Name, Type, Value, MaxSize, CurSize);
  }
  PcdEntry *LocalPcd (const std::string &Name) { return Pcds.Local (Name); }
  std::optional<uint64_t> LocalToken (const std::string &Name) const { return Pcds.LocalToken (Name); }
  std::string PcdName (const std::optional<Guid> &Space, uint64_t Token) const { return Pcds.Name (Space, Token); }

  // --- runtime: clock, wake alarm, reset
  EfiTime Rtc;                                   // the clock's time at NowNs () == 0
  EfiTime CurrentTime () const;
  // The clock's runtime services on guest buffers, as GetTime, SetTime,
  // GetWakeupTime and SetWakeupTime serve them; return an EFI_STATUS.
  uint64_t RtcGetTime (uint64_t Time, uint64_t Capabilities);
  uint64_t RtcSetTime (uint64_t Time);
  uint64_t RtcGetWakeup (uint64_t Enabled, uint64_t Pending, uint64_t Time);
  uint64_t RtcSetWakeup (bool Enable, uint64_t Time);
  std::vector<WakeupCall> WakeupCalls;
  uint64_t WakeupStatus = efi::Success;          // what SetWakeupTime returns when the call is valid
  bool WakeupEnabled = false;
  EfiTime WakeupTime;
  std::vector<uint32_t> ResetCalls;              // EFI_RESET_TYPE of each ResetSystem

  // --- images
  ImageRecord &LoadImage (const std::string &Path);
  // An image from a firmware volume: DeviceHandle is the volume's handle and
  // FilePath the file's device-path node, as the DXE core sets them in the
  // image's EFI_LOADED_IMAGE_PROTOCOL. FullPath is the device path it was
  // loaded from, which the DXE core publishes on the image's handle with
  // EFI_LOADED_IMAGE_DEVICE_PATH_PROTOCOL (a NULL interface when empty).
  ImageRecord &LoadImage (std::unique_ptr<PeImage> Pe, uint64_t DeviceHandle, uint64_t FilePath,
                          const std::vector<uint8_t> &FullPath = {});
  // What unloading an image takes off its handle.
  void UninstallImageProtocols (ImageRecord &Image);
  uint64_t StartImage (ImageRecord &Image);      // runs the entry point; unloads on error
  // The platform's image verification, answered as the Security2
  // architectural protocol's FileAuthentication answers the DXE core: from
  // the file's device path, its bytes and the boot policy. EFI_SUCCESS (or
  // no policy) loads the image; EFI_SECURITY_VIOLATION loads it with a
  // handle but it may not be started; any other error (EFI_ACCESS_DENIED,
  // ...) refuses it without a handle. Tests set it.
  std::function<uint64_t (const std::vector<uint8_t> &FilePath, const std::vector<uint8_t> &Image, bool BootPolicy)>
      ImageSecurity;
  uint64_t AuthenticateImage (const std::vector<uint8_t> &FilePath, const std::vector<uint8_t> &Image, bool BootPolicy) {
    return ImageSecurity ? ImageSecurity (FilePath, Image, BootPolicy) : efi::Success;
  }
  // The guest's image services (LoadImage, StartImage, Exit, UnloadImage),
  // served by the boot manager (uefi/BootManager) once it is installed.
  struct {
    TrapHandler LoadImage, StartImage, Exit, UnloadImage;
  } ImageServices;
  std::vector<std::unique_ptr<ImageRecord>> &Images () { return mImages; }
  ImageRecord *ImageAt (uint64_t Address);
  ImageRecord *ImageNamed (const std::string &Name);
  // Calls guest code at Function (for tests and host-driven flows).
  uint64_t CallGuest (uint64_t Function, const std::vector<uint64_t> &Args) { return M.Call (Function, Args); }

  // --- reports
  std::string Describe (uint64_t Address);       // "Wattkeep+0x2a4 SetWakeAlarm (Wattkeep.cpp:87)"
  std::string SourceLine (uint64_t Address);     // "Wattkeep.cpp:87", "" when unknown
  std::string CallerName (uint64_t Address);     // image name or "host"
  // Names code the board's own images do not hold: the images of another
  // DXE core the board runs (EDK II's), so that the devices' logs name the
  // driver that drove them under either core. Unset, or "" back: "host".
  std::function<std::string (uint64_t Address)> ForeignCaller;
  // The innermost place among a return address and the frames above it that
  // lies in a module's own sources (not a library), described; the return
  // address itself when there is none.
  std::string DescribeSite (uint64_t ReturnAddress, const std::vector<uint64_t> &Frames);
  std::string SiteLine (uint64_t Address, const std::vector<uint64_t> &Frames, bool AddressIsPc);
  std::vector<LeakReport> FindLeaks ();
  std::vector<ServiceCall> Calls;                // every service the guest called, in order, with its arguments
  struct Publication {
    std::string Image;
    Guid Protocol;
    uint64_t Interface;
  };
  std::vector<Publication> Published;            // protocols installed by guest code
  std::vector<std::string> Findings;             // misuse the board noticed without stopping
  // Devices and services that keep guest pointers outside guest memory (an
  // SMBIOS table copy, say) add them here so the leak check sees them.
  std::vector<std::function<void (std::vector<uint64_t> &)>> ExtraRoots;

  // Misuse that a real firmware would not survive: stops the machine.
  void Misuse (const std::string &What) { M.RaiseFault (FaultKind::ServiceMisuse, What); }

  uint64_t SystemTable = 0, BootServices = 0, RuntimeServices = 0, DxeServices = 0, HobList = 0;

 private:

  void BuildTables ();
  void AddBootServices ();
  void AddRuntimeServices ();
  void AddPcdProtocols ();
  uint64_t Trap (const std::string &Name, TrapHandler Handler);
  void Log (const std::string &Name, CallArgs &A);
  uint64_t DoGetVariable (CallArgs &A);
  uint64_t DoSetVariable (CallArgs &A);
  uint64_t PcdGet (const std::optional<Guid> &Space, uint64_t Token, PcdType Want, uint64_t Caller);
  uint64_t PcdSetValue (const std::optional<Guid> &Space, uint64_t Token, PcdType Want, uint64_t Value, uint64_t Caller,
                        uint64_t SpacePointer = 0);
  // Calls the PCD's set callbacks with the value about to be stored.
  void PcdCallbacks (const PcdEntry &E, uint64_t SpacePointer, uint64_t Token, uint64_t Data, uint64_t Size);
  std::optional<Guid> GuidAt (uint64_t Address);

  std::string mCaller;                           // image of the service call being served
  uint64_t mHostNext = kHostBase;
  uint64_t mImageNext = kImageBase;
  uint64_t mMonotonicCount = 0;
  uint64_t mConfigTable = 0;
  uint64_t mConfigCount = 0;
  std::vector<std::unique_ptr<ImageRecord>> mImages;
};

// Little helpers for building guest structures in tests and board code.
std::u16string Utf16 (const std::string &Ascii);
std::string Narrow (const std::u16string &Text);

}  // namespace vboard
