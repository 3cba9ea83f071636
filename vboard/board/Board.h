// The default board: the CPU, the UEFI environment, the physical map with the
// boot flash and the UARTs, and the platform's PCDs. Tests and the vboard
// tool drive everything through this class.
#pragma once

#include "board/Bmc.h"
#include "board/NetworkDevice.h"
#include "board/BootFlash.h"
#include "board/NorFlashController.h"
#include "board/ParameterBlock.h"
#include "board/Pl011.h"
#include "board/Platform.h"
#include "board/PlatformRegisters.h"
#include "board/ScmiScp.h"
#include "cpu/Machine.h"
#include "uefi/AcpiTables.h"
#include "uefi/BootManager.h"
#include "uefi/Console.h"
#include "uefi/Firmware.h"
#include "uefi/HobList.h"
#include "uefi/Smbios.h"
#include "uefi/TextInput.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vboard {

class Board {
 public:
  Board ();

  Machine M;
  Firmware Fw;
  Pl011 Uart0{platform::kUart0};
  Pl011 Uart1{platform::kUart1};
  // The platform's ACPI table driver (both ACPI protocols and their tables).
  AcpiTables Acpi{Fw};
  // The BMC, and the IPMI transport protocol the platform produces for it
  // (installed from the start; a test may uninstall it).
  vboard::Bmc Bmc;
  IpmiTransport Ipmi{Fw, Bmc};
  // The boot-flash part (W25Q SPI NOR) and the NOR flash controller in front
  // of it; SPI transfers and the part's busy times pass in simulated time.
  SpiNorFlash NorFlash{M, [this] { return Fw.NowNs (); }, [this] (uint64_t Ns) { Fw.PassTime (Ns); }};
  NorFlashController NorController{NorFlash, [this] (uint64_t Ns) { Fw.PassTime (Ns); }};
  // The boot flash as NOR memory and the flash-access protocol over it, and
  // the SMBIOS protocol with the host's copy of the table (both installed
  // from the start; a test may uninstall them).
  BootFlash Flash{M, Fw, NorFlash};
  SmbiosService Smbios{Fw};
  // The HOB list the earlier boot phase hands over (board/FlashLayout.h
  // says what it holds at power-on); change it before starting images.
  HobList Hobs{Fw};
  // The CPU sockets: the parameter block the earlier firmware leaves at
  // 0xC8500, one system-control processor and SCMI channel per socket, the
  // SoC registers set at ReadyToBoot, and the consoles' text-input devices.
  ParameterBlock Params{M};
  ScpSet Scp{M};
  PlatformRegisters Registers{M};
  TextInputs ConIn{Fw};
  // The system console (ConOut's screen; ConIn is the first text-input
  // device), the boot manager (boot options, image services) and the
  // network interface with its PXE Load File children.
  TextConsole Console{Fw};
  BootManager Boot{Fw};
  NetworkDevice Nic{Fw, {0x52, 0x54, 0x00, 0x12, 0x34, 0x56}, 1};
  // Builds the board with this many sockets (channels and parameter block).
  void SetSockets (unsigned Count);
  // Simulated time the board runs between the last driver's start and
  // ReadyToBoot in DefaultBoot (timers fire meanwhile).
  uint64_t RunBeforeReadyToBootNs = 0;

  // Loads and starts one image; returns its entry point's status.
  uint64_t Run (const std::string &Path);
  ImageRecord &Load (const std::string &Path) { return Fw.LoadImage (Path); }
  uint64_t Start (ImageRecord &Image);

  // Platform set-up a test or the command line asks for.
  void InstallDebugMask (uint64_t Mask);
  // How many SPCR tables the platform's ACPI code installs (1 at start; the
  // first describes UART0, a second UART1). Tables drivers installed stay.
  void SetPlatformSpcrCount (unsigned Count);
  // Stores a setup variable (SystemSetupConfig, IpmiSetupData, CrSetupData)
  // with the given bytes, or zero-filled at its full size when Bytes is empty.
  void SetSetup (const platform::SetupVariable &V, std::vector<uint8_t> Bytes = {});
  void SetSetupByte (const platform::SetupVariable &V, size_t Offset, uint8_t Value);
  std::vector<uint8_t> Setup (const platform::SetupVariable &V);   // empty when absent
  void SignalReadyToBoot () { Fw.SignalEventGroup (guids::EventReadyToBoot); }

  // The default boot: start every image in order (stopping at a fault or a
  // reset), then what the platform does once all drivers are dispatched
  // (OnAllDriversStarted), then ReadyToBoot the given number of times.
  struct BootResult {
    std::string Image;
    uint64_t Status;
    bool Unloaded;
  };
  std::vector<BootResult> DefaultBoot (const std::vector<std::string> &Images, unsigned ReadyToBootSignals = 1);
  // The boot of a real board: the firmware volumes are handed to the DXE
  // dispatcher, which starts their drivers as their dependency expressions
  // allow; then the end-of-dispatch platform steps, a second dispatch pass,
  // RunBeforeReadyToBootNs of simulated time, ReadyToBoot, and (when
  // RunsBootManager) the boot manager's pass over the boot options. Results
  // list the drivers started, in order.
  std::vector<BootResult> BootVolumes (const std::vector<std::string> &Volumes, unsigned ReadyToBootSignals = 1);
  // What the board's flash holds beyond the volumes a boot is given, for
  // either DXE core's boot (BootVolumes here, Edk2Dxe::Boot): files of the
  // given volumes that an update has marked deleted, and further volumes
  // handed over after them (a deleted file's replacement lives there).
  struct FurtherVolume {
    std::vector<uint8_t> Bytes;
    std::string Origin;
  };
  std::vector<Guid> DeletedFiles;
  std::vector<FurtherVolume> FurtherVolumes;
  // The volumes a boot of Paths hands over, in order, with their origins:
  // each of Paths read, its DeletedFiles marked deleted, then the further
  // volumes.
  std::vector<FurtherVolume> VolumesToBoot (const std::vector<std::string> &Paths) const;
  // Whether BootVolumes ends with the boot manager's pass over the boot
  // options (the factory state sets it), and what that pass did.
  bool RunsBootManager = false;
  std::vector<BootManager::Attempt> BootAttempts;
  // Registers the named application from the dispatched volumes as
  // Boot0000 and puts it first in BootOrder, as the platform's boot manager
  // library does for its built-in applications; false when no volume holds
  // an application of that name.
  bool RegisterVolumeApplication (const std::string &UiName);
  // Installs the DXE architectural protocols (done at power-on).
  void InstallArchitecturalProtocols ();
  // Platform steps after the last driver has started (the event-log trigger
  // protocol, for instance); devices and services register them here.
  std::vector<std::function<void ()>> OnAllDriversStarted;
  // Installs the event-log trigger protocol (a marker without interface) on
  // a new handle, as the platform does once every driver has started (a
  // step of OnAllDriversStarted); returns its status.
  uint64_t InstallEventLogTrigger ();

  // Guest memory for test arguments (host-owned, never freed).
  uint64_t Scratch (uint64_t Size) { return Fw.HostAlloc (Size); }

  std::string UartText () const { return Uart0.Text () + Uart1.Text (); }
  // The report of the fault that stopped the board ("" when none).
  std::string FaultReport ();
  // The module and source line a fault happened at, as the report names them.
  std::string FaultModule ();
  std::string FaultLine ();

  // One entry per line: what each image installed and set.
  std::string PublishedSummary ();

 private:
  struct AssertionText {
    std::string Module, Line, Message;
  };
  // The assertion that stopped the board, parsed from the debug output.
  std::optional<AssertionText> FailedAssertion ();
  uint64_t FaultSite ();
};

}  // namespace vboard
