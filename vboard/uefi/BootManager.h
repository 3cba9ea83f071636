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
#include <optional>
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
Bytes Fv (const Guid &Volume);                                     // MEDIA_PIWG_FW_VOL
Bytes FvFile (const Guid &File);                                   // MEDIA_PIWG_FW_FILE
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
  uint64_t Boot (ImageRecord &Image);

  // The boot manager's pass over BootOrder after ReadyToBoot: every active
  // option is loaded (boot policy TRUE, parent the firmware) and started;
  // when one returns, the next is tried. Stops when the board stops.
  struct Attempt {
    uint16_t Number = 0;
    std::u16string Description;
    std::string Path;                   // the option's device path as text
    std::string Note;                   // why it was passed over
    uint64_t LoadStatus = 0;
    bool Started = false;
    std::string Image;
    uint64_t Status = 0;                // what the started image returned
  };
  std::vector<Attempt> BootFromOrder ();
  // The applications that were running when the board stopped (a boot
  // program powered it off, say), outermost first.
  std::vector<std::string> RunningImages () const;
  struct ParsedOption {
    uint32_t Attributes = 0;
    std::u16string Description;
    std::vector<uint8_t> FilePath;
  };
  // An EFI_LOAD_OPTION's fields; none when the record is malformed.
  static std::optional<ParsedOption> ParseLoadOption (const std::vector<uint8_t> &Raw);

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
  // LoadImage's work, for the guest's calls and the boot manager's own:
  // Parent is the parent image's handle (0: the firmware itself). Out is the
  // loaded image on success.
  uint64_t Load (bool BootPolicy, uint64_t Parent, const std::string &ParentName, uint64_t PathAddress,
                 uint64_t Source, uint64_t SourceSize, ImageRecord *&Out);
  // The path's file from a firmware volume on the board: false when no
  // volume's path is a prefix of Path; else Status says whether the file
  // (Image, its PE32 section) was found.
  bool ReadFromVolume (const std::vector<uint8_t> &Path, size_t &Used, uint64_t &Handle, uint64_t &Status,
                       std::vector<uint8_t> &Image);
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
  uint64_t ReadThroughLoadFile (uint64_t Handle, uint64_t Interface, uint64_t RemainingPath, bool BootPolicy,
                               std::vector<uint8_t> &Image);

  Firmware &mFw;
  struct Running {
    ImageRecord *Image;
    int Depth;                          // the Machine::Call level of its entry point
    uint64_t ExitDataSize = 0, ExitData = 0;
  };
  std::vector<Running> mRunning;
  std::vector<std::string> mStoppedInside;
};

}  // namespace vboard
