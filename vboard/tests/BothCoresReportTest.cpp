// The same report and published state under both cores: the package volume
// booted by the board's own core and the board's platform firmware booted
// by EDK II's DXE core, from the factory state and through every shipped
// scenario, publish the same state once what cannot match is normalised
// (report::NormalisedState names each rule).
#include "edk2/Edk2Dxe.h"
#include "board/BoardMap.h"
#include "fuzz/FuzzTargets.h"
#include "host/Files.h"
#include "tests/TestSupport.h"
#include "tools/Report.h"
#include "tools/Scenario.h"
#include "uefi/GuidNames.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <memory>
#include <set>
#include <sstream>

namespace vboard {
namespace {

using namespace test;

// The lines only one side has, each marked with its side, for a failure
// message that names them.
std::string LineDiff (const std::string &Own, const std::string &Real) {
  auto Lines = [] (const std::string &Text) {
    std::multiset<std::string> Out;
    std::istringstream In (Text);
    std::string L;
    while (std::getline (In, L)) Out.insert (L);
    return Out;
  };
  std::multiset<std::string> A = Lines (Own), B = Lines (Real);
  std::string Out;
  auto Only = [&Out] (const std::multiset<std::string> &Side, const std::multiset<std::string> &Other, const char *Mark) {
    for (auto L = Side.begin (); L != Side.end (); L = Side.upper_bound (*L)) {
      if (Other.count (*L) < Side.count (*L)) Out += std::string ("  ") + Mark + *L + "\n";
    }
  };
  Only (A, B, "board core: ");
  Only (B, A, "EDK II:     ");
  return Out;
}

void ExpectSameState (const std::string &Own, const std::string &Real) {
  std::vector<std::string> OwnRules, RealRules;
  std::string A = report::NormalisedState (Own, &OwnRules), B = report::NormalisedState (Real, &RealRules);
  std::string Rules;
  for (const std::string &R : RealRules) Rules += "  " + R + "\n";
  EXPECT_EQ (A, B) << "lines that differ:\n" << LineDiff (A, B) << "normalised under EDK II:\n" << Rules;
  // The rules never empty the comparison.
  EXPECT_GT (std::count (A.begin (), A.end (), '\n'), 20);
}

// The factory-state board serving the network-boot probe, under both cores.
class BothCoresReport : public ::testing::Test {
 protected:
  static void SetUpTestSuite () {
    Own = new Board;
    FactoryBoard (*Own);
    Own->BootVolumes (std::vector<std::string>{PackageVolume ()});
    Real = new Board;
    FactoryBoard (*Real);
    Dxe = new Edk2Dxe (*Real);
    Dxe->Boot ({BoardPlatformVolume ()});
  }
  static void TearDownTestSuite () {
    delete Dxe;
    delete Real;
    delete Own;
  }
  static Board *Own, *Real;
  static Edk2Dxe *Dxe;
};
Board *BothCoresReport::Own, *BothCoresReport::Real;
Edk2Dxe *BothCoresReport::Dxe;

TEST_F (BothCoresReport, PublishedStateIsTheSame) {
  ASSERT_FALSE (Own->M.Faulted ()) << Own->FaultReport ();
  ASSERT_FALSE (Real->M.Faulted ()) << Real->FaultReport ();
  ExpectSameState (report::PublishedState (*report::OfBoardCore (*Own)),
                   report::PublishedState (*report::OfEdk2 (*Real, *Dxe)));
}

TEST_F (BothCoresReport, TheReportSaysTheSameOfEachPackageDriver) {
  // Each package driver's line (its status and what it left) and the
  // OS-visible summary lines are the same text under both cores.
  auto Report = [] (const report::Published &P) {
    TempFile Dir ("both-cores-report");
    std::filesystem::create_directories (Dir.Path);
    report::WriteArtefacts (P, Dir.Path);
    std::ostringstream Out;
    report::Run R;
    EXPECT_TRUE (report::Print (P, R, Dir.Path, Out)) << Out.str ();
    // Every line, by its first word (several SMBIOS "type" lines, say).
    std::map<std::string, std::vector<std::string>> Lines;
    std::istringstream In (Out.str ());
    std::string L;
    while (std::getline (In, L)) {
      std::istringstream W (L);
      std::string First;
      W >> First;
      // The event log's buffer lies wherever each core's pool put it, as
      // the published-state comparison allows too.
      static const std::regex kLogAddress ("Access Address: 0x[0-9A-F]+");
      Lines[First].push_back (std::regex_replace (L, kLogAddress, "Access Address: (pool)"));
    }
    return Lines;
  };
  auto Own = Report (*report::OfBoardCore (*BothCoresReport::Own));
  auto Real = Report (*report::OfEdk2 (*BothCoresReport::Real, *Dxe));
  std::vector<std::string> Keys = kPackageDrivers;
  for (const char *Summary : {"flash:", "BMC:", "PcdCpuTemperature", "firmware", "powered", "event", "SMBIOS", "type", "SPCR:"}) {
    Keys.push_back (Summary);
  }
  for (const std::string &Key : Keys) {
    SCOPED_TRACE (Key);
    ASSERT_TRUE (Own.count (Key) && Real.count (Key));
    EXPECT_EQ (Own[Key], Real[Key]);
  }
}

// Every shipped scenario passes under both cores, and each boot publishes
// the same normalised state under both.
TEST (BothCoresScenarios, EveryShippedScenarioPassesAndPublishesTheSameUnderBoth) {
  for (const auto &Entry : std::filesystem::directory_iterator (VBOARD_SCENARIOS)) {
    if (Entry.path ().extension () != ".scn") continue;
    std::string File = Entry.path ().string ();
    SCOPED_TRACE (File);
    std::map<unsigned, std::string> States[2];
    for (bool Edk2 : {false, true}) {
      scenario::Options O;
      O.Edk2 = Edk2;
      O.Volumes = {Edk2 ? BoardPlatformVolume () : PackageVolume ()};
      O.AfterBoot = [&] (unsigned K, const report::Published &P) { States[Edk2][K] = report::PublishedState (P); };
      std::ostringstream Out, Err;
      EXPECT_EQ (scenario::Run (File, O, Out, Err), 0) << (Edk2 ? "EDK II's core\n" : "the board's core\n") << Out.str () << Err.str ();
    }
    ASSERT_EQ (States[0].size (), States[1].size ());
    for (const auto &[K, State] : States[0]) {
      SCOPED_TRACE ("boot " + std::to_string (K));
      ExpectSameState (State, States[1][K]);
    }
  }
}

// One input placed on a factory board by Place, then the whole platform
// booted by each core (one boot per core).
// The input stays alive with the boards: a placement may read it while the
// boards run (the BMC's replies).
struct BothBoots {
  std::vector<uint8_t> Data;
  fuzz::Input OwnIn{Data.data (), Data.size ()}, RealIn{Data.data (), Data.size ()};
  Board Own, Real;
  std::unique_ptr<Edk2Dxe> Dxe;
  BothBoots (const fuzz::Target &T, std::vector<uint8_t> Input) : Data (std::move (Input)) {
    boardmap::ApplyFactoryState (Own);
    T.Place (Own, OwnIn);
    Own.BootVolumes (std::vector<std::string>{PackageVolume ()});
    boardmap::ApplyFactoryState (Real);
    T.Place (Real, RealIn);
    Dxe = std::make_unique<Edk2Dxe> (Real);
    Dxe->Boot ({BoardPlatformVolume ()});
  }
};

// Each fuzz target's checked-in corpus placed on a factory board that then
// boots the whole platform under each core: the same fault-or-not, and
// when neither faulted, the same normalised published state. The BMC
// replies reach both cores through the board's one IPMI transport; the
// ACPI sections replace the platform's own extra-ACPI file (marked deleted)
// from a further volume; the planted parser comes in a further volume.
TEST (BothCoresFuzzCorpus, EachInputPlacedOnTheWholePlatformGivesTheSameUnderBoth) {
  std::string Corpus = std::string (VBOARD_SCENARIOS) + "/../fuzz/corpus";
  unsigned Replayed = 0;
  std::set<std::string> Targets;
  for (const fuzz::Target &T : fuzz::Targets ()) {
    ASSERT_TRUE (T.Place) << T.Name;
    if (!std::filesystem::is_directory (Corpus + "/" + T.Name)) continue;
    for (const auto &Entry : std::filesystem::directory_iterator (Corpus + "/" + T.Name)) {
      SCOPED_TRACE (Entry.path ().string ());
      BothBoots Run (T, ReadWholeFile (Entry.path ().string ()));
      EXPECT_EQ (Run.Own.M.Faulted (), Run.Real.M.Faulted ()) << Run.Own.FaultReport () << Run.Real.FaultReport ();
      if (!Run.Own.M.Faulted () && !Run.Real.M.Faulted ()) {
        ExpectSameState (report::PublishedState (*report::OfBoardCore (Run.Own)),
                         report::PublishedState (*report::OfEdk2 (Run.Real, *Run.Dxe)));
      }
      if (std::string (T.Name) == "acpi-sections") {
        // The platform's own extra-ACPI file is passed over as deleted; the
        // input's volume, last, holds the one read.
        const auto &Volumes = Run.Own.Fw.Dxe.Volumes ();
        Guid File = names::Named ("gExtraAcpiTableFileGuid");
        EXPECT_EQ (Volumes.front ().Fv->FindFile (File), nullptr);
        EXPECT_NE (Volumes.back ().Fv->FindFile (File), nullptr);
      }
      if (std::string (T.Name) == "planted") {
        // The parser ran under both: its volume was dispatched.
        EXPECT_NE (Run.Own.Fw.Dxe.Find ("PlantedOverrun"), nullptr);
        const Edk2Dxe::Image *I = Run.Dxe->FindImage ("PlantedOverrun");
        EXPECT_TRUE (I != nullptr && I->Returned);
      }
      Replayed++;
      Targets.insert (T.Name);
    }
  }
  EXPECT_GE (Replayed, 11u);
  EXPECT_EQ (Targets.size (), fuzz::Targets ().size ());
}

// The planted off-by-one on the whole platform. A text record's terminator
// goes one byte past a pool block of the record's length. The board core
// ends each pool block at an unmapped guard page, with a canary in any
// slack before it that FreePool checks, so it finds the stray byte under
// both lengths. EDK II's pool has no guard pages: it
// rounds each block up to 8 bytes and puts its tail signature right after
// that, so a 4-byte record's stray byte lands in the rounding and goes
// unseen, while an 8-byte record's lands on the tail signature, which
// FreePool's ASSERT catches (the platform's debug build breaks on asserts).
TEST (BothCoresFuzzCorpus, ThePlantedOverrunIsFoundByTheBoardCoreAndByEdk2OnlyWhenItHitsThePoolTail) {
  const fuzz::Target *T = fuzz::FindTarget ("planted");
  ASSERT_NE (T, nullptr);
  for (uint8_t Length : {4, 8}) {
    SCOPED_TRACE ("text record of " + std::to_string (Length) + " bytes");
    std::vector<uint8_t> Record = {0x7E, Length};
    Record.resize (2 + Length, 'a');
    BothBoots Run (*T, Record);
    ASSERT_TRUE (Run.Own.M.Faulted ());
    EXPECT_NE (Run.Own.FaultReport ().find ("PlantedOverrun.cpp"), std::string::npos) << Run.Own.FaultReport ();
    const Edk2Dxe::Image *I = Run.Dxe->FindImage ("PlantedOverrun");
    ASSERT_NE (I, nullptr);
    if (Length == 4) {
      EXPECT_FALSE (Run.Real.M.Faulted ()) << Run.Real.FaultReport ();
      EXPECT_TRUE (I->Returned);
    } else {
      ASSERT_TRUE (Run.Real.M.Faulted ());
      EXPECT_NE (Run.Real.FaultReport ().find ("Tail->Signature =="), std::string::npos) << Run.Real.FaultReport ();
    }
  }
}

}  // namespace
}  // namespace vboard

namespace vboard {
namespace {

TEST (NormalisedState, NamesEveryRuleAndKeepsWhatThePackagePublished) {
  // EDK II's own publications go, each rule named with its count; a package
  // driver's, and anything the board could not attribute, stay.
  std::string State =
      "protocol DxeCore gEfiLoadedImageProtocolGuid\n"
      "protocol PcdDxe gPcdProtocolGuid\n"
      "protocol Wattkeep gWakeAlarmProtocolGuid\n"
      "protocol ? gWakeAlarmProtocolGuid\n"
      "variable Timeout 0x7: 02 00\n"
      "variable BootOrder 0x7: 00 00\n"
      "variable Scratch 0x6: 01\n"
      "halted 1 powered-off 1 (no boot option booted) faulted 0\n";
  std::vector<std::string> Rules;
  std::string Out = report::NormalisedState (State, &Rules);
  EXPECT_EQ (Out,
             "halted 0 powered-off 0 faulted 0\n"
             "protocol ? gWakeAlarmProtocolGuid\n"
             "protocol Wattkeep gWakeAlarmProtocolGuid\n"
             "variable BootOrder 0x7: 00 00\n");
  std::string All;
  for (const std::string &R : Rules) All += R + "\n";
  EXPECT_NE (All.find ("what EDK II's own and the board platform's drivers published (2 lines)"), std::string::npos) << All;
  EXPECT_NE (All.find ("the variables EDK II's own drivers keep (1 lines)"), std::string::npos) << All;
  EXPECT_NE (All.find ("volatile variables"), std::string::npos) << All;
  EXPECT_NE (All.find ("no boot option booted"), std::string::npos) << All;
}

}  // namespace
}  // namespace vboard
