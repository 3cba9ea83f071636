// The whole board: the package's firmware volume booted on the default board
// in its factory state, DEBUG and RELEASE; the vboard tool's report of that
// boot; and the tool's handling of the user's files.
#include "board/BoardMap.h"
#include "host/Files.h"
#include "tests/TestSupport.h"
#include "tools/Report.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <sys/wait.h>

namespace vboard {
namespace {

namespace fs = std::filesystem;

// The factory board booting a volume, the served boot program on its network.
struct WholeBoot {
  std::unique_ptr<Board> B;
  double Seconds = 0;
  explicit WholeBoot (const std::string &Volume) {
    auto Start = std::chrono::steady_clock::now ();
    B = std::make_unique<Board> ();
    boardmap::ApplyFactoryState (*B);
    B->Nic.State = NetworkDevice::Network::Serves;
    B->Nic.BootFile = test::TestImage ("NetBootProbe");
    B->BootVolumes ({Volume});
    Seconds = std::chrono::duration<double> (std::chrono::steady_clock::now () - Start).count ();
  }
};

int Tool (const std::string &Arguments, std::string &Output) {
  int Status = test::RunCommand (std::string (VBOARD_TOOL) + " " + Arguments, Output);
  return WIFEXITED (Status) ? WEXITSTATUS (Status) : -1;
}

std::string Dir (const std::string &Name) {
  std::string D = ::testing::TempDir () + "/wholeboard." + Name;
  fs::remove_all (D);
  fs::create_directories (D);
  return D;
}

TEST (WholeBoard, DebugAndReleaseVolumesBootToTheServedProgramAndPublishTheSame) {
  std::string Published[2];
  for (int Release = 0; Release < 2; Release++) {
    SCOPED_TRACE (Release ? "RELEASE" : "DEBUG");
    WholeBoot W (Release ? test::ReleaseVolume () : test::PackageVolume ());
    Board &B = *W.B;
    ASSERT_FALSE (B.M.Faulted ()) << B.FaultReport ();
    // Every driver dispatched by its dependency expression, none failing.
    ASSERT_EQ (B.Fw.Dxe.Drivers ().size (), 16u);
    for (const auto &D : B.Fw.Dxe.Drivers ()) {
      EXPECT_EQ (D.State, Dispatcher::DriverState::Dispatched) << D.Name << ": " << B.Fw.Dxe.WaitingFor (D);
      EXPECT_EQ (D.Status, efi::Success) << D.Name;
    }
    // The boot manager registered Wirelaunch from the volume and started it;
    // it booted the served program over PXE IPv4, which powered the board off.
    ASSERT_FALSE (B.BootAttempts.empty ());
    EXPECT_EQ (B.BootAttempts[0].Image, "Wirelaunch");
    EXPECT_NE (B.BootAttempts[0].Path.find ("/FvFile("), std::string::npos);
    ASSERT_FALSE (B.Boot.Loads.empty ());
    EXPECT_EQ (B.Boot.Loads.back ().Image, "NetBootProbe");
    EXPECT_EQ (B.Boot.Loads.back ().Parent, "Wirelaunch");
    EXPECT_EQ (B.Fw.ResetCalls, std::vector<uint32_t>{2});
    EXPECT_EQ (B.Boot.RunningImages (), (std::vector<std::string>{"Wirelaunch", "NetBootProbe"}));
    // What the factory setup asks for reached the OS-visible state.
    EXPECT_EQ (B.Fw.PcdValue (platform::kPlatformTokenSpace, platform::kPcdSerialPortBaseAddress), platform::kUart1);
    EXPECT_EQ (B.Fw.PcdValue (platform::kThermalTokenSpace, platform::kPcdCpuTemperature), 47000u);
    EXPECT_EQ (B.Bmc.PowerRestorePolicy, 1);
    const AcpiTable *Spcr = B.Acpi.Find ("SPCR");
    ASSERT_NE (Spcr, nullptr);
    EXPECT_EQ (B.M.Load<uint64_t> (Spcr->Address + 44), platform::kUart1);
    EXPECT_TRUE (B.NorFlash.Protected (0x500000) && B.NorFlash.Protected (0x90F000));
    EXPECT_FALSE (B.NorFlash.Protected (0x930000));
    // Only the applications still running at the hand-over hold memory.
    for (const auto &L : B.Fw.FindLeaks ()) {
      EXPECT_TRUE (L.Owner == "Wirelaunch" || L.Owner == "NetBootProbe") << L.Owner << " " << L.Where;
    }
    EXPECT_LT (W.Seconds, 1.0);
    Published[Release] = report::PublishedState (B);
  }
  EXPECT_EQ (Published[0], Published[1]);
  EXPECT_NE (Published[0].find ("smbios Ledgermark type 15"), std::string::npos);
  EXPECT_NE (Published[0].find ("protocol Gatewarden gNetworkMode1DepexProtocolGuid marker"), std::string::npos);
}

TEST (WholeBoard, ReportShowsWhatTheOperatingSystemFindsAndKeepsItsArtefacts) {
  std::string D = Dir ("report"), Out;
  ASSERT_EQ (Tool ("--fv " + test::PackageVolume () + " --network serve:" + test::TestImage ("NetBootProbe") +
                       " --report-dir " + D,
                   Out),
             0)
      << Out;
  for (const char *Line : {"16 of 16 drivers dispatched", "started Wirelaunch, did not return",
                           "Wirelaunch: LoadImage PciRoot(0x0)/Pci(0x1,0x0)/MAC(525400123456,0x1)/IPv4(...) -> Success (NetBootProbe)",
                           "SMBIOS (dmidecode --from-dump): 11 structures", "type 203 x8: OEM-specific Type",
                           "type 15: System Event Log (Area Length", "LPBT (59 bytes)", "OSDM (241 bytes)",
                           "SPCR: interface type 03, base address 0000000020001000, baud rate 07, parity 00, stop bits 01, terminal type 02",
                           "write-protected 0x500000-0x90FFFF", "power-restore policy 1 (restore the previous state)",
                           "PcdCpuTemperature 47000 (47.000 C)", "every driver dispatched, no fault, no leak"}) {
    EXPECT_NE (Out.find (Line), std::string::npos) << Line << "\n" << Out;
  }
  EXPECT_EQ (fs::file_size (D + "/flash.bin"), BootFlash::kSize);
  EXPECT_TRUE (fs::exists (D + "/smbios.bin") && fs::exists (D + "/acpi/spcr.dat") && fs::exists (D + "/acpi/spcr.dsl"));
  std::vector<uint8_t> Saved = ReadWholeFile (D + "/report.txt");
  EXPECT_EQ (std::string (Saved.begin (), Saved.end ()), Out);

  // Without dmidecode and iasl the report cannot say what the OS finds: the
  // run fails and says why.
  int Status = test::RunCommand (std::string ("env PATH=/nonexistent ") + VBOARD_TOOL + " --fv " + test::PackageVolume (), Out);
  EXPECT_TRUE (WIFEXITED (Status) && WEXITSTATUS (Status) == 1) << Out;
  EXPECT_NE (Out.find ("SMBIOS: dmidecode failed or is missing"), std::string::npos) << Out;
  EXPECT_NE (Out.find ("iasl -d "), std::string::npos) << Out;
  EXPECT_NE (Out.find ("PROBLEMS ABOVE"), std::string::npos) << Out;

  // A board that faults is a failed run, with the fault in the report.
  EXPECT_EQ (Tool ("--fv " + test::PackageVolume () + " --budget 20000", Out), 1) << Out;
  EXPECT_NE (Out.find ("FAULT: "), std::string::npos) << Out;
  EXPECT_NE (Out.find ("PROBLEMS ABOVE"), std::string::npos) << Out;
  fs::remove_all (D);
}

TEST (WholeBoard, TheUsersFlashImageChangesOnlyWhereTheBootWrote) {
  // A user's image: a first boot's flash with bytes of the user's own in
  // page 0, under the parameter block's page, and in an unused block.
  std::string D = Dir ("flash"), Out;
  ASSERT_EQ (Tool ("--fv " + test::PackageVolume () + " --report-dir " + D, Out), 0) << Out;
  std::vector<uint8_t> Image = ReadWholeFile (D + "/flash.bin");
  for (uint64_t At : {uint64_t{0}, uint64_t{0xC8000}, uint64_t{0xB00000}}) {
    for (uint64_t I = 0; I < 0x1000; I++) Image[At + I] = static_cast<uint8_t> (I * 7 + At / 0x1000);
  }
  std::string Flash = D + "/user.bin";
  WriteWholeFile (Flash, Image);
  ASSERT_EQ (Tool ("--fv " + test::PackageVolume () + " --flash " + Flash, Out), 0) << Out;
  EXPECT_EQ (ReadWholeFile (Flash), Image) << "a boot that wrote nothing changed the image";

  // A boot that logs an over-temperature event changes the event-log area
  // and nothing else.
  EXPECT_EQ (Tool ("--fv " + test::PackageVolume () + " --temperature 0=95 --flash " + Flash, Out), 0) << Out;
  std::vector<uint8_t> After = ReadWholeFile (Flash);
  ASSERT_EQ (After.size (), Image.size ());
  size_t Changed = 0;
  for (size_t I = 0; I < After.size (); I++) {
    if (After[I] == Image[I]) continue;
    Changed++;
    EXPECT_TRUE (I >= 0x930000 && I < 0x940000) << std::hex << "byte 0x" << I << " changed";
    if (Changed > 16) break;
  }
  EXPECT_EQ (Changed, 8u);   // one 8-byte record
  fs::remove_all (D);
}

TEST (WholeBoard, FilesTheToolCannotReadOrWriteFailTheRunAndLeaveNothingHalfDone) {
  std::string D = Dir ("files"), Out;
  std::string Fv = " --fv " + test::PackageVolume ();
  // A flash image of the wrong size is refused and left as it is.
  std::vector<uint8_t> Short (1000, 0x5A);
  WriteWholeFile (D + "/short.bin", Short);
  EXPECT_EQ (Tool (Fv + " --flash " + D + "/short.bin", Out), 2);
  EXPECT_NE (Out.find ("not 1000"), std::string::npos) << Out;
  EXPECT_EQ (ReadWholeFile (D + "/short.bin"), Short);
  // A directory where a file is expected, to read or to write.
  fs::create_directories (D + "/adir");
  EXPECT_EQ (Tool (Fv + " --flash " + D + "/adir", Out), 2);
  EXPECT_NE (Out.find ("adir"), std::string::npos) << Out;
  EXPECT_EQ (Tool ("--dump-smbios " + D + "/adir " + test::ModuleImage ("Mapplate"), Out), 2);
  EXPECT_NE (Out.find ("cannot write " + D + "/adir"), std::string::npos) << Out;
  EXPECT_TRUE (fs::is_directory (D + "/adir"));
  // A report directory below a regular file.
  EXPECT_EQ (Tool (Fv + " --report-dir " + D + "/short.bin/report", Out), 2);
  EXPECT_EQ (Out.find ("== drivers"), std::string::npos) << "a report was printed for a run that failed:\n" << Out;
  // No temporary file is left behind anywhere.
  for (const auto &E : fs::directory_iterator (D)) {
    std::string Name = E.path ().filename ().string ();
    EXPECT_TRUE (Name == "short.bin" || Name == "adir") << Name;
  }
  EXPECT_TRUE (fs::is_empty (D + "/adir"));
  fs::remove_all (D);
}

TEST (WholeBoard, ScenarioWithABadLineBootsNothingAndNamesTheLine) {
  std::string D = Dir ("scenario"), Out;
  WriteWholeFile (D + "/bad.scn", std::string ("boots 2\nboot 1\ntemperature 0=50\ntemperature 7=50\n"));
  EXPECT_EQ (Tool ("--fv " + test::PackageVolume () + " --scenario " + D + "/bad.scn", Out), 2);
  EXPECT_NE (Out.find ("bad.scn:4: no socket 7"), std::string::npos) << Out;
  EXPECT_EQ (Out.find ("==== boot"), std::string::npos) << Out;
  // An expectation that does not hold fails the run.
  WriteWholeFile (D + "/fails.scn", std::string ("expect bmc-sel 5\n"));
  EXPECT_EQ (Tool ("--fv " + test::PackageVolume () + " --scenario " + D + "/fails.scn", Out), 1);
  EXPECT_NE (Out.find ("FAIL  " + D + "/fails.scn:1: expect bmc-sel 5 (0 entries)"), std::string::npos) << Out;
  fs::remove_all (D);
}

TEST (WholeBoard, ScenarioCarriesTheSelButNotAnInjectedBmcFailureIntoTheNextBoot) {
  std::string D = Dir ("carry"), Out;
  WriteWholeFile (D + "/carry.scn", std::string ("boots 2\n"
                                                 "boot 1\n"
                                                 "bmc sel-entries 4\n"
                                                 "bmc fail 0x0A:0x40=0xC0\n"
                                                 "expect report IPMI Get SEL Info (cc 0xC0)\n"
                                                 "boot 2\n"
                                                 "expect bmc-sel 4\n"
                                                 "expect no-report (cc 0xC0)\n"));
  EXPECT_EQ (Tool ("--fv " + test::PackageVolume () + " --scenario " + D + "/carry.scn", Out), 0) << Out;
  EXPECT_NE (Out.find ("2 boots, 3 of 3 expectations held"), std::string::npos) << Out;
  fs::remove_all (D);
}

}  // namespace
}  // namespace vboard
