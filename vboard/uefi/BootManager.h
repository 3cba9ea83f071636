// The boot manager's side of the board: the BootOrder and Boot####
// variables (EFI_LOAD_OPTION records with their device paths), the image
// services a UEFI application uses to boot something else (LoadImage with a
// device path and the boot policy, StartImage, Exit, UnloadImage, as the
// UEFI specification lays them out), and starting an application as a boot
// manager does. Loading through a device path finds the handle whose device
// path is the longest prefix of the path and reads the image through its
// Load File protocol, which a network device (board/NetworkDevice) serves.
#pragma once

#include "uefi/Firmware.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vboard {

// Device-path nodes and paths as byte strings (UEFI "Device Path Protocol").
namespace devpath {
using Bytes = std::vector<uint8_t>;
Bytes Node (uint8_t Type, uint8_t SubType, const Bytes &Data);
Bytes PciRoot (uint32_t Uid);                                      // ACPI PNP0A03
Bytes Pci (uint8_t Device, uint8_t Function);
Bytes Mac (const std::array<uint8_t, 6> &Address, uint8_t IfType = 1);
Bytes Ipv4 ();                                                     // 0.0.0.0, DHCP, as PXE options carry it
Bytes Ipv6 ();
Bytes Uri (const std::string &Text);
Bytes HardDrive (uint32_t Partition);                              // a GPT partition, signature zero
Bytes File (const std::u16string &Path);
Bytes EndInstance ();
Bytes End ();
Bytes Join (const std::vector<Bytes> &Nodes);
// The path as the UEFI device-path text form names its nodes, for reports:
// "PciRoot(0x0)/Pci(0x1,0x0)/MAC(525400123456,0x1)/IPv4(...)".
std::string Text (const Bytes &Path);
}  // namespace devpath

// One EFI_LOAD_OPTION: Attributes, FilePathListLength, the description with
// its NUL, the file path list, optional data.
std::vector<uint8_t> LoadOption (uint32_t Attributes, const std::u16string &Description, const devpath::Bytes &FilePath,
                                 const std::vector<uint8_t> &OptionalData = {});
constexpr uint32_t kLoadOptionActive = 0x1;

class BootManager {
 public:
  explicit BootManager (Firmware &Fw);
  // Serves the image services of the boot-services table from now on.
  void Install ();

  // "Boot002A" for option 42.
  static std::u16string OptionName (uint16_t Number);
  void SetBootOrder (const std::vector<uint16_t> &Order);
  void SetBootOrderBytes (const std::vector<uint8_t> &Raw);        // any size, odd ones too
  void SetOption (uint16_t Number, const std::vector<uint8_t> &Option);

  // Starts an application from a file as the boot manager does (its parent
  // is the firmware); returns its status, the Exit () status when it left
  // through Exit (). Applications are unloaded afterwards.
  uint64_t Boot (const std::string &Path);

  struct LoadCall {
    bool BootPolicy = false;
    std::string Parent;                 // image name of ParentImageHandle
    std::vector<uint8_t> DevicePath;    // as passed, up to its end node
    uint64_t Status = 0;
    std::string Image;                  // the loaded image's name on success
  };
  struct StartCall {
    std::string Image;
    std::string Caller;
    uint64_t Status = 0;
    uint64_t ExitDataSize = 0;
    std::u16string ExitData;            // its leading string
  };
  std::vector<LoadCall> Loads;
  std::vector<StartCall> Starts;

 private:
  uint64_t LoadImage (CallArgs &A);
  uint64_t StartImage (CallArgs &A);
  uint64_t Exit (CallArgs &A);
  uint64_t UnloadImage (CallArgs &A);
  // Runs an image's entry point; Exit () returns here. ExitData is a pool
  // buffer (or 0) the caller now owns.
  uint64_t Run (ImageRecord &Image, uint64_t &ExitDataSize, uint64_t &ExitData);
  void Unload (ImageRecord &Image);
  ImageRecord *ImageByHandle (uint64_t Handle);
  // A device path in guest memory up to and with its end-of-entire node;
  // empty when it is not a well-formed path inside mapped memory.
  std::vector<uint8_t> ReadPath (uint64_t Address);
  // LocateDevicePath: the handle with Protocol whose device path is the
  // longest prefix of Path; Consumed is the length of that prefix.
  uint64_t LocateDevicePath (const Guid &Protocol, const std::vector<uint8_t> &Path, size_t &Consumed);
  uint64_t ReadThroughLoadFile (uint64_t Handle, uint64_t RemainingPath, bool BootPolicy, std::vector<uint8_t> &Image);

  Firmware &mFw;
  struct Running {
    ImageRecord *Image;
    int Depth;                          // the Machine::Call level of its entry point
    uint64_t ExitDataSize = 0, ExitData = 0;
  };
  std::vector<Running> mRunning;
};

}  // namespace vboard
