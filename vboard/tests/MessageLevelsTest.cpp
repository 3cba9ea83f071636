// Every module's debug messages against the debug mask: each run is repeated
// under masks that hold exactly one level's bit and under masks that hold
// every bit but one, and each message must appear exactly when the mask
// shares a bit with its level. A message printed at the wrong level, or
// printed regardless of the mask, fails here even where the module's own
// tests only look at the default mask.
#include "tests/EventLogSupport.h"

#include <gtest/gtest.h>

#include <functional>

namespace vboard {
namespace {

using namespace platform;

constexpr uint32_t kError = 0x80000000, kWarn = 0x2, kInfo = 0x40;

struct Message {
  const char *Text;   // a part of the message that no other line of the run has
  uint32_t Level;
};

struct Row {
  const char *Module;
  const char *Run;                          // what the run does
  std::function<void (Board &)> Boot;       // sets the board up and runs the module
  std::vector<Message> Messages;
  const char *Pending = nullptr;            // why the row is not checked yet
};

// A full event-log area of type-10h records.
void FillEventLog (Board &B) { test::LayRecords (B, test::LengthsSummingTo (test::kGpnvSize)); }

void RunLatchvane (Board &B) { B.DefaultBoot ({test::ModuleImage ("Latchvane")}); }

const std::vector<Row> &Rows () {
  static const std::vector<Row> kRows = {
      {"Tallyvault", "start and one record",
       [] (Board &B) {
         test::EventLogClient Log (B);
         Log.Start ();
         Log.Write (0x0B);
       },
       {{"mGpnvSize 0x10000 \r\n", kError},
        {"CurrentLog->Type : 255, Length: 255 \r\n", kError},
        {"gpnv EventLogType: 11 \r\n", kError},
        {"gpnv NumBytes: 8 \r\n", kError}}},
      {"Tallyvault", "full area, no SystemSetupConfig",
       [] (Board &B) {
         FillEventLog (B);
         test::EventLogClient Log (B);
         Log.Start ();
         Log.Write (0x0B);
       },
       {{"Mesk: can't find SystemSetupConfig.\r\n", kError}, {"gpnv EFI_OUT_OF_RESOURCES \r\n", kError}}},
      {"Tallyvault", "full area, erased when full",
       [] (Board &B) {
         FillEventLog (B);
         B.SetSetupByte (kSystemSetupConfig, test::kEraseOptionOffset, 1);
         test::EventLogClient Log (B);
         Log.Start ();
         Log.Write (0x0B);
       },
       {{"FlashErase Result = Success.\r\n", kError}}},
      {"Tallyvault", "a record of length 0, then pool, flash write and erase failures",
       [] (Board &B) {
         test::EventLogClient Log (B);
         Log.Start ();
         B.Flash.Program (test::kGpnvBase, {0x10, 0});
         Log.Write (0x0B);
         B.Flash.EraseBlock (test::kGpnvBase);
         B.Fw.Pool.FailAfter (0);
         Log.Write (0x0B);
         B.Fw.Pool.FailAfter (-1);
         B.Flash.FailWrite = efi::DeviceError;
         Log.Write (0x0B);
         B.Flash.FailErase = efi::DeviceError;
         Log.Erase ();
       },
       {{"gpnv EFI_UNSUPPORTED \r\n", kError},
        {"Event Log allocate pool failed: Out of Resources\r\n", kError},
        {"Event Log flash bios error! Device Error\r\n", kError},
        {"Event log erase error, status: Device Error \r\n", kError}}},
      {"Ledgermark", "the area published",
       [] (Board &B) {
         test::EventLogClient (B).Start ();
         B.Run (test::ModuleImage ("Ledgermark"));
         B.Smbios.FailAdd = efi::OutOfResources;
         B.InstallEventLogTrigger ();
       },
       {{"SystemLogBaseAddr = ", kError | kInfo}, {"Add SMBIOS type15 failed .\r\n", kError | kInfo}}},
      {"Ledgermark", "no event-log protocol",
       [] (Board &B) {
         B.Run (test::ModuleImage ("Ledgermark"));
         B.InstallEventLogTrigger ();
       },
       {{"found event log protocol error. \r\n", kError}}},
      // The levels of Heatwatch's messages are the driver's own choice:
      // failures and the over-temperature path at the error level, the
      // ReadyToBoot trace at the information level.
      {"Heatwatch", "a silent socket, then over temperature, and ReadyToBoot",
       [] (Board &B) {
         test::EventLogClient (B).Start ();
         B.DefaultBoot ({test::ModuleImage ("Heatwatch")});
         B.Scp[1].Mode = SystemControlProcessor::Reply::Never;
         B.Fw.AdvanceTime (1000000000);
         B.Scp[1].Mode = SystemControlProcessor::Reply::Reading;
         B.Scp[0].TemperatureC = 90;
         B.Fw.AdvanceTime (1000000000);
       },
       {{"Scmi receive message failed! Status : Time out\r\n", kError},
        {"BIOS:  In scpi, line 204. \r\n", kError},
        {"found event log protocol in DetectTemprature. \r\n", kError},
        {"dravdebug: PatchOnReadyToForZyv(), Line:258\r\n", kInfo},
        {"dravdebug: PatchOnReadyToForZyv(), Line:272\r\n", kInfo}}},
      {"Heatwatch", "a parameter block larger than 256 bytes",
       [] (Board &B) {
         B.Params.Set (ParameterBlock::kSignature, 0x101, 2);
         B.Run (test::ModuleImage ("Heatwatch"));
         B.Fw.AdvanceTime (1000000000);
       },
       {{"DataSize is too small\r\n", kError}}},
      // Mapplate's search line: the driver's choice of the information level.
      {"Mapplate", "the board's layout HOBs",
       [] (Board &B) { B.Run (test::ModuleImage ("Mapplate")); },
       {{"GetFlashLayoutInfo 114 Status", kInfo}}},
      {"Portplate", "no SMBIOS protocol",
       [] (Board &B) {
         B.Smbios.Uninstall ();
         B.Run (test::ModuleImage ("Portplate"));
       },
       {{"Could not locate SMBIOS protocol.  Not Found\r\n", kError}}},
      {"Portplate", "no SystemSetupConfig",
       [] (Board &B) { B.Run (test::ModuleImage ("Portplate")); },
       {{" In Portplate, GetVariable ERROR,  line ", kError}, {"Add Type 251 Table Failed!  Not Found.\r\n", kError}}},
      {"Portplate", "Add fails",
       [] (Board &B) {
         B.SetSetupByte (kSystemSetupConfig, 0, 0);
         B.Smbios.FailAdd = efi::OutOfResources;
         B.Run (test::ModuleImage ("Portplate"));
       },
       {{"[AddSmbioTyp251Table]:[", kError}, {"Smbios Type251 Table Log Failed! Out of Resources \r\n", kError}}},
      {"Portplate", "a SystemSetupConfig too short for the option",
       [] (Board &B) {
         B.SetSetup (kSystemSetupConfig, std::vector<uint8_t> (16, 0));
         B.Run (test::ModuleImage ("Portplate"));
       },
       {{"Portplate: SystemSetupConfig holds 16 bytes", kError}}},
      // "Reg =" and "Flash has been write protection status." have no level
      // of their own in the module's description; they are printed with the
      // pass's other information lines.
      {"Latchvane", "a part that already has WPS",
       [] (Board &B) {
         B.NorFlash.SetNonVolatileStatus ({0, 0, 0x64});
         RunLatchvane (B);
       },
       {{") mNorFlashControlBase = 1A100000\r\n", kInfo},
        {") Reg = 0x1840EF\r\n", kInfo},
        {"Flash has been write protection status.\r\n", kInfo},
        {")  W25QSectionProtect = Success\r\n", kInfo},
        {") FvSectionProtect = Success\r\n", kInfo}}},
      {"Latchvane", "a part whose status registers are locked",
       [] (Board &B) {
         B.NorFlash.SetNonVolatileStatus ({SpiNorFlash::kSr1Srp, 0, SpiNorFlash::kFactorySr3});
         B.NorFlash.WriteProtectPinLow = true;
         RunLatchvane (B);
       },
       {{"FvSectionProtect: the part did not take WPS", kError}, {") FvSectionProtect = Device Error\r\n", kInfo}}},
      {"Latchvane", "a part that never sets WEL",
       [] (Board &B) {
         B.NorFlash.IgnoreWriteEnable = true;
         RunLatchvane (B);
       },
       {{"NorPollStatus1: timed out waiting for WEL set", kError}}},
      {"Rescuetab", "installed", [] (Board &B) { B.Run (test::ModuleImage ("Rescuetab")); },
       {{"Rescuetab module success!\r\n", kInfo}}},
      {"Rescuetab", "no pool",
       [] (Board &B) {
         B.Fw.Pool.FailAfter (0);
         B.Run (test::ModuleImage ("Rescuetab"));
       },
       {{"ERROR: No enouge memory for Rescuetab module!\r\n", kError}}},
      {"Rescuetab", "installation refused",
       [] (Board &B) {
         B.Fw.FailInstallProtocol[kRecoveryFlashInfoProtocol] = efi::AccessDenied;
         B.Run (test::ModuleImage ("Rescuetab"));
       },
       {{"ERROR: Install protocol for Rescuetab module fail!\r\n", kError}}},
      {"Tablegraft", "both tables, the hand-off buffer refused",
       [] (Board &B) {
         B.Fw.Dxe.AddVolume (test::PackageVolume ());   // the tables' sections
         B.Fw.Pool.FailMemoryType = 6;                  // EfiRuntimeServicesData
         B.Run (test::ModuleImage ("Tablegraft"));
       },
       {{"enter load qx acpi node\r\n", kInfo},
        {",Osdm.asl update\r\n", kInfo},
        {"Status update OSDM Table\r\n", kInfo},
        {",Lpbt.asl update\r\n", kInfo},
        {"Status Update LPBT Table\r\n", kInfo},
        {"for LPBT Bin AllocatePool fail\r\n", kInfo},
        {"Load qx acpi node\r\n", kInfo},
        {"exit load qx acpi node\r\n", kInfo}}},
      {"Redirwarden", "default setup", [] (Board &B) { B.Run (test::ModuleImage ("Redirwarden")); },
       {{"Redirwarden entry\r\n", kInfo}, {"CR Enable 0, PortAddress = ", kInfo}}},
      {"Serialnote", "the SPCR cannot be removed",
       [] (Board &B) {
         B.Acpi.FailUninstall = efi::DeviceError;
         B.DefaultBoot ({test::ModuleImage ("Serialnote")});
       },
       {{"UpdateOrDeleteSpcrTable: failed to uninstall SPCR table - Device Error\r\n", kWarn}}},
      {"Wirelaunch", "no BootOrder", [] (Board &B) { B.Boot.Boot (test::ModuleImage ("Wirelaunch")); },
       {{"BootOrder == NULL!!!!!!: ", kError}}},
      {"Gatewarden", "a network mode", [] (Board &B) {
         B.SetSetupByte (kSystemSetupConfig, 64, 1);
         B.Run (test::ModuleImage ("Gatewarden"));
       },
       {{"intel GigUndiDxe.efi and XGigUndiDxe.efi install\r\n", kInfo}}},
      {"Logsweep", "a one-time erase that takes two polls, then one when the SEL is full",
       [] (Board &B) {
         std::vector<uint8_t> R (432, 0);
         R[428] = 1, R[429] = 1;
         B.Fw.SetVariable (kIpmiSetupData.Name, kIpmiSetupData.VendorGuid (), kSetupAttributes, R);
         B.Bmc.ErasePolls = 2;
         B.Run (test::ModuleImage ("Logsweep"));
         R[429] = 0, R[430] = 1;
         B.Fw.SetVariable (kIpmiSetupData.Name, kIpmiSetupData.VendorGuid (), kSetupAttributes, R);
         B.Bmc.ErasePolls = 0;
         B.Bmc.Overflow = true;
         B.Run (test::ModuleImage ("Logsweep"));
       },
       {{" IPMI_STORAGE_GET_SEL_INFO Status: 0\r\n", kInfo},
        {" IPMI_STORAGE_CLEAR_SEL Status: 0 ClearSelResponse: ", kInfo},
        {" Counter: 200\r\n", kInfo},
        {"DXE: WaitTillErased Status : 0\r\n", kInfo},
        {"(SelInfo.OperationSupport & OVERFLOW_FLAG_MASK): 80\r\n", kInfo},
        {"DXE: SEL Cleared\r\n", kInfo}}},
      {"Mainsrestore", "a policy set", [] (Board &B) {
         B.SetSetupByte (kSystemSetupConfig, 128, 2);
         B.Run (test::ModuleImage ("Mainsrestore"));
       },
       {{"Set Power restore policy=0x1 ,Success\r\n", kInfo}}},
      // Modules whose working runs print nothing at any level.
      {"Stampread", "the default block", [] (Board &B) { B.Run (test::ModuleImage ("Stampread")); }, {}},
      {"Wattkeep", "entry", [] (Board &B) { B.Run (test::ModuleImage ("Wattkeep")); }, {}},
      {"Vfswitch", "default setup", [] (Board &B) {
         B.SetSetupByte (kSystemSetupConfig, 0, 0);
         B.Run (test::ModuleImage ("Vfswitch"));
       },
       {}},
      {"Gatewarden", "no network mode", [] (Board &B) {
         B.SetSetupByte (kSystemSetupConfig, 64, 0);
         B.Run (test::ModuleImage ("Gatewarden"));
       },
       {}},
  };
  return kRows;
}

TEST (MessageLevels, EachMessageAppearsExactlyUnderItsLevelsMaskBits) {
  const uint32_t Masks[] = {kError, kWarn, kInfo, 0xFFFFFFFF & ~kError, 0xFFFFFFFF & ~kWarn, 0xFFFFFFFF & ~kInfo};
  for (const Row &R : Rows ()) {
    SCOPED_TRACE (std::string (R.Module) + ": " + R.Run);
    if (R.Pending != nullptr) {
      std::cout << "[ NOTE     ] not checked yet (" << R.Pending << "): " << R.Module << ": " << R.Run << "\n";
      continue;
    }
    for (uint32_t Mask : Masks) {
      SCOPED_TRACE (::testing::Message () << "mask 0x" << std::hex << Mask);
      Board B;
      B.InstallDebugMask (Mask);
      R.Boot (B);
      std::string Text = B.UartText ();
      EXPECT_EQ (B.M.LastFault ().Kind, FaultKind::None) << B.FaultReport ();
      if (R.Messages.empty ()) {
        EXPECT_EQ (Text, "");
      }
      for (const Message &M : R.Messages) {
        bool Shown = (Mask & M.Level) != 0;
        EXPECT_EQ (Text.find (M.Text) != std::string::npos, Shown)
            << "\"" << M.Text << "\" (level 0x" << std::hex << M.Level << ")\n" << Text;
      }
    }
  }
}

}  // namespace
}  // namespace vboard
