#include "board/Platform.h"

#include <map>

namespace vboard::platform {

const Guid kPlatformTokenSpace = Guid::Parse ("0F9E8040-4507-4CE0-8B5D-F03BE6847C02");
const Guid kThermalTokenSpace = Guid::Parse ("25E4A6F3-3A7D-48AE-8C57-CB75FDE8F125");
const Guid kRecoveryParamTokenSpace = Guid::Parse ("8C3ABED4-1FC8-46D3-B417-A3223814DE76");
const Guid kWakeAlarmProtocol = Guid::Parse ("BFD35C46-28FF-49E0-BE6F-EE48CCA5985F");
const Guid kRecoveryFlashInfoProtocol = Guid::Parse ("24B57096-C11C-4039-947E-B9B39F4AFAF7");
const Guid kGpnvEventLogProtocol = Guid::Parse ("6A73DEEB-63C0-49C6-A5D4-94CFE0100FE3");
const Guid kFlashAccessProtocol = Guid::Parse ("00B4AF42-FBD0-11EA-803A-27EA5E65E3F6");
const Guid kEventLogTriggerProtocol = Guid::Parse ("DD0D9E46-DF98-43CB-B69C-3BC3794F7AD1");
const Guid kConsoleRedirectionPolicyProtocol = Guid::Parse ("9C0DE744-7DAE-40B7-82D4-2A4A1C05BACF");
const Guid kIpmiTransportProtocol = Guid::Parse ("A59BC280-6A9C-456B-85AA-7C49738B4383");

const SetupVariable *FindSetupVariable (const std::string &Name) {
  static const SetupVariable *const kAll[] = {&kSystemSetupConfig, &kIpmiSetupData, &kCrSetupData};
  for (const SetupVariable *V : kAll) {
    if (std::u16string (V->Name) == std::u16string (Name.begin (), Name.end ())) {
      return V;
    }
  }
  return nullptr;
}

std::string GuidName (const Guid &G) {
  static const std::map<Guid, std::string> kNames = {
      {kWakeAlarmProtocol, "gWakeAlarmProtocolGuid"},
      {kRecoveryFlashInfoProtocol, "gRecoveryFlashInfoProtocolGuid"},
      {kGpnvEventLogProtocol, "gGpnvEventLogProtocolGuid"},
      {kFlashAccessProtocol, "gFlashAccessProtocolGuid"},
      {kEventLogTriggerProtocol, "gEventLogTriggerProtocolGuid"},
      {kConsoleRedirectionPolicyProtocol, "gConsoleRedirectionPolicyProtocolGuid"},
      {kIpmiTransportProtocol, "gIpmiTransportProtocolGuid"},
      {kPlatformTokenSpace, "gPlatformTokenSpaceGuid"},
      {kThermalTokenSpace, "gThermalTokenSpaceGuid"},
      {kRecoveryParamTokenSpace, "gRecoveryParamTokenSpaceGuid"},
      {guids::LoadedImageProtocol, "gEfiLoadedImageProtocolGuid"},
      {guids::PcdProtocol, "gPcdProtocolGuid"},
      {guids::PiPcdProtocol, "gEfiPcdProtocolGuid"},
      {guids::DebugMaskProtocol, "gEfiDebugMaskProtocolGuid"},
  };
  auto It = kNames.find (G);
  return It == kNames.end () ? G.ToString () : It->second;
}

}  // namespace vboard::platform
