// EDK II's own DXE phase on the board. The board's platform firmware
// (vboard/platform/ArmServerBoardPkg, built with stock EDK II) is one
// firmware volume holding EDK II's DXE core and drivers, the board's
// CPU/Timer, device and boot-manager pieces, and ArmServerFeaturePkg's
// modules. The board hands it over as PEI's DXE IPL would: the DXE core is
// loaded from the volume and entered with a HOB list (hand-off, CPU,
// resources, the stack and the core's own image, the volume, and the flash
// layout the earlier phase found). From there everything that is firmware
// is EDK II's; what stands for hardware is the board's:
//   - the timer interrupt: the board raises the CPU's IRQ every period the
//     platform's timer driver asks for, in simulated time, and the CPU takes
//     it through VBAR_EL1 only while PSTATE.I is clear;
//   - the real-time clock, the idle wait (WFI) and reset/power-off (PSCI),
//     reached by SMC (platform/ArmServerBoardPkg/Include/BoardHypercall.h);
//   - the devices behind protocols (flash access, IPMI transport, network,
//     console), served by the same host models as under the board's own
//     core and installed through the real core's boot services by the
//     platform's BoardServicesDxe;
//   - the variable store, kept in the board's non-volatile RAM across power
//     cycles (EDK II's variable driver in its emulated-NV mode over a
//     reserved range), filled from the board's variables at power-on and
//     read back after the run.
#pragma once

#include "cpu/Machine.h"
#include "uefi/PcdDatabase.h"
#include "uefi/Types.h"
#include "uefi/VariableStore.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vboard {

class Board;

class Edk2Dxe {
 public:
  // The system memory the DXE phase owns, and the variable store inside it
  // (its address is the platform's PcdEmuVariableNvStoreReserved).
  static constexpr uint64_t kMemoryBase = 0x80000000;
  static constexpr uint64_t kMemorySize = 0x10000000;
  static constexpr uint64_t kVariableStore = 0x8FFC0000;
  static constexpr uint64_t kVariableStoreSize = 0x40000;

  explicit Edk2Dxe (Board &B);
  ~Edk2Dxe ();
  Edk2Dxe (const Edk2Dxe &) = delete;
  Edk2Dxe &operator= (const Edk2Dxe &) = delete;

  // Loads the DXE core from the platform volume (the first) and runs the DXE
  // phase, with every volume handed over in a firmware-volume HOB, until the
  // board powers off or resets, or faults. Throws std::runtime_error for a
  // first volume without a DXE core.
  void Boot (const std::vector<std::string> &VolumePaths);

  // Every image the DXE core loaded, in load order, as the platform's
  // PeCoffExtraActionLib reported it, with the status its entry point
  // returned (when it returned).
  struct Image {
    std::string Name;          // "Wattkeep", from the image's debug path
    uint64_t Base = 0, Size = 0, Entry = 0;
    bool Started = false;      // its entry point ran
    bool Returned = false;     // and returned (not through Exit ())
    uint64_t Status = 0;
    bool Unloaded = false;
    std::string BuildDir = {}; // where the build left it (its AutoGen.h), from the debug path
  };
  const std::vector<Image> &Images () const { return mImages; }
  // The volumes Boot handed over, in order, as the board's flash held them.
  struct Volume {
    std::vector<uint8_t> Bytes;
    std::string Origin;   // the file, or what put it on the board
  };
  const std::vector<Volume> &Volumes () const { return mVolumes; }
  const Image *FindImage (const std::string &Name) const;
  // The image whose code holds Address, or nullptr.
  const Image *ImageAt (uint64_t Address) const;

  // The system table, from the EFI_SYSTEM_TABLE_POINTER the core leaves on
  // a 4 MiB boundary for debuggers; 0 before the core has made it.
  uint64_t SystemTable () const;
  std::optional<uint64_t> ConfigurationTable (const Guid &Id) const;
  // The non-volatile variables in the board's store, in store order. Boot
  // also leaves them in the board's own store (B.Fw.Vars) when it ends, as
  // the non-volatile RAM the next power-on starts from.
  std::vector<VariableRecord> Variables () const;

  // What the drivers published, as the board saw the guest call the real
  // core's services: from the first driver's entry point on, each protocol
  // installed (InstallProtocolInterface, InstallMultipleProtocolInterfaces,
  // ReinstallProtocolInterface) that the core took, each PCD set through
  // PcdDxe's protocols (the DynamicEx Set functions), each SMBIOS record
  // added and each ACPI table installed, with the image that called: the
  // one whose code holds the return address. Only the calls' entry points
  // are watched, at the addresses the boot-services table and the
  // protocols hold.
  struct Install {
    std::string Image;
    Guid Protocol;
    uint64_t Interface = 0;
  };
  const std::vector<Install> &Installs () const { return mInstalls; }
  const std::vector<PcdSet> &PcdSets () const { return mPcdSets; }
  struct Added {
    std::string Image;
    uint16_t Handle = 0;           // the SMBIOS handle SmbiosDxe gave it
    std::string Signature;         // the ACPI table's signature
  };
  const std::vector<Added> &SmbiosAdds () const { return mSmbiosAdds; }
  const std::vector<Added> &AcpiInstalls () const { return mAcpiInstalls; }
  // Variables written through the runtime services' SetVariable (once the
  // variable driver has set it), and the ResetSystem call that ended the
  // run (once the reset driver has set it).
  struct VariableWrite {
    std::string Image;
    std::u16string Name;
    bool Deleted = false;
  };
  const std::vector<VariableWrite> &VariableWrites () const { return mVariableWrites; }
  // The callbacks images registered: ("Heatwatch", "ReadyToBoot callback"),
  // ("Heatwatch", "periodic timer"), from CreateEventEx and SetTimer calls.
  const std::vector<std::pair<std::string, std::string>> &Callbacks () const { return mCallbacks; }
  // VOID* Dynamic PCDs whose buffer an image asked for (GetPtr), by name:
  // the last image that asked and the buffer PcdDxe handed it.
  const std::map<std::string, std::pair<std::string, uint64_t>> &PcdPointers () const { return mPointers; }
  // A package PCD's value as the run left it: as read at power-off, else
  // the last value the board saw set, else nothing.
  std::optional<uint64_t> PcdValue (const std::string &Name) const;
  // What the OS finds: the SMBIOS table as a dmidecode dump (the entry
  // point at offset 0, the table at 0x20), and the ACPI tables reachable
  // from the RSDP (XSDT entries, the FADT's DSDT and FACS), by signature.
  std::vector<uint8_t> SmbiosDump () const;
  std::vector<std::pair<std::string, std::vector<uint8_t>>> AcpiTables () const;
  // The XSDT the RSDP points at, whole; empty before there is one.
  std::vector<uint8_t> Xsdt () const;

  // The package's PCDs as EDK II's PCD driver held them when the board
  // powered off or reset, by name: the DynamicEx ones read through
  // EFI_PCD_PROTOCOL, the platform build's dynamic ones (the names the
  // board's own database defines) through PCD_PROTOCOL by the local token
  // number the build gave them. VOID* PCDs: their current bytes (GetSize
  // of them) in PcdBuffersAtPowerOff, not in PcdsAtPowerOff.
  const std::map<std::string, uint64_t> &PcdsAtPowerOff () const { return mPcds; }
  const std::map<std::string, std::vector<uint8_t>> &PcdBuffersAtPowerOff () const { return mPcdBuffers; }

  uint64_t TimerPeriodNs () const { return mTimerPeriodNs; }
  uint64_t Ticks () const { return mTicks; }
  // The fault's code addresses (PC, LR, the frame chain) as image+offset,
  // one line each, for addr2line on the image's .debug file.
  std::string Where (const Fault &F) const;
  // One line per image, then what the run ended with.
  std::string Report () const;

 private:
  bool OnSmc ();
  void WriteVariableStore ();
  std::vector<uint8_t> BuildHobList (uint64_t At, uint64_t CoreBase, uint64_t CoreSize, uint64_t CoreEntry,
                                     const Guid &CoreName, uint64_t FvBase, uint64_t FvSize, uint64_t FreeTop,
                                     uint64_t &FreeBottom);
  std::vector<uint8_t> BoardServicesHob () const;
  void WatchEntry (uint64_t Address);
  void ReadPcds ();
  uint64_t XsdtAddress () const;   // 0 before the RSDP is published
  // The ACPI table at Address, as long as its header says (36 bytes to 1 MiB); none otherwise.
  std::optional<std::vector<uint8_t>> TableAt (uint64_t Address) const;
  void WatchServices ();
  void WatchProtocol (const Guid &Protocol, uint64_t Interface);
  void AtReturn (std::function<void (uint64_t Status)> Done);
  std::string CallerImage () const;

  Board &B;
  std::vector<Image> mImages;
  std::map<uint64_t, size_t> mEntries;          // entry point -> image awaiting its start
  struct Running {
    size_t Image;
    uint64_t ReturnTo, Sp;
  };
  std::vector<Running> mRunning;                 // entry points that have not returned yet
  uint64_t mEntryReturnTrap = 0;
  std::vector<uint64_t> mExtraVolumes;          // offsets of the volumes after the first
  std::vector<Volume> mVolumes;
  uint64_t mTimerPeriodNs = 0;
  uint64_t mTicks = 0;
  std::map<std::string, uint64_t> mPcds;
  std::map<std::string, std::vector<uint8_t>> mPcdBuffers;
  // Code hooks at service entry points, and the calls awaiting their return.
  std::map<uint64_t, std::function<void ()>> mHooks;
  struct Pending {
    uint64_t Sp, ReturnTo;
    std::function<void (uint64_t Status)> Done;
  };
  std::vector<Pending> mPending;
  uint64_t mReturnTrap = 0;
  bool mWatching = false;
  bool mBooted = false;
  bool mHostReading = false;                     // the board calls the PCD protocols itself
  std::function<void (uint64_t)> mOuterOnBlock;   // the board's block hook before Boot wrapped it
  unsigned mInMultiple = 0;                      // InstallMultipleProtocolInterfaces calls under way
  std::vector<Install> mInstalls;
  std::vector<PcdSet> mPcdSets;
  std::vector<Added> mSmbiosAdds, mAcpiInstalls;
  std::vector<VariableWrite> mVariableWrites;
  // The platform build's dynamic PCDs the board knows by name, bound to the
  // local token numbers each loaded image's AutoGen.h gives them.
  std::vector<std::string> mTokenFindings;
  PcdDatabase mLocalTokens{[] (uint64_t) { return 0; }, mTokenFindings};
  std::map<std::string, std::pair<std::string, uint64_t>> mPointers;   // PCD name -> image, the buffer GetPtr gave it
  std::vector<std::pair<std::string, std::string>> mCallbacks;   // image, "ReadyToBoot callback" / "periodic timer"
  std::string mResetBy;                          // "ResetSystem (EfiResetShutdown) from Heatwatch"
};

}  // namespace vboard
