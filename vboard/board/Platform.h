// What this board's platform firmware provides around the feature modules:
// the physical map, the setup variables' identities, the PCDs of the
// platform's PCD database, and names for the GUIDs that reports print.
#pragma once

#include "uefi/Types.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vboard::platform {

constexpr uint64_t kFlashBase = 0x0;
constexpr uint64_t kFlashSize = 0x1000000;        // 16 MiB, memory-mapped from 0
constexpr uint64_t kUart0 = 0x20000000;
constexpr uint64_t kUart1 = 0x20001000;

constexpr uint64_t kRecoveryRegionBase = 0x650000;
constexpr uint64_t kRecoveryRegionSize = 0x2C0000;
constexpr uint64_t kRecoverySecondBase = 0xA00000;

constexpr uint32_t kSetupAttributes = efi::VariableNonVolatile | efi::VariableBootServiceAccess | efi::VariableRuntimeAccess;

struct SetupVariable {
  const char16_t *Name;
  const char *Vendor;          // the vendor GUID's C name in the package's .dec
  uint64_t Size;
  Guid VendorGuid () const;
};
constexpr SetupVariable kSystemSetupConfig{u"SystemSetupConfig", "gSystemSetupConfigGuid", 184};
constexpr SetupVariable kIpmiSetupData{u"IpmiSetupData", "gIpmiSetupDataGuid", 432};
constexpr SetupVariable kCrSetupData{u"CrSetupData", "gCrSetupDataGuid", 9};
const SetupVariable *FindSetupVariable (const std::string &Name);

// Token spaces and tokens of the PCDs the modules use.
extern const Guid kPlatformTokenSpace;
extern const Guid kThermalTokenSpace;
extern const Guid kRecoveryParamTokenSpace;
constexpr uint64_t kPcdSerialPortBaseAddress = 2;
constexpr uint64_t kPcdCpuTemperature = 0x10041;
constexpr uint64_t kPcdRecoveryParameter = 0x40000032;
// The firmware-ID buffer (PcdFirmwareIdData) as the board's platform
// firmware declares it (ArmServerBoardPkg.dsc): a 16-byte initial value, a
// tag and filler, within a 256-byte maximum that Stampread grows it into.
extern const std::vector<uint8_t> kFirmwareIdPcdInitial;
constexpr uint64_t kFirmwareIdPcdMaxSize = 256;

// Protocols the modules produce or consume.
extern const Guid kWakeAlarmProtocol;
extern const Guid kRecoveryFlashInfoProtocol;
extern const Guid kGpnvEventLogProtocol;
extern const Guid kFlashAccessProtocol;
extern const Guid kEventLogTriggerProtocol;
extern const Guid kConsoleRedirectionPolicyProtocol;
extern const Guid kIpmiTransportProtocol;

std::string GuidName (const Guid &G);   // a known name, else the registry form

}  // namespace vboard::platform
