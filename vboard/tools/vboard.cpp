// vboard: boots a list of AARCH64 DXE images on the default virtual board and
// prints what the UARTs received, what each image published, and any fault.
//
//   vboard [options] IMAGE.efi...
//   vboard [options] --fv VOLUME.Fv [--fv ...]
//   vboard --board-map                 the board's devices and their addresses
//   vboard --fuzz-replay TARGET FILE   run one fuzz input on a fresh board as the
//                                      fuzzer did, and print the fault report
//   vboard --fuzz-list                 the fuzz targets and their input surfaces
//   vboard --fuzz-write-seeds DIR      write each target's seed inputs to DIR/TARGET/
//   vboard --fuzz-modules TARGET       the modules whose code counts as the target's coverage
//   vboard --bench [RUNS [ROW]]        the board's speed: construction, the DEBUG and RELEASE
//                                      volume boots, each fuzz target's runs per second
//                                      (median of RUNS runs, default 5), as a table; with
//                                      ROW, only the rows whose name starts with it
//     --fv FILE                   boot a firmware volume: its drivers are dispatched by
//                                 their dependency expressions (repeatable; IMAGE.efi
//                                 arguments then are not allowed). The board starts in its
//                                 factory state (board/BoardMap.h), the boot manager runs
//                                 the boot options after ReadyToBoot, and the run ends
//                                 with the whole-board report; the exit status is 1 when a
//                                 driver was not dispatched, faulted or leaked
//     --bare                      with --fv: the board without its factory state (no setup
//                                 variables, no boot options, no boot manager pass)
//     --report-dir DIR            with --fv: keep the report's artefacts in DIR (created if
//                                 needed): smbios.bin, acpi/*.dat and *.dsl, flash.bin,
//                                 report.txt
//     --scenario FILE             with --fv: run the scenario in FILE (tools/Scenario.h):
//                                 board state, several boots with what survives a power
//                                 cycle carried over, and checks of what each boot left;
//                                 exit status 1 when a check fails. Other board options
//                                 on the command line are not used, but --network is
//                                 each boot's default
//     --published FILE            with --fv: write what the boot published (protocols, PCDs,
//                                 SMBIOS, ACPI, variables, BMC, flash) in a form that does
//                                 not depend on where images landed, for comparing builds
//     --setup NAME.OFFSET=VALUE   set one byte of a setup variable (the variable
//                                 is created zero-filled at its full size)
//     --setup-size NAME=BYTES     store the setup variable with this many bytes
//     --pcd NAME=VALUE            PcdSerialPortBaseAddress, PcdRecoveryParameter
//     --debug-mask VALUE          install EFI_DEBUG_MASK_PROTOCOL with this mask
//     --ready-to-boot N           signal ReadyToBoot N times after the images (default 1)
//     --run-seconds N             let N seconds of simulated time pass at the end
//     --budget N                  instruction budget per call (default 400000000)
//     --spcr N                    SPCR tables the platform installs (default 1; 0 or 2)
//     --dump-acpi DIR             write each installed ACPI table to DIR/<signature>.dat
//                                 (and the XSDT to xsdt.dat), for iasl -d
//     --flash FILE                keep the 16 MiB boot flash in FILE: loaded at start when
//                                 it exists, written back at exit (also after a halt); the
//                                 part's non-volatile status registers go to FILE.status
//     --dump-smbios FILE          write the SMBIOS table for dmidecode --from-dump FILE
//     --flash-layout ENTRIES      the flash-layout table HOB: W0:W1:W2:W3 entries separated
//                                 by commas, "empty" for a HOB without entries, "none" for no HOB
//     --flash-layout-summary V    the layout-summary HOB: V0:V1, or "none" for no HOB
//     --sockets N                 CPU sockets on the board, 1 or 2 (default 2): one
//                                 system-control processor each, and the count in the
//                                 parameter block
//     --temperature SOCKET=C      what that socket's SCP reads for sensor 0 (default 40)
//     --silent-socket SOCKET      that socket's SCP never answers
//     --run-before-ready-to-boot S  let S seconds of simulated time pass after the
//                                 images start and before ReadyToBoot
//     --boot-option N=KIND        store the load option Boot#### with hex number N: KIND is
//                                 pxe4 or pxe6 (the network device's PXE paths), disk, or
//                                 http:URI; an "inactive:" prefix clears LOAD_OPTION_ACTIVE
//     --boot-order N,N,...        BootOrder, hex option numbers
//     --network STATE             what the network device's PXE clients meet: serve:FILE
//                                 (a DHCP and TFTP server offering FILE), nolink, noserver
//                                 (the default) or nofile
//     --app FILE                  after ReadyToBoot, start this UEFI application as the
//                                 boot manager does (repeatable); the console's screen and
//                                 the LoadImage calls are printed
#include "board/Board.h"
#include "board/BoardMap.h"
#include "tools/Bench.h"
#include "tools/Report.h"
#include "tools/Scenario.h"
#include "fuzz/FuzzTargets.h"
#include "images/FirmwareVolume.h"
#include "board/FlashLayout.h"

#include <algorithm>
#include <chrono>
#include <sstream>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

using namespace vboard;

namespace {

[[noreturn]] void Usage (const std::string &Why) {
  std::cerr << "vboard: " << Why << "\nusage: vboard [--setup NAME.OFFSET=VALUE] [--setup-size NAME=BYTES] "
               "[--pcd NAME=VALUE] [--debug-mask VALUE] [--ready-to-boot N] [--run-seconds N] "
               "[--spcr N] [--dump-acpi DIR] "
               "[--flash FILE] [--dump-smbios FILE] [--flash-layout ENTRIES] "
               "[--flash-layout-summary V0:V1] [--sockets N] [--temperature SOCKET=C] "
               "[--silent-socket SOCKET] [--run-before-ready-to-boot S] [--boot-option N=KIND] "
               "[--boot-order N,N,...] [--network STATE] [--app FILE] IMAGE.efi...\n"
               "       vboard [options] [--bare] [--report-dir DIR] [--published FILE] [--scenario FILE] --fv VOLUME.Fv...\n";
  std::exit (2);
}

uint64_t Number (const std::string &Text) {
  size_t End = 0;
  uint64_t V = std::stoull (Text, &End, 0);
  if (End != Text.size ()) throw std::invalid_argument (Text);
  return V;
}

// "A:B:C" -> {A, B, C}, each a number that fits in 32 bits.
std::vector<uint32_t> Words (const std::string &Text) {
  std::vector<uint32_t> Out;
  for (size_t At = 0;;) {
    size_t Colon = Text.find (':', At);
    uint64_t V = Number (Text.substr (At, Colon == std::string::npos ? std::string::npos : Colon - At));
    if (V > 0xFFFFFFFFULL) throw std::invalid_argument (Text);
    Out.push_back (static_cast<uint32_t> (V));
    if (Colon == std::string::npos) return Out;
    At = Colon + 1;
  }
}

void PrintLog (const char *Title, const std::string &Text) {
  std::cout << "---- " << Title << " (" << Text.size () << " bytes)\n" << Text;
  if (!Text.empty () && Text.back () != '\n') std::cout << "\n";
}

}  // namespace

int FuzzReplay (const std::string &Name, const std::string &File) {
  const fuzz::Target *T = fuzz::FindTarget (Name);
  if (T == nullptr) Usage ("no fuzz target " + Name + " (see --fuzz-list)");
  std::vector<uint8_t> Input;
  try {
    Input = ReadWholeFile (File);
  } catch (const std::exception &E) {
    std::cerr << "vboard: " << E.what () << "\n";
    return 2;
  }
  std::string Fault = fuzz::RunOne (*T, Input.data (), Input.size ());
  std::cout << "fuzz target " << Name << ", " << Input.size () << "-byte input " << File << ": "
            << (Fault.empty () ? "clean\n" : "FAULT\n" + Fault);
  return Fault.empty () ? 0 : 1;
}

// The whole-board boot of firmware volumes and its report.
int BootVolumes (Board &B, const std::vector<std::string> &Volumes, unsigned ReadyToBoot, const std::vector<std::string> &Apps,
                 uint64_t RunSeconds, std::string ReportDir, const std::string &FlashFile,
                 const std::string &PublishedFile, std::chrono::steady_clock::time_point Started) {
  try {
    B.BootVolumes (Volumes, ReadyToBoot);
    for (const std::string &App : Apps) {
      if (B.M.Stopped ()) break;
      B.Boot.Boot (App);
    }
    if (RunSeconds != 0 && !B.M.Stopped ()) B.Fw.AdvanceTime (RunSeconds * 1000000000ULL);
  } catch (const std::exception &E) {
    std::cerr << "vboard: " << E.what () << "\n";
    return 2;
  }
  report::Run Run;
  Run.Volumes = Volumes;
  Run.WallSeconds = std::chrono::duration<double> (std::chrono::steady_clock::now () - Started).count ();

  // The artefacts go to the report directory, or to a temporary one.
  bool Temporary = ReportDir.empty ();
  try {
    if (Temporary) {
      std::string Template = (std::filesystem::temp_directory_path () / "vboard-report.XXXXXX").string ();
      if (::mkdtemp (Template.data ()) == nullptr) throw std::runtime_error ("cannot create a temporary directory");
      ReportDir = Template;
    } else {
      std::filesystem::create_directories (ReportDir);
    }
    report::WriteArtefacts (B, ReportDir);
    if (!FlashFile.empty ()) B.Flash.Save (FlashFile);
    if (!PublishedFile.empty ()) WriteWholeFile (PublishedFile, report::PublishedState (B));
  } catch (const std::exception &E) {
    std::cerr << "vboard: " << E.what () << "\n";
    if (Temporary && !ReportDir.empty ()) std::filesystem::remove_all (ReportDir);
    return 2;
  }
  std::ostringstream Text;
  bool Good = report::Print (B, Run, ReportDir, Text);
  std::cout << Text.str () << std::flush;
  int Exit = Good ? 0 : 1;
  try {
    if (Temporary) {
      std::filesystem::remove_all (ReportDir);
    } else {
      WriteWholeFile (ReportDir + "/report.txt", Text.str ());
    }
  } catch (const std::exception &E) {
    std::cerr << "vboard: " << E.what () << "\n";
    Exit = 2;
  }
  if (!std::cout) {
    std::cerr << "vboard: the report could not be written to standard output\n";
    Exit = 2;
  }
  return Exit;
}

int main (int Argc, char **Argv) {
  if (Argc == 4 && std::string (Argv[1]) == "--fuzz-replay") return FuzzReplay (Argv[2], Argv[3]);
  if (Argc == 3 && std::string (Argv[1]) == "--fuzz-write-seeds") {
    for (const fuzz::Target &T : fuzz::Targets ()) {
      std::vector<std::vector<uint8_t>> Seeds =
          T.Seeds ? T.Seeds () : std::vector<std::vector<uint8_t>>{std::vector<uint8_t> (64, 0)};
      std::string Dir = std::string (Argv[2]) + "/" + T.Name;
      std::filesystem::create_directories (Dir);
      for (size_t I = 0; I < Seeds.size (); I++) {
        std::string Path = Dir + "/seed-" + std::to_string (I);
        std::ofstream Out (Path, std::ios::binary);
        Out.write (reinterpret_cast<const char *> (Seeds[I].data ()), static_cast<std::streamsize> (Seeds[I].size ()));
        if (!Out) {
          std::cerr << "vboard: cannot write " << Path << "\n";
          return 2;
        }
      }
    }
    return 0;
  }
  if (Argc == 3 && std::string (Argv[1]) == "--fuzz-modules") {
    const fuzz::Target *T = fuzz::FindTarget (Argv[2]);
    if (T == nullptr) Usage (std::string ("no fuzz target ") + Argv[2]);
    for (const std::string &M : T->Modules) std::cout << M << "\n";
    return 0;
  }
  if (Argc >= 2 && Argc <= 4 && std::string (Argv[1]) == "--bench") {
    unsigned Runs = 5;
    try {
      if (Argc >= 3) Runs = static_cast<unsigned> (Number (Argv[2]));
    } catch (const std::exception &) {
      Usage (std::string ("bad run count ") + Argv[2]);
    }
    return bench::Run (Runs, std::cout, Argc == 4 ? Argv[3] : "");
  }
  if (Argc == 2 && std::string (Argv[1]) == "--board-map") {
    for (const boardmap::Device &D : boardmap::kDevices) {
      char Line[160];
      std::snprintf (Line, sizeof (Line), "%-30s 0x%08llX-0x%08llX  %s\n", D.Name, static_cast<unsigned long long> (D.Base),
                     static_cast<unsigned long long> (D.Base + D.Size - 1), D.What);
      std::cout << Line;
    }
    for (const char *A : boardmap::kAttached) std::cout << A << "\n";
    return 0;
  }
  if (Argc == 2 && std::string (Argv[1]) == "--fuzz-list") {
    for (const fuzz::Target &T : fuzz::Targets ()) std::cout << T.Name << ": " << T.Surface << "\n";
    return 0;
  }
  auto Started = std::chrono::steady_clock::now ();
  Board B;
  // A volume boots the board in its factory state, which the options below
  // then change.
  bool Bare = false, AnyVolume = false;
  for (int I = 1; I < Argc; I++) {
    Bare = Bare || std::string (Argv[I]) == "--bare";
    AnyVolume = AnyVolume || std::string (Argv[I]) == "--fv";
  }
  if (AnyVolume && !Bare) boardmap::ApplyFactoryState (B);
  std::string ReportDir, PublishedFile, ScenarioFile, Network;
  std::vector<std::string> Images, Volumes, Apps;
  unsigned ReadyToBoot = 1;
  uint64_t RunSeconds = 0;
  std::string DumpAcpiDir;
  std::string FlashFile, DumpSmbiosFile;
  try {
    for (int I = 1; I < Argc; I++) {
      std::string A = Argv[I];
      auto Value = [&] () -> std::string {
        if (I + 1 >= Argc) Usage (A + " needs a value");
        return Argv[++I];
      };
      if (A == "--setup" || A == "--setup-size") {
        std::string V = Value ();
        size_t Eq = V.find ('=');
        size_t Dot = V.find ('.');
        std::string Name = V.substr (0, A == "--setup" ? Dot : Eq);
        const platform::SetupVariable *Var = platform::FindSetupVariable (Name);
        if (Var == nullptr || Eq == std::string::npos || (A == "--setup" && Dot > Eq)) Usage ("bad " + A + " " + V);
        if (A == "--setup") {
          scenario::ApplyDirective (B, "setup", V);
        } else {
          std::vector<uint8_t> Bytes = B.Setup (*Var);
          Bytes.resize (Number (V.substr (Eq + 1)), 0);
          B.SetSetup (*Var, Bytes.empty () ? std::vector<uint8_t>{} : Bytes);
        }
      } else if (A == "--pcd") {
        std::string V = Value ();
        size_t Eq = V.find ('=');
        std::string Name = V.substr (0, Eq);
        uint64_t N = Number (V.substr (Eq + 1));
        if (Name == "PcdSerialPortBaseAddress") {
          B.Fw.SetPcdValue (platform::kPlatformTokenSpace, platform::kPcdSerialPortBaseAddress, N);
        } else if (Name == "PcdRecoveryParameter") {
          B.Fw.SetPcdValue (platform::kRecoveryParamTokenSpace, platform::kPcdRecoveryParameter, N);
        } else {
          Usage ("unknown PCD " + Name);
        }
      } else if (A == "--debug-mask") {
        B.InstallDebugMask (Number (Value ()));
      } else if (A == "--ready-to-boot") {
        ReadyToBoot = static_cast<unsigned> (Number (Value ()));
      } else if (A == "--run-seconds") {
        RunSeconds = Number (Value ());
      } else if (A == "--spcr") {
        B.SetPlatformSpcrCount (static_cast<unsigned> (Number (Value ())));
      } else if (A == "--dump-acpi") {
        DumpAcpiDir = Value ();
      } else if (A == "--flash") {
        FlashFile = Value ();
      } else if (A == "--dump-smbios") {
        DumpSmbiosFile = Value ();
      } else if (A == "--fv") {
        Volumes.push_back (Value ());
      } else if (A == "--bare") {
      } else if (A == "--report-dir") {
        ReportDir = Value ();
      } else if (A == "--published") {
        PublishedFile = Value ();
      } else if (A == "--flash-layout") {
        std::string V = Value ();
        std::vector<platform::FlashLayoutEntry> Entries;
        for (size_t At = 0; V != "none" && V != "empty" && At <= V.size ();) {
          size_t Comma = V.find (',', At);
          std::vector<uint32_t> W = Words (V.substr (At, Comma == std::string::npos ? std::string::npos : Comma - At));
          if (W.size () != 4) Usage ("a layout entry has four words: " + V);
          Entries.push_back ({W[0], W[1], W[2], W[3]});
          At = Comma == std::string::npos ? V.size () + 1 : Comma + 1;
        }
        B.Hobs.RemoveGuid (platform::kFlashLayoutInfoHob);
        if (V != "none") platform::SetFlashLayout (B.Hobs, Entries);
      } else if (A == "--flash-layout-summary") {
        std::string V = Value ();
        B.Hobs.RemoveGuid (platform::kFlashLayoutGlobalHob);
        if (V != "none") {
          std::vector<uint32_t> W = Words (V);
          if (W.size () != 2) Usage ("the layout summary has two values: " + V);
          platform::SetFlashLayoutGlobal (B.Hobs, W[0], W[1]);
        }
      } else if (A == "--sockets") {
        uint64_t N = Number (Value ());
        if (N < 1 || N > ScpSet::kMaxSockets) Usage ("the board has 1 or 2 sockets");
        B.SetSockets (static_cast<unsigned> (N));
      } else if (A == "--temperature" || A == "--silent-socket") {
        // Give --sockets first: these name a socket the board has.
        scenario::ApplyDirective (B, A.substr (2), Value ());
      } else if (A == "--run-before-ready-to-boot") {
        B.RunBeforeReadyToBootNs = Number (Value ()) * 1000000000ULL;
      } else if (A == "--boot-option") {
        scenario::ApplyBootOption (B, Value ());
      } else if (A == "--boot-order") {
        scenario::ApplyBootOrder (B, Value ());
      } else if (A == "--network") {
        Network = Value ();
        scenario::ApplyNetwork (B, Network);
      } else if (A == "--scenario") {
        ScenarioFile = Value ();
      } else if (A == "--app") {
        Apps.push_back (Value ());
      } else if (A == "--budget") {
        B.M.SetBudget (Number (Value ()));
      } else if (!A.empty () && A[0] == '-') {
        Usage ("unknown option " + A);
      } else {
        Images.push_back (A);
      }
    }
  } catch (const std::exception &E) {
    Usage (std::string ("bad value: ") + E.what ());
  }
  if (!ScenarioFile.empty ()) {
    if (Volumes.empty ()) Usage ("--scenario needs --fv volumes");
    scenario::Options O;
    O.Volumes = Volumes;
    O.Network = Network;
    O.ReportDir = ReportDir;
    return scenario::Run (ScenarioFile, O, std::cout, std::cerr);
  }
  if (!Images.empty () && !Volumes.empty ()) Usage ("give either images or --fv volumes");
  if (Volumes.empty () && (Bare || !ReportDir.empty () || !PublishedFile.empty ())) {
    Usage ("--bare, --report-dir and --published go with --fv");
  }
  if (Images.empty () && Volumes.empty () && Apps.empty ()) Usage ("give images, --fv volumes or --app applications");
  try {
    if (!FlashFile.empty () && B.Flash.LoadIfPresent (FlashFile)) std::cout << "flash image loaded from " << FlashFile << "\n";
  } catch (const std::exception &E) {
    std::cerr << "vboard: --flash: " << E.what () << "\n";
    return 2;
  }

  if (!Volumes.empty ()) return BootVolumes (B, Volumes, ReadyToBoot, Apps, RunSeconds, ReportDir, FlashFile, PublishedFile, Started);

  int Exit = 0;
  try {
    if (!Images.empty () || Apps.empty ()) {
      for (const auto &R : B.DefaultBoot (Images, ReadyToBoot)) {
        std::cout << "image " << R.Image << ": entry point returned " << efi::StatusName (R.Status)
                  << (R.Unloaded ? " (unloaded)" : "") << "\n";
      }
    }
    for (const std::string &App : Apps) {
      if (B.M.Stopped ()) break;
      uint64_t Status = B.Boot.Boot (App);
      std::cout << "application " << App << ": returned " << efi::StatusName (Status) << "\n";
    }
    if (RunSeconds != 0 && !B.M.Stopped ()) {
      B.Fw.AdvanceTime (RunSeconds * 1000000000ULL);
    }
  } catch (const std::exception &E) {
    std::cerr << "vboard: " << E.what () << "\n";
    return 2;
  }

  PrintLog ("UART 0x20000000", B.Uart0.Text ());
  PrintLog ("UART 0x20001000", B.Uart1.Text ());
  std::cout << "---- published\n" << B.PublishedSummary ();
  if (!Apps.empty ()) {
    for (const auto &L : B.Boot.Loads) {
      std::cout << "---- LoadImage (BootPolicy " << (L.BootPolicy ? "TRUE" : "FALSE") << ", parent " << L.Parent << ", "
                << devpath::Text (L.DevicePath) << "): " << efi::StatusName (L.Status) << "\n";
    }
    unsigned Last = 0;
    for (unsigned R = 0; R < TextConsole::kRows; R++) {
      if (!B.Console.Row (R).empty ()) Last = R + 1;
    }
    std::cout << "---- console screen (" << Last << " rows in use)\n";
    for (unsigned R = 0; R < Last; R++) std::cout << B.Console.Row (R) << "\n";
  }
  std::cout << "---- ACPI tables" << (B.Acpi.Tables ().empty () ? " (none)" : "") << "\n";
  for (const AcpiTable &T : B.Acpi.Tables ()) {
    std::cout << T.Signature << ": " << B.Acpi.Bytes (T).size () << " bytes, installed by " << T.Installer << "\n";
  }
  if (!DumpAcpiDir.empty ()) {
    try {
      std::filesystem::create_directories (DumpAcpiDir);
      for (const std::string &Name : B.Acpi.Dump (DumpAcpiDir)) std::cout << "dumped " << DumpAcpiDir << "/" << Name << "\n";
    } catch (const std::exception &E) {
      std::cerr << "vboard: --dump-acpi: " << E.what () << "\n";
      Exit = 2;
    }
  }
  std::cout << "---- IPMI commands sent to the BMC\n";
  for (const IpmiSent &S : B.Ipmi.Sent) std::cout << Describe (S) << "\n";
  try {
    if (!FlashFile.empty ()) {
      B.Flash.Save (FlashFile);
      std::cout << "flash image written to " << FlashFile << "\n";
    }
    if (!DumpSmbiosFile.empty ()) {
      B.Smbios.WriteDump (DumpSmbiosFile);
      std::cout << "SMBIOS table written to " << DumpSmbiosFile << "\n";
    }
  } catch (const std::exception &E) {
    std::cerr << "vboard: " << E.what () << "\n";
    Exit = 2;
  }
  for (const std::string &M : B.Scp.Malformed ()) std::cout << "---- SCMI request malformed: " << M << "\n";
  for (const std::string &S : B.Registers.Stray) std::cout << "---- stray platform-register access: " << S << "\n";
  if (B.M.Halted ()) {
    bool Off = !B.Fw.ResetCalls.empty () && B.Fw.ResetCalls.back () == 2;   // EfiResetShutdown
    std::cout << (Off ? "---- board powered off: " : "---- board halted: ") << B.M.HaltReason () << "\n";
  }
  if (B.M.Faulted ()) {
    std::cout << "---- " << B.FaultReport ();
    Exit = 1;
  } else {
    auto Leaks = B.Fw.FindLeaks ();
    for (const auto &L : Leaks) {
      std::cout << "---- leak: " << L.Block.Size << "-byte pool block allocated at " << L.Where << "\n";
    }
  }
  std::cout << "---- " << B.M.Instructions () << " instructions emulated\n";
  return Exit;
}
