#include "tests/TestSupport.h"

#include "uefi/GuidNames.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
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

uint64_t RunFaultProbe (Board &B, uint8_t Mode) {
  static const Guid kProbeVariable = names::Named ("gFaultProbeVariableGuid");
  B.Fw.SetVariable (u"FaultProbeMode", kProbeVariable, platform::kSetupAttributes, {Mode});
  return B.Run (TestImage ("FaultProbe"));
}

}  // namespace vboard::test
