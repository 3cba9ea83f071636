#include "tests/TestSupport.h"

#include "board/BoardMap.h"
#include "host/Snapshot.h"
#include "tools/Scenario.h"
#include "uefi/GuidNames.h"

#include <gtest/gtest.h>
#include <gtest/gtest-spi.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vboard::test {

std::string ModuleImage (const std::string &Name) { return std::string (ASFP_DEBUG_IMAGES) + "/" + Name + ".efi"; }

std::string ReleaseImage (const std::string &Name) { return std::string (ASFP_RELEASE_IMAGES) + "/" + Name + ".efi"; }

std::string TestImage (const std::string &Name) { return std::string (ASFP_TEST_IMAGES) + "/" + Name + ".efi"; }

size_t LiveBlocksOf (Board &B, const std::string &Image) {
  size_t N = 0;
  for (const auto &A : B.Fw.Pool.Live ()) N += B.Fw.CallerName (A.second.Caller) == Image;
  return N;
}

std::string PackageVolume () { return std::string (ASFP_DEBUG_IMAGES) + "/../FV/ARMSERVERFEATUREFV.Fv"; }

std::string ReleaseVolume () { return std::string (ASFP_RELEASE_IMAGES) + "/../FV/ARMSERVERFEATUREFV.Fv"; }

const std::vector<std::string> kPackageDrivers = {
    "Redirwarden", "Serialnote", "Ledgermark", "Tallyvault", "Latchvane", "Rescuetab", "Stampread", "Logsweep",
    "Mainsrestore", "Vfswitch", "Wattkeep", "Gatewarden", "Mapplate", "Portplate", "Heatwatch", "Tablegraft"};

void FactoryBoard (Board &B) {
  boardmap::ApplyFactoryState (B);
  scenario::ApplyNetwork (B, "serve:" + TestImage ("NetBootProbe"));
}

std::string BoardPlatformVolume () {
  return std::string (ASFP_DEBUG_IMAGES) + "/../../../ArmServerBoard/DEBUG_GCC5/FV/FVMAIN.Fv";
}

std::string GatedProbesVolume () { return std::string (ASFP_TEST_IMAGES) + "/../FV/GATEDPROBESBOARDFV.Fv"; }

std::string TestVolume () { return std::string (ASFP_TEST_IMAGES) + "/../FV/ARMSERVERFEATURETESTFV.Fv"; }

std::string EdkTool (const std::string &Name) { return std::string (ASFP_EDK2_DIR) + "/BaseTools/Source/C/bin/" + Name; }

int LineOf (const std::string &Path, const std::string &Marker) {
  std::ifstream In (std::string (ASFP_PACKAGE_DIR) + "/" + Path);
  std::string Line;
  for (int N = 1; std::getline (In, Line); N++) {
    if (Line.find (Marker) != std::string::npos) {
      return N;
    }
  }
  return 0;
}

TempFile::TempFile (const std::string &Name) {
  const auto *Info = ::testing::UnitTest::GetInstance ()->current_test_info ();
  Path = ::testing::TempDir () + "/" + Info->test_suite_name () + "." + Info->name () + "." + Name;
}

TempFile::~TempFile () { std::remove (Path.c_str ()); }

int RunCommand (const std::string &Command, std::string &Output) {
  Output.clear ();
  FILE *Pipe = popen ((Command + " 2>&1").c_str (), "r");
  if (Pipe == nullptr) return -1;
  char Buf[4096];
  for (size_t N; (N = fread (Buf, 1, sizeof (Buf), Pipe)) > 0;) Output.append (Buf, N);
  return pclose (Pipe);
}

void InCopy (Board &B, const std::function<void (Board &)> &Body) {
  CopyOutcome O = RunInCopy ([&B, &Body] {
    // The copy's results go back as "FILE\nLINE\nMESSAGE\0" each; the
    // caller reports them.
    ::testing::TestPartResultArray Results;
    {
      ::testing::ScopedFakeTestPartResultReporter Reporter (
          ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &Results);
      Body (B);
    }
    std::string Failures;
    for (int I = 0; I < Results.size (); I++) {
      const ::testing::TestPartResult &R = Results.GetTestPartResult (I);
      if (!R.failed ()) continue;
      Failures += std::string (R.file_name () != nullptr ? R.file_name () : "?") + "\n" +
                  std::to_string (R.line_number ()) + "\n" + R.message () + '\0';
    }
    return Failures;
  });
  if (!O.Result) {
    ADD_FAILURE () << "the copy failed: " << O.Failure;
    return;
  }
  std::istringstream In (*O.Result);
  std::string File, Line, Message;
  while (std::getline (In, File) && std::getline (In, Line) && std::getline (In, Message, '\0')) {
    ADD_FAILURE_AT (File.c_str (), std::stoi (Line)) << Message;
  }
}

uint64_t RunFaultProbe (Board &B, uint8_t Mode) {
  static const Guid kProbeVariable = names::Named ("gFaultProbeVariableGuid");
  B.Fw.SetVariable (u"FaultProbeMode", kProbeVariable, platform::kSetupAttributes, {Mode});
  return B.Run (TestImage ("FaultProbe"));
}

std::vector<uint8_t> RawSectionVolume (const Guid &File, const std::vector<std::vector<uint8_t>> &Sections) {
  namespace fs = std::filesystem;
  static unsigned Serial = 0;
  const auto *Info = ::testing::UnitTest::GetInstance ()->current_test_info ();
  fs::path Dir = fs::path (::testing::TempDir ()) /
                 (std::string (Info->test_suite_name ()) + "." + Info->name () + ".fv" + std::to_string (++Serial));
  fs::remove_all (Dir);
  fs::create_directories (Dir);
  auto Quote = [] (const fs::path &P) { return "'" + P.string () + "'"; };
  auto Tool = [&] (const std::string &Command) {
    std::string Output;
    int Rc = RunCommand (Command, Output);
    EXPECT_EQ (Rc, 0) << Command << "\n" << Output;
    return Rc == 0;
  };
  std::string Inputs;
  for (size_t I = 0; I < Sections.size (); I++) {
    fs::path Body = Dir / ("s" + std::to_string (I) + ".bin"), Sec = Dir / ("s" + std::to_string (I) + ".sec");
    std::ofstream (Body, std::ios::binary).write (reinterpret_cast<const char *> (Sections[I].data ()),
                                                  static_cast<std::streamsize> (Sections[I].size ()));
    if (!Tool (Quote (EdkTool ("GenSec")) + " -s EFI_SECTION_RAW -o " + Quote (Sec) + " " + Quote (Body))) return {};
    Inputs += " -i " + Quote (Sec);
  }
  fs::path Ffs = Dir / "file.ffs", Fv = Dir / "volume.fv", Inf = Dir / "volume.inf";
  if (!Tool (Quote (EdkTool ("GenFfs")) + " -t EFI_FV_FILETYPE_FREEFORM -g " + File.ToString () + " -o " + Quote (Ffs) + Inputs)) {
    return {};
  }
  // A memory-mapped volume of 4 KiB blocks with erase polarity 1, as the
  // package's own volumes are.
  std::ofstream (Inf) << "[options]\nEFI_BLOCK_SIZE = 0x1000\n[attributes]\nEFI_ERASE_POLARITY = 1\n"
                      << "EFI_MEMORY_MAPPED = TRUE\nEFI_READ_STATUS = TRUE\n[files]\nEFI_FILE_NAME = " << Ffs.string () << "\n";
  if (!Tool (Quote (EdkTool ("GenFv")) + " -i " + Quote (Inf) + " -o " + Quote (Fv))) return {};
  std::vector<uint8_t> Bytes = ReadWholeFile (Fv.string ());
  fs::remove_all (Dir);
  return Bytes;
}

}  // namespace vboard::test
