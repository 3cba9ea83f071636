#include "tools/Bench.h"

#include "board/Board.h"
#include "board/BoardMap.h"
#include "fuzz/FuzzTargets.h"
#include "tools/Scenario.h"
#include "host/Snapshot.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace vboard::bench {

namespace {

using Clock = std::chrono::steady_clock;

double Seconds (Clock::time_point Since) { return std::chrono::duration<double> (Clock::now () - Since).count (); }

double Median (std::vector<double> V) {
  std::sort (V.begin (), V.end ());
  size_t N = V.size ();
  return N == 0 ? 0 : N % 2 == 1 ? V[N / 2] : (V[N / 2 - 1] + V[N / 2]) / 2;
}

// The inputs a target's speed is measured over: its seeds, then variants of
// them with a few bytes changed by a fixed generator, so every run of the
// benchmark feeds the same inputs.
constexpr unsigned kFuzzInputs = 24;

std::vector<std::vector<uint8_t>> FuzzInputs (const fuzz::Target &T) {
  std::vector<std::vector<uint8_t>> Seeds = T.Seeds ? T.Seeds () : std::vector<std::vector<uint8_t>>{std::vector<uint8_t> (64, 0)};
  std::vector<std::vector<uint8_t>> Out;
  uint64_t State = 0x9E3779B97F4A7C15ULL;
  auto Next = [&State] {
    State ^= State << 13, State ^= State >> 7, State ^= State << 17;
    return State;
  };
  for (unsigned I = 0; Out.size () < kFuzzInputs; I++) {
    std::vector<uint8_t> In = Seeds[I % Seeds.size ()];
    if (I >= Seeds.size ()) {
      if (In.empty ()) In.push_back (0);
      for (unsigned K = 0; K < 4; K++) In[Next () % In.size ()] = static_cast<uint8_t> (Next ());
    }
    Out.push_back (std::move (In));
  }
  return Out;
}

struct BootFigures {
  double Seconds;
  uint64_t Instructions;
  bool Clean;
};

// One whole-board boot of a volume as `vboard --fv` runs it: the factory
// state, the network serving the probe program, dispatch, ReadyToBoot and
// the boot manager's pass. The report is not part of it.
BootFigures Boot (const std::string &Volume) {
  Board B;
  boardmap::ApplyFactoryState (B);
  scenario::ApplyNetwork (B, "serve:" + fuzz::TestImagesDir () + "/NetBootProbe.efi");
  auto Start = Clock::now ();
  auto Results = B.BootVolumes ({Volume});
  double S = Seconds (Start);
  // Clean as the report counts it: every driver dispatched, no fault, and
  // no leak but what a handed-over application still holds.
  bool Clean = !B.M.Faulted () && !Results.empty () && Results.size () == B.Fw.Dxe.Drivers ().size ();
  std::vector<std::string> Running = B.Boot.RunningImages ();
  for (const LeakReport &L : B.Fw.FindLeaks ()) {
    Clean = Clean && std::find (Running.begin (), Running.end (), L.Owner) != Running.end ();
  }
  return {S, B.M.Instructions (), Clean};
}

std::string Replace (std::string Text, const std::string &From, const std::string &To) {
  size_t At = Text.rfind (From);
  return At == std::string::npos ? Text : Text.replace (At, From.size (), To);
}

}  // namespace

int Run (unsigned Runs, std::ostream &Out, const std::string &Only) {
  auto Wanted = [&Only] (const std::string &Row) { return Row.compare (0, Only.size (), Only) == 0; };
  if (Runs == 0) Runs = 1;
  int Status = 0;
  char Line[160];
  auto Row = [&] (const std::string &What, double Value, const char *Unit, const std::string &Note = "") {
    std::snprintf (Line, sizeof (Line), "%-34s %12.3f %-8s %s\n", What.c_str (), Value, Unit, Note.c_str ());
    Out << Line << std::flush;
  };
  Out << "median of " << Runs << " runs\n";

  std::vector<double> Build;
  for (unsigned R = 0; Wanted ("board construction") && R < std::max (Runs, 10u); R++) {
    auto Start = Clock::now ();
    { Board B; }
    Build.push_back (Seconds (Start));
  }
  if (!Build.empty ()) Row ("board construction", Median (Build) * 1000, "ms", "(construct and destroy)");
  // What the engine and the host charge for the means of a saved state.
  if (Wanted ("engine")) {
    Board B;
    std::vector<double> Copy, Context, Map;
    for (unsigned R = 0; R < std::max (Runs, 10u); R++) {
      auto Start = Clock::now ();
      RunInCopy ([] { return std::string (); });
      Copy.push_back (Seconds (Start));
      Start = Clock::now ();
      for (int I = 0; I < 100; I++) B.M.MapRam (0x30000000, 0x1000), B.M.Unmap (0x30000000, 0x1000);
      Map.push_back (Seconds (Start) / 100);
    }
    Row ("engine: process copy, empty run", Median (Copy) * 1000, "ms", "(fork, exit, wait)");
    Row ("engine: map+unmap of 4 KiB", Median (Map) * 1e6, "us", "(" + std::to_string (B.M.RegionCount ()) + " regions mapped)");
  }

  std::string Debug = fuzz::ImagesDir () + "/../FV/ARMSERVERFEATUREFV.Fv";
  std::string Release = Replace (Debug, "DEBUG_", "RELEASE_");
  for (const auto &[Name, Volume] : {std::pair<std::string, std::string>{"DEBUG", Debug}, {"RELEASE", Release}}) {
    if (!Wanted (Name)) continue;
    std::vector<double> Wall, Rate;
    uint64_t Instructions = 0;
    for (unsigned R = 0; R < Runs; R++) {
      BootFigures F = Boot (Volume);
      if (!F.Clean) {
        Out << Name << " volume boot did not complete cleanly\n";
        Status = 1;
      }
      Wall.push_back (F.Seconds);
      Rate.push_back (F.Instructions / F.Seconds / 1e6);
      Instructions = F.Instructions;
    }
    Row (Name + " volume boot", Median (Wall) * 1000, "ms", std::to_string (Instructions) + " instructions");
    Row (Name + " emulated instructions/s", Median (Rate), "M/s");
    if (Name == "DEBUG") {
      // The same boot on an engine of its own, as the first board of a
      // process (one `vboard --fv`) has it: every block translated anew.
      std::vector<double> Fresh;
      bool Reuse = Machine::EngineReuse ();
      Machine::SetEngineReuse (false);
      for (unsigned R = 0; R < Runs; R++) Fresh.push_back (Boot (Volume).Seconds);
      Machine::SetEngineReuse (Reuse);
      Row (Name + " boot, fresh engine", Median (Fresh) * 1000, "ms", "(nothing translated before)");
    }
  }

  for (const fuzz::Target &T : fuzz::Targets ()) {
    if (!Wanted (std::string ("fuzz ") + T.Name)) continue;
    std::vector<std::vector<uint8_t>> Inputs = FuzzInputs (T);
    std::vector<double> Rate;
    unsigned Faults = 0;
    for (unsigned R = 0; R < Runs; R++) {
      uint64_t Blocks = 0;
      auto Start = Clock::now ();
      for (const auto &In : Inputs) {
        // Coverage on, as the fuzzer runs a target.
        std::string Fault = fuzz::RunOne (T, In.data (), In.size (), [&Blocks] (const std::string &, uint64_t, uint64_t Count) { Blocks += Count; });
        Faults += !Fault.empty ();
      }
      Rate.push_back (Inputs.size () / Seconds (Start));
    }
    Row (std::string ("fuzz ") + T.Name, Median (Rate), "exec/s",
         std::to_string (Inputs.size ()) + " inputs" + (Faults ? ", " + std::to_string (Faults / Runs) + " faulted" : ""));
  }
  return Status;
}

}  // namespace vboard::bench
