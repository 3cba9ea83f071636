// UEFI basics as the host sees them: GUIDs, status codes, TPLs.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace vboard {

struct Guid {
  std::array<uint8_t, 16> Bytes{};

  // Registry form "8BE4DF61-93CA-11D2-AA0D-00E098032B8C"; the first three
  // fields are stored little-endian as EFI_GUID does.
  static Guid Parse (const std::string &Text);
  std::string ToString () const;
  bool operator== (const Guid &O) const { return Bytes == O.Bytes; }
  bool operator!= (const Guid &O) const { return Bytes != O.Bytes; }
  bool operator< (const Guid &O) const { return Bytes < O.Bytes; }
};

// Appends Value's bytes (little-endian, as the guest stores it) or a GUID's
// sixteen bytes to Out: how the host builds HOBs and other guest structures.
template <typename T>
void AppendLe (std::vector<uint8_t> &Out, T Value) {
  for (size_t I = 0; I < sizeof (T); I++) Out.push_back (static_cast<uint8_t> (static_cast<uint64_t> (Value) >> (8 * I)));
}
inline void AppendGuid (std::vector<uint8_t> &Out, const Guid &G) { Out.insert (Out.end (), G.Bytes.begin (), G.Bytes.end ()); }

namespace efi {
constexpr uint64_t kErrorBit = 0x8000000000000000ULL;
constexpr uint64_t Success = 0;
constexpr uint64_t LoadError = kErrorBit | 1;
constexpr uint64_t InvalidParameter = kErrorBit | 2;
constexpr uint64_t Unsupported = kErrorBit | 3;
constexpr uint64_t BadBufferSize = kErrorBit | 4;
constexpr uint64_t BufferTooSmall = kErrorBit | 5;
constexpr uint64_t NotReady = kErrorBit | 6;
constexpr uint64_t DeviceError = kErrorBit | 7;
constexpr uint64_t WriteProtected = kErrorBit | 8;
constexpr uint64_t OutOfResources = kErrorBit | 9;
constexpr uint64_t VolumeCorrupted = kErrorBit | 10;
constexpr uint64_t VolumeFull = kErrorBit | 11;
constexpr uint64_t NoMedia = kErrorBit | 12;
constexpr uint64_t MediaChanged = kErrorBit | 13;
constexpr uint64_t NotFound = kErrorBit | 14;
constexpr uint64_t AccessDenied = kErrorBit | 15;
constexpr uint64_t NoResponse = kErrorBit | 16;
constexpr uint64_t NoMapping = kErrorBit | 17;
constexpr uint64_t Timeout = kErrorBit | 18;
constexpr uint64_t NotStarted = kErrorBit | 19;
constexpr uint64_t AlreadyStarted = kErrorBit | 20;
constexpr uint64_t Aborted = kErrorBit | 21;
constexpr uint64_t SecurityViolation = kErrorBit | 26;

inline bool IsError (uint64_t Status) { return (Status & kErrorBit) != 0; }
// The name EDK II's %r prints ("Success", "Not Found", ...).
std::string StatusName (uint64_t Status);

constexpr uint64_t TplApplication = 4;
constexpr uint64_t TplCallback = 8;
constexpr uint64_t TplNotify = 16;
constexpr uint64_t TplHighLevel = 31;

constexpr uint32_t EvtTimer = 0x80000000;
constexpr uint32_t EvtRuntime = 0x40000000;
constexpr uint32_t EvtNotifyWait = 0x00000100;
constexpr uint32_t EvtNotifySignal = 0x00000200;
constexpr uint32_t EvtSignalExitBootServices = 0x00000201;
constexpr uint32_t EvtSignalVirtualAddressChange = 0x60000202;

enum MemoryType : uint32_t {
  ReservedMemoryType = 0,
  LoaderCode,
  LoaderData,
  BootServicesCode,
  BootServicesData,
  RuntimeServicesCode,
  RuntimeServicesData,
  ConventionalMemory,
  MaxMemoryType = 15,
};

constexpr uint32_t VariableNonVolatile = 0x1;
constexpr uint32_t VariableBootServiceAccess = 0x2;
constexpr uint32_t VariableRuntimeAccess = 0x4;
// SetVariable deletes the variable when no data is given or the attributes
// grant neither boot-services nor runtime access.
inline bool DeletesVariable (uint64_t Attributes, uint64_t DataSize) {
  return DataSize == 0 || (Attributes & (VariableBootServiceAccess | VariableRuntimeAccess)) == 0;
}
}  // namespace efi

// Well-known GUIDs the board uses.
namespace guids {
extern const Guid DxeServicesTable;
extern const Guid HobList;
extern const Guid LoadedImageProtocol;
extern const Guid LoadedImageDevicePathProtocol;
extern const Guid PcdProtocol;          // EDK II PCD_PROTOCOL
extern const Guid PiPcdProtocol;        // PI EFI_PCD_PROTOCOL
extern const Guid DebugMaskProtocol;
extern const Guid EventReadyToBoot;
extern const Guid EventExitBootServices;
extern const Guid GlobalVariable;
}  // namespace guids

}  // namespace vboard
