// vboard: boots a list of AARCH64 DXE images, or the firmware volumes of the
// package, on the default virtual board and prints what the UARTs received,
// what each image published, and any fault. `vboard --help` lists every
// option with what it does and the runs it applies to (kOptions below); an
// option given to a run it does nothing for is refused.
#include "board/Board.h"
#include "board/BoardMap.h"
#include "tools/Bench.h"
#include "tools/Report.h"
#include "edk2/Edk2Dxe.h"
#include "uefi/GuidNames.h"
#include "tools/Scenario.h"
#include "fuzz/FuzzTargets.h"
#include "images/FirmwareVolume.h"
#include "board/FlashLayout.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <chrono>
#include <sstream>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <cstdlib>
#include <iostream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

using namespace vboard;

namespace {

// The kinds of run. An option applies to some of them.
enum RunKind : unsigned {
  kImages = 1,     // IMAGE.efi arguments (and --app applications after them)
  kApps = 2,       // --app applications alone
  kVolumes = 4,    // --fv volumes and the whole-board report
  kScenario = 8,   // --fv volumes with --scenario
};
constexpr unsigned kBoards = kImages | kApps | kVolumes;

struct OptionInfo {
  const char *Name;
  const char *Value;   // nullptr: the option takes no value
  unsigned Runs;       // the runs it applies to
  const char *Help;
};

const OptionInfo kOptions[] = {
    {"--fv", "FILE", kVolumes | kScenario,
     "boot a firmware volume, its drivers dispatched by their dependency expressions, and print the whole-board "
     "report (the exit status is 1 when a driver was not dispatched, faulted or leaked)"},
    {"--core", "board|edk2", kVolumes | kScenario,
     "the core that boots the --fv volumes: the board's own (the default), or EDK II's DXE phase from the board's "
     "platform firmware (vboard/platform), whose volume comes first; the report is the same either way"},
    {"--bare", nullptr, kVolumes, "with --fv: the board without its factory state (no setup variables, no boot options, no "
                                  "boot manager pass)"},
    {"--report-dir", "DIR", kVolumes | kScenario,
     "keep the report and its artefacts (report.txt, smbios.bin, acpi/*.dat and *.dsl, flash.bin) in DIR"},
    {"--scenario", "FILE", kScenario, "with --fv: run the scenario in FILE (several boots and their checks; tools/Scenario.h)"},
    {"--published", "FILE", kVolumes, "with --fv: write what the boot published in a form that does not depend on where "
                                      "images landed"},
    {"--setup", "NAME.OFFSET=VALUE", kBoards, "set one byte of a setup variable (created zero-filled at its full size)"},
    {"--setup-size", "NAME=BYTES", kBoards, "store the setup variable with this many bytes"},
    {"--pcd", "NAME=VALUE", kBoards, "set PcdSerialPortBaseAddress or PcdRecoveryParameter"},
    {"--debug-mask", "VALUE", kBoards, "install EFI_DEBUG_MASK_PROTOCOL with this mask"},
    {"--ready-to-boot", "N", kImages | kVolumes, "signal ReadyToBoot N times after the drivers start (default 1)"},
    {"--run-before-ready-to-boot", "S", kImages | kVolumes,
     "let S seconds of simulated time pass after the drivers start and before ReadyToBoot"},
    {"--run-seconds", "N", kBoards, "let N seconds of simulated time pass at the end"},
    {"--budget", "N", kBoards, "instruction budget per call into the firmware (default 400000000)"},
    {"--spcr", "N", kBoards, "SPCR tables the platform installs (default 1; 0 or 2)"},
    {"--dump-acpi", "DIR", kBoards, "write each installed ACPI table to DIR/<signature>.dat (and the XSDT), for iasl -d"},
    {"--dump-smbios", "FILE", kBoards, "write the SMBIOS table to FILE, for dmidecode --from-dump"},
    {"--flash", "FILE", kBoards,
     "keep the 16 MiB boot flash in FILE: loaded at start when it exists, written back at exit; the part's status "
     "registers go to FILE.status"},
    {"--flash-layout", "ENTRIES", kBoards,
     "the flash-layout table HOB: W0:W1:W2:W3 entries separated by commas, \"empty\", or \"none\" for no HOB"},
    {"--flash-layout-summary", "V0:V1", kBoards, "the layout-summary HOB, or \"none\" for no HOB"},
    {"--sockets", "N", kBoards, "CPU sockets, 1 or 2 (default 2): one system-control processor each"},
    {"--temperature", "SOCKET=C", kBoards, "what that socket's SCP reads for sensor 0 (default 40); give --sockets first"},
    {"--silent-socket", "SOCKET", kBoards, "that socket's SCP never answers"},
    {"--boot-option", "N=KIND", kBoards,
     "store Boot#### (N hex): KIND is pxe4, pxe6, disk or http:URI; an \"inactive:\" prefix clears LOAD_OPTION_ACTIVE"},
    {"--boot-order", "N,N,...", kBoards, "BootOrder, hex option numbers"},
    {"--network", "STATE", kBoards | kScenario,
     "what the network device's PXE clients meet: serve:FILE, nolink, noserver (the default) or nofile"},
    {"--app", "FILE", kBoards, "after ReadyToBoot, start this UEFI application as the boot manager does"},
};

// Commands that are a run of their own and take nothing else.
struct CommandInfo {
  const char *Name;
  const char *Values;
  int Count;   // how many values; -N: up to N
  const char *Help;
};

const CommandInfo kCommands[] = {
    {"--help", "", 0, "print this list and exit"},
    {"--board-map", "", 0, "list the board's devices and their addresses"},
    {"--fuzz-list", "", 0, "list the fuzz targets and their input surfaces"},
    {"--fuzz-replay", " TARGET FILE", 2, "run one fuzz input on a fresh board as the fuzzer did and print the fault report"},
    {"--fuzz-write-seeds", " DIR", 1, "write each fuzz target's seed inputs to DIR/TARGET/"},
    {"--fuzz-modules", " TARGET", 1, "list the modules whose code counts as the fuzz target's coverage"},
    {"--compare-published", " FILE FILE", 2, "compare two --published files (one core's boot and the other's) once what "
                                            "cannot match between the cores is normalised; the exit status is 1 when "
                                            "they differ"},
    {"--bench", " [RUNS [ROW]]", -2, "time the board: construction, the DEBUG and RELEASE volume boots, each fuzz "
                                     "target's runs per second (median of RUNS runs, default 5), as a table; with ROW, "
                                     "only the rows whose name starts with it"},
};

// Options that may be given more than once, each time with its own effect.
// Any other option with a value takes it once: a second value would
// silently replace the first.
bool Repeatable (const OptionInfo &O) {
  static const std::set<std::string> kRepeatable = {"--fv",     "--app",         "--setup",      "--setup-size",
                                                    "--pcd",    "--temperature", "--silent-socket", "--boot-option"};
  return O.Value == nullptr || kRepeatable.count (O.Name) != 0;
}

const OptionInfo *FindOption (const std::string &Name) {
  for (const OptionInfo &O : kOptions) {
    if (Name == O.Name) return &O;
  }
  return nullptr;
}

const char *RunName (unsigned Run) {
  switch (Run) {
    case kImages: return "IMAGE.efi arguments";
    case kApps: return "--app applications alone";
    case kVolumes: return "--fv volumes";
    default: return "--scenario";
  }
}

void PrintHelp (std::ostream &Out) {
  Out << "usage: vboard [options] IMAGE.efi...        start the images, then ReadyToBoot and the --app applications\n"
         "       vboard [options] --app FILE...       start applications on the board\n"
         "       vboard [options] --fv VOLUME.Fv...   boot firmware volumes and print the whole-board report\n"
         "       vboard --fv VOLUME.Fv... --scenario FILE [--network STATE] [--report-dir DIR]\n";
  for (const CommandInfo &C : kCommands) Out << "       vboard " << C.Name << C.Values << "\n";
  Out << "\ncommands (nothing else on the command line):\n";
  char Line[512];
  for (const CommandInfo &C : kCommands) {
    std::snprintf (Line, sizeof (Line), "  %-30s %s\n", (std::string (C.Name) + C.Values).c_str (), C.Help);
    Out << Line;
  }
  Out << "\noptions (the runs each applies to in brackets; elsewhere it is refused):\n";
  for (const OptionInfo &O : kOptions) {
    std::string Runs;
    for (unsigned R : {kImages, kApps, kVolumes, kScenario}) {
      if ((O.Runs & R) == 0) continue;
      Runs += std::string (Runs.empty () ? "" : ", ") + (R == kImages ? "images" : R == kApps ? "apps" : R == kVolumes ? "fv" : "scenario");
    }
    std::string Name = std::string (O.Name) + (O.Value != nullptr ? std::string (" ") + O.Value : "");
    std::snprintf (Line, sizeof (Line), "  %-30s %s%s [%s]\n", Name.c_str (), O.Help,
                   O.Value != nullptr && Repeatable (O) ? "; repeatable" : "", Runs.c_str ());
    Out << Line;
  }
}

[[noreturn]] void Usage (const std::string &Why) {
  std::cerr << "vboard: " << Why << "\n(vboard --help lists the options)\n";
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

int ComparePublished (const std::string &First, const std::string &Second) {
  std::string Text[2];
  try {
    for (int I = 0; I < 2; I++) {
      std::vector<uint8_t> Bytes = ReadWholeFile (I == 0 ? First : Second);
      Text[I] = std::string (Bytes.begin (), Bytes.end ());
    }
  } catch (const std::exception &E) {
    std::cerr << "vboard: " << E.what () << "\n";
    return 2;
  }
  std::vector<std::string> Rules[2];
  std::string A = report::NormalisedState (Text[0], &Rules[0]), B = report::NormalisedState (Text[1], &Rules[1]);
  std::multiset<std::string> Lines[2];
  for (int I = 0; I < 2; I++) {
    std::istringstream In (I == 0 ? A : B);
    for (std::string L; std::getline (In, L);) Lines[I].insert (L);
  }
  if (A == B) {
    std::cout << "same published state, " << Lines[0].size () << " lines compared\n";
  } else {
    std::cout << "published states DIFFER:\n";
    for (int I = 0; I < 2; I++) {
      for (const std::string &L : Lines[I]) {
        if (Lines[1 - I].count (L) < Lines[I].count (L)) std::cout << "  only in " << (I == 0 ? First : Second) << ": " << L << "\n";
      }
    }
  }
  for (int I = 0; I < 2; I++) {
    for (const std::string &R : Rules[I]) std::cout << "  normalised in " << (I == 0 ? First : Second) << ": " << R << "\n";
  }
  return A == B ? 0 : 1;
}

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

// --dump-acpi and --dump-smbios: the tables as the firmware left them.
// Returns false (having said why) when a file cannot be written.
bool DumpTables (const report::Published &P, const std::string &AcpiDir, const std::string &SmbiosFile) {
  try {
    if (!AcpiDir.empty ()) {
      for (const std::string &Name : report::DumpAcpi (P, AcpiDir)) std::cout << "dumped " << AcpiDir << "/" << Name << "\n";
    }
    if (!SmbiosFile.empty ()) {
      WriteWholeFile (SmbiosFile, P.SmbiosDump ());
      std::cout << "SMBIOS table written to " << SmbiosFile << "\n";
    }
  } catch (const std::exception &E) {
    std::cerr << "vboard: " << E.what () << "\n";
    return false;
  }
  return true;
}

// What the report of a whole-board boot needs besides the board.
struct ReportFiles {
  std::string ReportDir, FlashFile, PublishedFile, DumpAcpiDir, DumpSmbiosFile;
};

// The whole-board report of a boot that has run, under either core: the
// artefacts, the report on standard output (and in the report directory),
// the published state and the dumps asked for.
int FinishReport (const report::Published &P, const std::vector<std::string> &Volumes, ReportFiles F,
                  std::chrono::steady_clock::time_point Started) {
  Board &B = P.B;
  report::Run Run;
  Run.Volumes = Volumes;
  Run.WallSeconds = std::chrono::duration<double> (std::chrono::steady_clock::now () - Started).count ();

  // The artefacts go to the report directory, or to a temporary one.
  std::string ReportDir = F.ReportDir;
  bool Temporary = ReportDir.empty ();
  try {
    if (Temporary) {
      std::string Template = (std::filesystem::temp_directory_path () / "vboard-report.XXXXXX").string ();
      if (::mkdtemp (Template.data ()) == nullptr) throw std::runtime_error ("cannot create a temporary directory");
      ReportDir = Template;
    } else {
      std::filesystem::create_directories (ReportDir);
    }
    report::WriteArtefacts (P, ReportDir);
    if (!F.FlashFile.empty ()) B.Flash.Save (F.FlashFile);
    if (!F.PublishedFile.empty ()) WriteWholeFile (F.PublishedFile, report::PublishedState (P));
  } catch (const std::exception &E) {
    std::cerr << "vboard: " << E.what () << "\n";
    if (Temporary && !ReportDir.empty ()) std::filesystem::remove_all (ReportDir);
    return 2;
  }
  std::ostringstream Text;
  bool Good = report::Print (P, Run, ReportDir, Text);
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
  if (!DumpTables (P, F.DumpAcpiDir, F.DumpSmbiosFile)) Exit = 2;
  if (!std::cout) {
    std::cerr << "vboard: the report could not be written to standard output\n";
    Exit = 2;
  }
  return Exit;
}

// The board platform's firmware (EDK II's own DXE phase with the package in
// its volume) booted on the board, and the whole-board report of what it
// left.
int BootEdk2 (Board &B, const std::vector<std::string> &Volumes, const ReportFiles &F,
              std::chrono::steady_clock::time_point Started) {
  Edk2Dxe Dxe (B);
  try {
    Dxe.Boot (Volumes);
  } catch (const std::exception &E) {
    std::cerr << "vboard: " << E.what () << "\n";
    return 2;
  }
  return FinishReport (*report::OfEdk2 (B, Dxe), Volumes, F, Started);
}

// The whole-board boot of firmware volumes and its report.
int BootVolumes (Board &B, const std::vector<std::string> &Volumes, unsigned ReadyToBoot, const std::vector<std::string> &Apps,
                 uint64_t RunSeconds, const ReportFiles &F, std::chrono::steady_clock::time_point Started) {
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
  return FinishReport (*report::OfBoardCore (B), Volumes, F, Started);
}

int main (int Argc, char **Argv) {
  // A command is the whole command line.
  for (int I = 1; I < Argc; I++) {
    for (const CommandInfo &C : kCommands) {
      if (std::string (Argv[I]) != C.Name) continue;
      if (I != 1 || (C.Count >= 0 ? Argc != 2 + C.Count : Argc > 2 - C.Count)) {
        Usage (std::string (C.Name) + (C.Count == 0 ? " takes nothing else on the command line"
                                                    : std::string (" takes exactly") + C.Values + " and nothing else"));
      }
    }
  }
  if (Argc == 2 && std::string (Argv[1]) == "--help") {
    PrintHelp (std::cout);
    return 0;
  }
  if (Argc == 4 && std::string (Argv[1]) == "--fuzz-replay") return FuzzReplay (Argv[2], Argv[3]);
  if (Argc == 4 && std::string (Argv[1]) == "--compare-published") return ComparePublished (Argv[2], Argv[3]);
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
  std::string ReportDir, PublishedFile, ScenarioFile, Network, Core = "board";
  std::vector<std::string> Images, Volumes, Apps;
  unsigned ReadyToBoot = 1;
  uint64_t RunSeconds = 0;
  std::string DumpAcpiDir;
  std::string FlashFile, DumpSmbiosFile;
  std::vector<std::string> Given;   // the options on the command line, in order
  try {
    for (int I = 1; I < Argc; I++) {
      std::string A = Argv[I];
      if (FindOption (A) != nullptr) Given.push_back (A);
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
      } else if (A == "--core") {
        Core = Value ();
        if (Core != "board" && Core != "edk2") Usage ("--core takes board or edk2");
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
  if (!ScenarioFile.empty () && Volumes.empty ()) Usage ("--scenario needs --fv volumes");
  if (!Images.empty () && !Volumes.empty ()) Usage ("give either images or --fv volumes");
  if (Images.empty () && Volumes.empty () && Apps.empty ()) Usage ("give images, --fv volumes or --app applications");
  unsigned Run = !ScenarioFile.empty () ? kScenario : !Volumes.empty () ? kVolumes : !Images.empty () ? kImages : kApps;
  for (const std::string &Name : Given) {
    const OptionInfo *O = FindOption (Name);
    if (!Repeatable (*O) && std::count (Given.begin (), Given.end (), Name) > 1) {
      Usage (Name + " is given more than once; it takes one value");
    }
    if ((O->Runs & Run) != 0) continue;
    std::string Reason;
    if (Run == kScenario) Reason = ": each boot of a scenario is set up by the scenario file";
    if (Run == kApps) Reason = ": nothing signals ReadyToBoot when no images or volumes start";
    Usage (Name + " does nothing with " + RunName (Run) + Reason);
  }
  if (!ScenarioFile.empty ()) {
    scenario::Options O;
    O.Volumes = Volumes;
    O.Edk2 = Core == "edk2";
    O.Network = Network;
    O.ReportDir = ReportDir;
    return scenario::Run (ScenarioFile, O, std::cout, std::cerr);
  }
  ReportFiles Files{ReportDir, FlashFile, PublishedFile, DumpAcpiDir, DumpSmbiosFile};
  if (Core == "edk2") {
    // BDS signals ReadyToBoot after its own timeout, and the run ends when
    // the platform powers off or stops; the board's PCD database and
    // debug-mask and SPCR settings are its own core's.
    for (const char *Refused : {"--ready-to-boot", "--run-before-ready-to-boot", "--run-seconds", "--pcd", "--debug-mask", "--spcr"}) {
      if (std::count (Given.begin (), Given.end (), Refused) != 0) Usage (std::string (Refused) + " does nothing with --core edk2");
    }
    if (Volumes.empty () || !Images.empty () || !Apps.empty ()) {
      Usage ("--core edk2 boots --fv volumes, the board platform's first; it takes no images or --app");
    }
  }
  try {
    if (!FlashFile.empty () && B.Flash.LoadIfPresent (FlashFile)) std::cout << "flash image loaded from " << FlashFile << "\n";
  } catch (const std::exception &E) {
    std::cerr << "vboard: --flash: " << E.what () << "\n";
    return 2;
  }

  if (Core == "edk2") return BootEdk2 (B, Volumes, Files, Started);
  if (!Volumes.empty ()) return BootVolumes (B, Volumes, ReadyToBoot, Apps, RunSeconds, Files, Started);

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
  if (!DumpTables (*report::OfBoardCore (B), DumpAcpiDir, "")) Exit = 2;
  std::cout << "---- IPMI commands sent to the BMC\n";
  for (const IpmiSent &S : B.Ipmi.Sent) std::cout << Describe (S) << "\n";
  try {
    if (!FlashFile.empty ()) {
      B.Flash.Save (FlashFile);
      std::cout << "flash image written to " << FlashFile << "\n";
    }
  } catch (const std::exception &E) {
    std::cerr << "vboard: " << E.what () << "\n";
    Exit = 2;
  }
  if (!DumpTables (*report::OfBoardCore (B), "", DumpSmbiosFile)) Exit = 2;
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
