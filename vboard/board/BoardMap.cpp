#include "board/BoardMap.h"

#include "board/Board.h"
#include "board/ExtraAcpiData.h"
#include "board/FirmwareIdBlock.h"

namespace vboard::boardmap {

namespace {
constexpr const Device &Named (const char *Name) {
  for (const Device &D : kDevices) {
    std::string_view A (D.Name), B (Name);
    if (A == B) return D;
  }
  throw "no such device";
}
}  // namespace

// The models' addresses agree with the table.
static_assert (Named ("boot flash").Base == platform::kFlashBase && Named ("boot flash").Size == platform::kFlashSize);
static_assert (Named ("boot flash").Size == SpiNorFlash::kSize && BootFlash::kSize == SpiNorFlash::kSize);
static_assert (Named ("  protected volume 2").Base == platform::kRecoveryRegionBase &&
               Named ("  protected volume 2").Size == platform::kRecoveryRegionSize);
static_assert (Named ("  OSDM data").Base == kOsdmDataArea.Address && Named ("  OSDM data").Size == kOsdmDataArea.Size);
static_assert (Named ("  LPBT binary").Base == kLpbtBinaryArea.Address && Named ("  LPBT binary").Size == kLpbtBinaryArea.Size);
static_assert (Named ("  LPBT arguments").Base == kLpbtArgumentsArea.Address &&
               Named ("  LPBT arguments").Size == kLpbtArgumentsArea.Size);
static_assert (Named ("parameter block").Base == ParameterBlock::kAddress);
static_assert (Named ("NOR flash controller").Base == NorFlashController::kBase &&
               Named ("NOR flash controller").Size == NorFlashController::kWindow);
static_assert (Named ("UART0").Base == platform::kUart0 && Named ("UART1").Base == platform::kUart1);
static_assert (Named ("SoC register 0x2000A000").Base == PlatformRegisters::kReg2000A000 &&
               Named ("SoC register 0x2000A004").Base == PlatformRegisters::kReg2000A004 &&
               Named ("SoC register 0x380031D0").Base == PlatformRegisters::kReg380031D0);
static_assert (Named ("SCMI doorbell (socket 0)").Base == scmi::kDoorbellBase &&
               Named ("SCMI control (socket 0)").Base == scmi::kControlBase &&
               Named ("SCMI shared memory (socket 0)").Base == scmi::kSharedMemoryBase &&
               Named ("SCMI shared memory (socket 0)").Size == scmi::kSharedMemorySize);
static_assert (Named ("DXE images").Base == Firmware::kImageBase && Named ("boot-services memory").Base == Heap::kBase);

void ApplyFactoryState (Board &B) {
  using namespace platform;
  std::vector<uint8_t> System (kSystemSetupConfig.Size, 0);
  System[21] = 0;        // Type251Option: every option
  System[64] = 1;        // NetworkMode 1
  System[65] = 1;        // Mode1OptionA
  System[67] = 1;        // Mode1OptionB
  System[82] = 1;        // EraseEventLogWhenFull
  System[125] = 1;       // SrIovEnable
  System[128] = 2;       // PowerRestorePolicy: restore the previous state
  B.SetSetup (kSystemSetupConfig, System);
  std::vector<uint8_t> Ipmi (kIpmiSetupData.Size, 0);
  Ipmi[428] = 1;         // SelEnable
  Ipmi[429] = 0;         // EraseSel
  Ipmi[430] = 1;         // EraseSelWhenFull
  B.SetSetup (kIpmiSetupData, Ipmi);
  B.SetSetup (kCrSetupData, std::vector<uint8_t> (std::begin (kFactoryCrSetup), std::end (kFactoryCrSetup)));

  B.Boot.SetOption (1, LoadOption (kLoadOptionActive, u"UEFI PXEv4 (MAC:525400123456)", B.Nic.Pxe4Path ()));
  B.Boot.SetOption (2, LoadOption (kLoadOptionActive, u"UEFI PXEv6 (MAC:525400123456)", B.Nic.Pxe6Path ()));
  B.Boot.SetBootOrder ({1, 2});
  B.RunsBootManager = true;

  B.SetSockets (2);
  for (unsigned S = 0; S < 2; S++) B.Scp[S].TemperatureC = kFactoryTemperatureC[S];
  B.RunBeforeReadyToBootNs = kFactoryBdsNs;
}

}  // namespace vboard::boardmap
