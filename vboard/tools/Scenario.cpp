#include "tools/Scenario.h"

#include "board/Board.h"
#include "board/BoardMap.h"
#include "edk2/Edk2Dxe.h"
#include "host/Files.h"
#include "tools/Report.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <sstream>
#include <stdexcept>

namespace vboard::scenario {

namespace fs = std::filesystem;

namespace {

struct Line {
  unsigned Number;
  unsigned Boot;                  // 0: every boot
  std::string Verb, Rest;
};

uint64_t Number (const std::string &Text) {
  size_t End = 0;
  uint64_t V = std::stoull (Text, &End, 0);
  if (End != Text.size ()) throw std::invalid_argument ("not a number: " + Text);
  return V;
}

std::string Trim (std::string S) {
  size_t Hash = S.find ('#');
  if (Hash != std::string::npos) S.erase (Hash);
  S.erase (0, S.find_first_not_of (" \t\r"));
  while (!S.empty () && (S.back () == ' ' || S.back () == '\t' || S.back () == '\r')) S.pop_back ();
  return S;
}

std::pair<std::string, std::string> Split (const std::string &S) {
  size_t Space = S.find_first_of (" \t");
  if (Space == std::string::npos) return {S, ""};
  return {S.substr (0, Space), Trim (S.substr (Space + 1))};
}

// "NAME.OFFSET=VALUE" of a setup variable.
struct SetupByte {
  const platform::SetupVariable *Var;
  size_t Offset;
  uint8_t Value;
};
SetupByte ParseSetupByte (const std::string &S) {
  size_t Dot = S.find ('.'), Eq = S.find ('=');
  if (Dot == std::string::npos || Eq == std::string::npos || Dot > Eq) throw std::invalid_argument ("expected NAME.OFFSET=VALUE: " + S);
  const platform::SetupVariable *V = platform::FindSetupVariable (S.substr (0, Dot));
  if (V == nullptr) throw std::invalid_argument ("no setup variable " + S.substr (0, Dot));
  uint64_t Value = Number (S.substr (Eq + 1));
  if (Value > 0xFF) throw std::invalid_argument ("a byte is at most 255: " + S);
  return {V, Number (S.substr (Dot + 1, Eq - Dot - 1)), static_cast<uint8_t> (Value)};
}

// "A=B" with both numbers.
std::pair<uint64_t, uint64_t> Pair (const std::string &S) {
  size_t Eq = S.find ('=');
  if (Eq == std::string::npos) throw std::invalid_argument ("expected A=B: " + S);
  return {Number (S.substr (0, Eq)), Number (S.substr (Eq + 1))};
}

}  // namespace

void ApplyDirective (Board &B, const std::string &Verb, const std::string &R) {
  if (Verb == "setup") {
    SetupByte S = ParseSetupByte (R);
    B.SetSetupByte (*S.Var, S.Offset, S.Value);
  } else if (Verb == "temperature") {
    auto [Socket, C] = Pair (R);
    if (Socket >= B.Scp.Count ()) {
      throw std::invalid_argument ("no socket " + std::to_string (Socket) + " (the board has " + std::to_string (B.Scp.Count ()) + ")");
    }
    B.Scp[static_cast<unsigned> (Socket)].TemperatureC = static_cast<uint32_t> (C);
  } else if (Verb == "silent-socket") {
    uint64_t Socket = Number (R);
    if (Socket >= B.Scp.Count ()) {
      throw std::invalid_argument ("no socket " + R + " (the board has " + std::to_string (B.Scp.Count ()) + ")");
    }
    B.Scp[static_cast<unsigned> (Socket)].Mode = SystemControlProcessor::Reply::Never;
  } else if (Verb == "bmc") {
    auto [What, Arg] = Split (R);
    if (What == "sel-entries") {
      for (uint64_t I = 0, N = Number (Arg); I < N; I++) B.Bmc.AddSelEntry ();
    } else if (What == "fail") {
      size_t Colon = Arg.find (':'), Eq = Arg.find ('=');
      if (Colon == std::string::npos || Eq == std::string::npos || Colon > Eq) throw std::invalid_argument ("expected NETFN:CMD=CC: " + Arg);
      Bmc::Failure F;
      F.CompletionCode = static_cast<uint8_t> (Number (Arg.substr (Eq + 1)));
      B.Bmc.Fail (static_cast<uint8_t> (Number (Arg.substr (0, Colon))), static_cast<uint8_t> (Number (Arg.substr (Colon + 1, Eq - Colon - 1))), F);
    } else if (What == "not-ready") {
      B.Bmc.Ready = 0;
    } else {
      throw std::invalid_argument ("unknown bmc directive " + What);
    }
  } else if (Verb == "flash") {
    auto [What, Arg] = Split (R);
    if (What == "fail-write") {
      B.Flash.FailWrite = Number (Arg);
    } else if (What == "fail-erase") {
      B.Flash.FailErase = Number (Arg);
    } else if (What == "ignore-write-enable") {
      B.NorFlash.IgnoreWriteEnable = true;
    } else if (What == "wp-low") {
      B.NorFlash.WriteProtectPinLow = true;
    } else if (What == "srp") {
      std::array<uint8_t, 3> Sr = B.NorFlash.NonVolatileStatus ();
      Sr[0] |= SpiNorFlash::kSr1Srp;
      B.NorFlash.SetNonVolatileStatus (Sr);
    } else {
      throw std::invalid_argument ("unknown flash directive " + What);
    }
  } else if (Verb == "boot-option") {
    ApplyBootOption (B, R);
  } else if (Verb == "boot-order") {
    ApplyBootOrder (B, R);
  } else if (Verb == "network") {
    ApplyNetwork (B, R);
  } else {
    throw std::invalid_argument ("unknown directive " + Verb);
  }
}

namespace {

// Checks one expectation; "" when it holds, else what was found.
std::string Check (Board &B, const std::string &What, const std::string &Report, bool GaveUp = false) {
  auto [Kind, Arg] = Split (What);
  if (Kind == "report" || Kind == "no-report") {
    bool Found = Report.find (Arg) != std::string::npos;
    return Found == (Kind == "report") ? "" : (Found ? "the report contains it" : "the report does not contain it");
  }
  if (Kind == "powered-off" || Kind == "running") {
    // A boot manager that gives up (no boot option booted) and powers off
    // leaves the board as the board's core does when it stops there.
    bool Off = B.M.Halted () && !B.Fw.ResetCalls.empty () && B.Fw.ResetCalls.back () == 2 && !GaveUp;
    return Off == (Kind == "powered-off") ? "" : (Off ? "the board powered off" : "the board did not power off");
  }
  if (Kind == "setup") {
    SetupByte S = ParseSetupByte (Arg);
    std::vector<uint8_t> Bytes = B.Setup (*S.Var);
    if (S.Offset >= Bytes.size ()) return "the variable holds " + std::to_string (Bytes.size ()) + " bytes";
    return Bytes[S.Offset] == S.Value ? "" : "it holds " + std::to_string (Bytes[S.Offset]);
  }
  if (Kind == "protected" || Kind == "writable") {
    bool P = B.NorFlash.Protected (Number (Arg));
    return P == (Kind == "protected") ? "" : (P ? "protected" : "writable");
  }
  if (Kind == "event-log-records") {
    uint64_t Used = 0;
    uint64_t N = report::EventLog (B, Used).size ();
    return N == Number (Arg) ? "" : std::to_string (N) + " records";
  }
  if (Kind == "bmc-sel") {
    return B.Bmc.Sel.size () == Number (Arg) ? "" : std::to_string (B.Bmc.Sel.size ()) + " entries";
  }
  throw std::invalid_argument ("unknown expectation " + Kind);
}

}  // namespace

void ApplyBootOption (Board &B, const std::string &Spec) {
  size_t Eq = Spec.find ('=');
  if (Eq == std::string::npos) throw std::invalid_argument ("expected N=KIND: " + Spec);
  uint64_t N = std::stoull (Spec.substr (0, Eq), nullptr, 16);
  if (N > 0xFFFF) throw std::invalid_argument ("bad boot option number " + Spec);
  std::string Kind = Spec.substr (Eq + 1);
  uint32_t Attributes = kLoadOptionActive;
  if (Kind.rfind ("inactive:", 0) == 0) {
    Attributes = 0;
    Kind = Kind.substr (9);
  }
  devpath::Bytes Path;
  if (Kind == "pxe4") {
    Path = B.Nic.Pxe4Path ();
  } else if (Kind == "pxe6") {
    Path = B.Nic.Pxe6Path ();
  } else if (Kind == "disk") {
    Path = devpath::Join ({devpath::PciRoot (0), devpath::Pci (3, 0), devpath::HardDrive (1), devpath::End ()});
  } else if (Kind.rfind ("http:", 0) == 0) {
    Path = devpath::Join ({devpath::PciRoot (0), devpath::Pci (1, 0), devpath::Uri (Kind.substr (5)), devpath::End ()});
  } else {
    throw std::invalid_argument ("bad boot option kind " + Kind);
  }
  B.Boot.SetOption (static_cast<uint16_t> (N), LoadOption (Attributes, Utf16 (Kind), Path));
}

void ApplyBootOrder (Board &B, const std::string &Spec) {
  std::vector<uint16_t> Order;
  for (size_t At = 0; At <= Spec.size ();) {
    size_t Comma = std::min (Spec.find (',', At), Spec.size ());
    uint64_t N = std::stoull (Spec.substr (At, Comma - At), nullptr, 16);
    if (N > 0xFFFF) throw std::invalid_argument ("bad boot order " + Spec);
    Order.push_back (static_cast<uint16_t> (N));
    At = Comma + 1;
  }
  B.Boot.SetBootOrder (Order);
}

void ApplyNetwork (Board &B, const std::string &Spec) {
  if (Spec.rfind ("serve:", 0) == 0) {
    B.Nic.State = NetworkDevice::Network::Serves;
    B.Nic.BootFile = Spec.substr (6);
  } else if (Spec == "nolink") {
    B.Nic.State = NetworkDevice::Network::NoLink;
  } else if (Spec == "noserver") {
    B.Nic.State = NetworkDevice::Network::NoServer;
  } else if (Spec == "nofile") {
    B.Nic.State = NetworkDevice::Network::NoFile;
  } else {
    throw std::invalid_argument ("bad network state " + Spec);
  }
}

void CarryOver (Board &Previous, Board &Next) {
  // What survives a power cycle: the flash array and the part's
  // non-volatile status registers (its volatile locks come back set), the
  // non-volatile variables, the BMC, which keeps running, and the clock.
  Next.Flash.SetImage (Previous.Flash.Image ());
  Next.NorFlash.SetNonVolatileStatus (Previous.NorFlash.NonVolatileStatus ());
  VariableStore Kept;
  for (const VariableRecord &V : Previous.Fw.Variables ()) {
    if ((V.Attributes & efi::VariableNonVolatile) != 0) Kept.Set (V.Name, V.Vendor, V.Attributes, V.Data);
  }
  Next.Fw.Vars = Kept;
  // The BMC's SEL, erase and policy state carry over; a failure or a
  // not-ready state a scenario set applies to the boot it was set for.
  Next.Bmc = Previous.Bmc;
  Next.Bmc.Log.clear ();
  Next.Bmc.AfterCommand = nullptr;
  Next.Bmc.ClearFailures ();
  Next.Bmc.Ready = 1;
  Next.Fw.Rtc = Previous.Fw.CurrentTime ();
}

int Run (const std::string &File, const Options &O, std::ostream &Out, std::ostream &Err) {
  // Parse the whole file first: a scenario with a bad line boots nothing.
  std::vector<Line> Lines;
  unsigned Boots = 1, Section = 0;
  std::unique_ptr<Board> Scratch;   // where each state directive's form is checked
  try {
    std::vector<uint8_t> Bytes = ReadWholeFile (File);
    std::istringstream In (std::string (Bytes.begin (), Bytes.end ()));
    std::string Text;
    for (unsigned N = 1; std::getline (In, Text); N++) {
      std::string T = Trim (Text);
      if (T.empty ()) continue;
      auto [Verb, Rest] = Split (T);
      try {
        if (Verb == "boots") {
          Boots = static_cast<unsigned> (Number (Rest));
          if (Boots < 1 || Boots > 16) throw std::invalid_argument ("1 to 16 boots");
        } else if (Verb == "boot") {
          Section = static_cast<unsigned> (Number (Rest));
          if (Section < 1) throw std::invalid_argument ("boots count from 1");
        } else {
          Lines.push_back ({N, Section, Verb, Rest});
          // Check the directive's form on a scratch board now.
          if (Verb != "expect" && Verb != "expect-at-power-on" && Verb != "run-seconds") {
            if (!Scratch) {
              Scratch = std::make_unique<Board> ();
              boardmap::ApplyFactoryState (*Scratch);
            }
            ApplyDirective (*Scratch, Verb, Rest);
          } else if (Verb == "run-seconds") {
            Number (Rest);
          }
        }
      } catch (const std::exception &E) {
        Err << "vboard: " << File << ":" << N << ": " << E.what () << "\n";
        return 2;
      }
    }
    for (const Line &L : Lines) {
      if (L.Boot > Boots) {
        Err << "vboard: " << File << ":" << L.Number << ": boot " << L.Boot << " of " << Boots << "\n";
        return 2;
      }
    }
  } catch (const std::exception &E) {
    Err << "vboard: --scenario: " << E.what () << "\n";
    return 2;
  }

  int Result = 0;
  unsigned Checks = 0, Failed = 0;
  std::unique_ptr<Board> Previous;
  for (unsigned K = 1; K <= Boots; K++) {
    auto Started = std::chrono::steady_clock::now ();
    auto B = std::make_unique<Board> ();
    boardmap::ApplyFactoryState (*B);
    if (!O.Network.empty ()) ApplyNetwork (*B, O.Network);
    if (Previous) CarryOver (*Previous, *B);
    Out << "==== boot " << K << " of " << Boots << "\n";
    uint64_t RunSeconds = 0;
    std::vector<const Line *> Expect, AtPowerOn;
    for (const Line &L : Lines) {
      if (L.Boot != 0 && L.Boot != K) continue;
      if (L.Verb == "expect") {
        Expect.push_back (&L);
      } else if (L.Verb == "expect-at-power-on") {
        AtPowerOn.push_back (&L);
      } else if (L.Verb == "run-seconds") {
        RunSeconds = Number (L.Rest);
      } else {
        ApplyDirective (*B, L.Verb, L.Rest);
      }
    }
    bool GaveUp = false;
    auto Verify = [&] (const Line &L, const std::string &Report) {
      Checks++;
      std::string Found = Check (*B, L.Rest, Report, GaveUp);
      Out << (Found.empty () ? "  ok    " : "  FAIL  ") << File << ":" << L.Number << ": " << L.Verb << " " << L.Rest
          << (Found.empty () ? "" : " (" + Found + ")") << "\n";
      if (!Found.empty ()) Failed++;
    };
    for (const Line *L : AtPowerOn) Verify (*L, "");

    std::string Dir;
    bool Good = false;
    std::ostringstream Report;
    std::unique_ptr<Edk2Dxe> Dxe;
    try {
      std::unique_ptr<report::Published> P;
      if (O.Edk2) {
        Dxe = std::make_unique<Edk2Dxe> (*B);
        Dxe->Boot (O.Volumes);
        P = report::OfEdk2 (*B, *Dxe);
      } else {
        B->BootVolumes (O.Volumes);
        P = report::OfBoardCore (*B);
      }
      if (RunSeconds != 0 && !B->M.Stopped ()) B->Fw.AdvanceTime (RunSeconds * 1000000000ULL);
      report::Run R;
      R.Volumes = O.Volumes;
      R.WallSeconds = std::chrono::duration<double> (std::chrono::steady_clock::now () - Started).count ();
      if (O.ReportDir.empty ()) {
        std::string Template = (fs::temp_directory_path () / "vboard-scenario.XXXXXX").string ();
        if (::mkdtemp (Template.data ()) == nullptr) throw std::runtime_error ("cannot create a temporary directory");
        Dir = Template;
      } else {
        Dir = O.ReportDir + "/boot-" + std::to_string (K);
        fs::create_directories (Dir);
      }
      report::WriteArtefacts (*P, Dir);
      Good = report::Print (*P, R, Dir, Report);
      if (O.AfterBoot) O.AfterBoot (K, *P);
      GaveUp = P->GaveUp ();
      if (!O.ReportDir.empty ()) WriteWholeFile (Dir + "/report.txt", Report.str ());
    } catch (const std::exception &E) {
      Err << "vboard: boot " << K << ": " << E.what () << "\n";
      if (O.ReportDir.empty () && !Dir.empty ()) fs::remove_all (Dir);
      return 2;
    }
    if (O.ReportDir.empty ()) fs::remove_all (Dir);
    Out << Report.str ();
    if (!Good) Result = 1;
    for (const Line *L : Expect) Verify (*L, Report.str ());
    Dxe.reset ();
    Previous = std::move (B);
  }
  Out << "==== scenario " << File << ": " << Boots << " boots, " << Checks - Failed << " of " << Checks
      << " expectations held" << (Result != 0 ? "; a boot reported problems" : "") << "\n";
  return Failed != 0 ? 1 : Result;
}

}  // namespace vboard::scenario
