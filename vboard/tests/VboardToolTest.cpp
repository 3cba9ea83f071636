// The vboard tool's command line as a user meets it: --help names every
// option with what it does, an option a run would ignore is refused with a
// message and a non-zero exit, and the table dumps work with volumes too.
#include "host/Files.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <sys/wait.h>

namespace vboard {
namespace {

int Tool (const std::string &Arguments, std::string &Output) {
  int Status = test::RunCommand (std::string (VBOARD_TOOL) + " " + Arguments, Output);
  return WIFEXITED (Status) ? WEXITSTATUS (Status) : -1;
}

TEST (VboardTool, HelpListsEveryOptionWithWhatItDoes) {
  std::string Out;
  ASSERT_EQ (Tool ("--help", Out), 0) << Out;
  for (const char *Option :
       {"--fv", "--bare", "--report-dir", "--scenario", "--published", "--setup", "--setup-size", "--pcd", "--debug-mask",
        "--ready-to-boot", "--run-before-ready-to-boot", "--run-seconds", "--budget", "--spcr", "--dump-acpi",
        "--dump-smbios", "--flash", "--flash-layout", "--flash-layout-summary", "--sockets", "--temperature",
        "--silent-socket", "--boot-option", "--boot-order", "--network", "--app", "--help", "--board-map", "--fuzz-list",
        "--fuzz-replay", "--fuzz-write-seeds", "--fuzz-modules"}) {
    // One line per option, its name first, then what it does.
    size_t At = Out.find (std::string ("\n  ") + Option + " ");
    ASSERT_NE (At, std::string::npos) << Option << "\n" << Out;
    std::string Line = Out.substr (At + 3, Out.find ('\n', At + 1) - At - 3);
    EXPECT_GT (Line.size (), std::string (Option).size () + 20) << Line;
  }
  // Every option the help names is one the tool knows.
  std::istringstream Lines (Out);
  for (std::string Line; std::getline (Lines, Line);) {
    if (Line.rfind ("  --", 0) != 0) continue;
    std::string Option = Line.substr (2, Line.find (' ', 2) - 2);
    std::string Refused;
    Tool (Option + " x y z", Refused);
    EXPECT_EQ (Refused.find ("unknown option"), std::string::npos) << Option << ": " << Refused;
  }
}

TEST (VboardTool, OptionsARunWouldIgnoreAreRefused) {
  const std::string Fv = " --fv volume.Fv", Image = " image.efi";
  struct Case {
    std::string Arguments;
    const char *Says;
  } Cases[] = {
      {Fv + " --scenario s.scn --budget 100", "--budget does nothing with --scenario"},
      {Fv + " --scenario s.scn --setup SystemSetupConfig.0=1", "--setup does nothing with --scenario"},
      {Fv + " --scenario s.scn --flash f.bin", "--flash does nothing with --scenario"},
      {Fv + " --scenario s.scn --published p.txt", "--published does nothing with --scenario"},
      {Fv + " --scenario s.scn" + Image, "give either images or --fv volumes"},
      {" --app app.efi --ready-to-boot 2", "--ready-to-boot does nothing with --app applications alone"},
      {" --app app.efi --run-before-ready-to-boot 1", "--run-before-ready-to-boot does nothing with --app"},
      {Image + " --report-dir d", "--report-dir does nothing with IMAGE.efi arguments"},
      {Image + " --bare", "--bare does nothing with IMAGE.efi arguments"},
      {Image + " --published p.txt", "--published does nothing with IMAGE.efi"},
      {" --scenario s.scn", "--scenario needs --fv volumes"},
      {" --fuzz-replay event-log seed --budget 5", "--fuzz-replay takes exactly TARGET FILE and nothing else"},
      {" --budget 5 --board-map", "--board-map takes nothing else"},
      {" --help" + Fv, "--help takes nothing else"},
      {" --fuzz-list --fuzz-modules event-log", "--fuzz-list takes nothing else"},
      {" --frobnicate" + Image, "unknown option --frobnicate"},
      {Fv + " --report-dir a --report-dir b", "--report-dir is given more than once"},
      {Image + " --ready-to-boot 1 --ready-to-boot 2", "--ready-to-boot is given more than once"},
      // BDS signals ReadyToBoot itself; the PCD and SPCR settings are the board core's.
      {Fv + " --core edk2 --ready-to-boot 2", "--ready-to-boot does nothing with --core edk2"},
      {Fv + " --core edk2 --pcd PcdRecoveryParameter=1", "--pcd does nothing with --core edk2"},
      // The run under EDK II ends only when the platform powers off or stops.
      {Fv + " --core edk2 --run-seconds 3", "--run-seconds does nothing with --core edk2"},
      {" --core edk2" + Image, "--core does nothing with IMAGE.efi arguments"},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE (C.Arguments);
    std::string Out;
    EXPECT_EQ (Tool (C.Arguments, Out), 2) << Out;
    EXPECT_NE (Out.find (C.Says), std::string::npos) << Out;
    EXPECT_NE (Out.find ("vboard --help"), std::string::npos) << Out;
  }
}

TEST (VboardTool, ComparePublishedExitsByWhatItFinds) {
  // make's last step: 0 for the same state, 1 naming the lines only one
  // side has, 2 when a file cannot be read.
  test::TempFile First ("published-a"), Second ("published-b");
  WriteWholeFile (First.Path, std::string ("driver Tallyvault: installed X\nvariable Boot0000\n"));
  WriteWholeFile (Second.Path, std::string ("variable Boot0000\ndriver Tallyvault: installed X\n"));
  std::string Out;
  EXPECT_EQ (Tool ("--compare-published " + First.Path + " " + Second.Path, Out), 0) << Out;
  EXPECT_NE (Out.find ("same published state, 2 lines compared"), std::string::npos) << Out;
  WriteWholeFile (Second.Path, std::string ("variable Boot0000\ndriver Tallyvault: installed Y\n"));
  EXPECT_EQ (Tool ("--compare-published " + First.Path + " " + Second.Path, Out), 1) << Out;
  EXPECT_NE (Out.find ("only in " + First.Path + ": driver Tallyvault: installed X"), std::string::npos) << Out;
  EXPECT_NE (Out.find ("only in " + Second.Path + ": driver Tallyvault: installed Y"), std::string::npos) << Out;
  EXPECT_EQ (Tool ("--compare-published " + First.Path + " " + Second.Path + ".missing", Out), 2) << Out;
}

TEST (VboardTool, TableDumpsWorkWithVolumes) {
  std::string Dir = ::testing::TempDir () + "/vboardtool.dumps";
  std::filesystem::remove_all (Dir);
  std::string Out;
  EXPECT_EQ (Tool ("--fv " + test::PackageVolume () + " --dump-acpi " + Dir + "/acpi --dump-smbios " + Dir + "/smbios.bin",
                   Out),
             0)
      << Out;
  EXPECT_GT (std::filesystem::file_size (Dir + "/smbios.bin"), 0u);
  EXPECT_TRUE (std::filesystem::exists (Dir + "/acpi/xsdt.dat"));
  EXPECT_NE (Out.find ("SMBIOS table written to " + Dir + "/smbios.bin"), std::string::npos) << Out;
  std::filesystem::remove_all (Dir);
}

}  // namespace
}  // namespace vboard
