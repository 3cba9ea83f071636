// The console-redirection flow across modules: Redirwarden's choice of UART
// carries the debug output of every module loaded after it, and Serialnote
// leaves the platform SPCR table as the setup asked, checked with iasl on the
// tables the board dumps.
#include "tests/ConsoleTestSupport.h"
#include "uefi/GuidNames.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

namespace vboard {
namespace {

using namespace platform;
namespace fs = std::filesystem;

// A fresh directory for one dump.
std::string DumpDir (const std::string &Name) {
  fs::path Dir = fs::temp_directory_path () / ("asfp-console-" + std::to_string (getpid ()) + "-" + Name);
  fs::remove_all (Dir);
  fs::create_directories (Dir);
  return Dir.string ();
}

TEST (ConsoleFlow, LaterModulesPrintOnlyOnTheSelectedUart) {
  struct Case {
    const char *What;
    std::vector<uint8_t> Setup;   // empty: no CrSetupData
    bool SecondUart;
  } Cases[] = {{"SerialPort 0", {1, 0, 3, 7, 8, 1, 1, 0, 1}, false},
               {"SerialPort 1", {1, 1, 3, 7, 8, 1, 1, 0, 1}, true},
               {"no variable", {}, true}};
  for (const Case &C : Cases) {
    SCOPED_TRACE (C.What);
    Board B;
    if (!C.Setup.empty ()) B.SetSetup (kCrSetupData, C.Setup);
    B.Fw.SetVariable (u"FaultProbeMode", names::Named ("gFaultProbeVariableGuid"), kSetupAttributes, {0});
    B.Acpi.FailUninstall = efi::DeviceError;   // so that Serialnote prints when it deletes
    B.DefaultBoot ({test::TestImage ("FaultProbe"), test::ModuleImage ("Redirwarden"), test::ModuleImage ("Rescuetab"),
                    test::ModuleImage ("Serialnote")});
    ASSERT_FALSE (B.M.Stopped ()) << B.FaultReport ();
    // What runs before the switch (the probe, Redirwarden's first line) uses
    // the board's default debug UART; everything after it the selected one.
    std::string Early = "FaultProbe idle\r\nRedirwarden entry\r\n";
    std::string Late = "CR Enable " + std::string (C.Setup.empty () ? "0" : "1") +
                       ", PortAddress = " + (C.SecondUart ? "536875008" : "536870912") + ", CRTerminalType = 3\r\n" +
                       "Rescuetab module success!\r\n" +
                       (C.Setup.empty () ? "UpdateOrDeleteSpcrTable: failed to uninstall SPCR table - Device Error\r\n" : "");
    EXPECT_EQ (B.Uart0.Text (), C.SecondUart ? Early : Early + Late);
    EXPECT_EQ (B.Uart1.Text (), C.SecondUart ? Late : "");
    EXPECT_EQ (B.Acpi.Count ("SPCR"), 1u) << "a failed removal must leave the table";
  }
}

TEST (ConsoleFlow, PatchedSpcrAsIaslReadsIt) {
  // Through the vboard tool next to this test binary: 9600 bit/s, setup
  // parity 2, two stop bits, ANSI, second UART; each differs from the
  // platform table's 115200 8N1 VT100 on the first UART.
  std::string Dir = DumpDir ("patched");
  std::string Tool = (fs::read_symlink ("/proc/self/exe").parent_path () / "vboard").string ();
  std::string Command = Tool + " --setup CrSetupData.1=1 --setup CrSetupData.2=0 --setup CrSetupData.3=3" +
                        " --setup CrSetupData.5=2 --setup CrSetupData.6=2 --setup CrSetupData.8=1 --ready-to-boot 2" +
                        " --dump-acpi '" + Dir + "' '" + test::ModuleImage ("Redirwarden") + "' '" +
                        test::ModuleImage ("Serialnote") + "' >'" + Dir + "/vboard.log' 2>&1";
  ASSERT_EQ (std::system (Command.c_str ()), 0) << test::ReadText (Dir + "/vboard.log");

  // Every byte but the patched fields and the checksum as the platform installed it.
  std::string Dump = test::ReadText (Dir + "/spcr.dat");
  test::ByteChanges Changes{{spcr::kBaudRate, 3}, {spcr::kParity, 1}, {spcr::kStopBits, 2}, {spcr::kTerminalType, 3}};
  test::Put64 (Changes, spcr::kBaseAddress, kUart1);
  test::ExpectPatched (PlatformSpcr (kUart0, kUart0Gsiv), std::vector<uint8_t> (Dump.begin (), Dump.end ()), Changes);

  std::string Dsl = test::Disassemble (Dir, "spcr.dat");
  EXPECT_EQ (Dsl.find ("Incorrect checksum"), std::string::npos) << Dsl;
  // iasl lists a field as "[03Ah 0058   1]                    Baud Rate : 07".
  for (const char *Field : {"Signature : \"SPCR\"", "Table Length : 00000050", "Baud Rate : 03", "Parity : 01",
                            "Stop Bits : 02", "Terminal Type : 03", "Address : 0000000020001000", "Interface Type : 03",
                            "Interrupt : 00000021"}) {
    EXPECT_NE (Dsl.find (Field), std::string::npos) << Field << "\n" << Dsl;
  }
  // The XSDT the OS starts from still points at the table.
  EXPECT_NE (test::Disassemble (Dir, "xsdt.dat").find ("ACPI Table Address   0 : "), std::string::npos);
  fs::remove_all (Dir);
}

TEST (ConsoleFlow, DisabledOrUnpublishedPolicyRemovesTheSpcrFromTheDump) {
  for (bool WithPolicy : {true, false}) {
    SCOPED_TRACE (WithPolicy ? "SpcrEnable 0" : "no policy");
    Board B;
    B.SetSetup (kCrSetupData, {1, 1, 3, 7, 8, 1, 1, 0, WithPolicy ? uint8_t (0) : uint8_t (1)});
    std::vector<std::string> Images = {test::ModuleImage ("Serialnote")};
    if (WithPolicy) Images.insert (Images.begin (), test::ModuleImage ("Redirwarden"));
    B.DefaultBoot (Images);
    ASSERT_FALSE (B.M.Stopped ()) << B.FaultReport ();
    std::string Dir = DumpDir (WithPolicy ? "disabled" : "nopolicy");
    EXPECT_EQ (B.Acpi.Dump (Dir), std::vector<std::string>{"xsdt.dat"});
    // Only the entry kept for a FADT is left.
    EXPECT_NE (test::Disassemble (Dir, "xsdt.dat").find ("Table Length : 0000002C"), std::string::npos) << "XSDT entries left";
    fs::remove_all (Dir);
  }
}

}  // namespace
}  // namespace vboard
