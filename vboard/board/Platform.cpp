#include "board/Platform.h"

#include "uefi/GuidNames.h"

namespace vboard::platform {

const Guid kPlatformTokenSpace = names::Named ("gPlatformTokenSpaceGuid");
const Guid kThermalTokenSpace = names::Named ("gThermalTokenSpaceGuid");
const Guid kRecoveryParamTokenSpace = names::Named ("gRecoveryParamTokenSpaceGuid");
const std::vector<uint8_t> kFirmwareIdPcdInitial = {0x41, 0x53, 0x42, 0x2D, 0x46, 0x57, 0x49, 0x44,   // "ASB-FWID"
                                                   0x01, 0x02, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5};
const Guid kWakeAlarmProtocol = names::Named ("gWakeAlarmProtocolGuid");
const Guid kRecoveryFlashInfoProtocol = names::Named ("gRecoveryFlashInfoProtocolGuid");
const Guid kGpnvEventLogProtocol = names::Named ("gGpnvEventLogProtocolGuid");
const Guid kFlashAccessProtocol = names::Named ("gFlashAccessProtocolGuid");
const Guid kEventLogTriggerProtocol = names::Named ("gEventLogTriggerProtocolGuid");
const Guid kConsoleRedirectionPolicyProtocol = names::Named ("gConsoleRedirectionPolicyProtocolGuid");
const Guid kIpmiTransportProtocol = names::Named ("gIpmiTransportProtocolGuid");

Guid SetupVariable::VendorGuid () const { return names::Named (Vendor); }

const SetupVariable *FindSetupVariable (const std::string &Name) {
  static const SetupVariable *const kAll[] = {&kSystemSetupConfig, &kIpmiSetupData, &kCrSetupData};
  for (const SetupVariable *V : kAll) {
    if (std::u16string (V->Name) == std::u16string (Name.begin (), Name.end ())) {
      return V;
    }
  }
  return nullptr;
}

std::string GuidName (const Guid &G) { return names::NameOf (G); }

}  // namespace vboard::platform
