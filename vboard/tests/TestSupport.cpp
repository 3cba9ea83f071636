#include "tests/TestSupport.h"

#include <fstream>
#include <stdexcept>

namespace vboard::test {

std::string ModuleImage (const std::string &Name) { return std::string (ASFP_DEBUG_IMAGES) + "/" + Name + ".efi"; }

std::string TestImage (const std::string &Name) { return std::string (ASFP_TEST_IMAGES) + "/" + Name + ".efi"; }

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

uint64_t RunFaultProbe (Board &B, uint8_t Mode) {
  static const Guid kProbeVariable = Guid::Parse ("5160A856-1323-41B4-B39D-5C53C92A5852");
  B.Fw.SetVariable (u"FaultProbeMode", kProbeVariable, platform::kSetupAttributes, {Mode});
  return B.Run (TestImage ("FaultProbe"));
}

}  // namespace vboard::test
