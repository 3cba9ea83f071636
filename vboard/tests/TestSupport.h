// Shared helpers of the board tests: where the package build left the images,
// and small readers of the package sources.
#pragma once

#include "board/Board.h"

#include <functional>
#include <string>

namespace vboard::test {

// The DEBUG AARCH64 image of a module ("Wattkeep" -> .../Wattkeep.efi).
std::string ModuleImage (const std::string &Name);
// The RELEASE AARCH64 image of a module: the same messages, no assertions.
std::string ReleaseImage (const std::string &Name);
// Pool blocks and pages an image still holds.
size_t LiveBlocksOf (Board &B, const std::string &Image);
// A test-only image.
std::string TestImage (const std::string &Name);
// The package's firmware volume (DEBUG), and the test volume: every module
// of the package followed by the gated probes.
std::string PackageVolume ();
std::string ReleaseVolume ();
std::string TestVolume ();
// The board's platform firmware volume: EDK II's DXE phase with the package.
std::string BoardPlatformVolume ();
// The gated probe drivers alone, built for the board.
std::string GatedProbesVolume ();
// The package's sixteen DXE drivers, by image name.
extern const std::vector<std::string> kPackageDrivers;
// A board in its factory state serving the test build's network-boot
// probe: the platform a whole-volume boot under either core starts from.
void FactoryBoard (Board &B);
// A BaseTools program of the EDK II tree the package is built with.
std::string EdkTool (const std::string &Name);
// Line number (1-based) of the first line of a package source that contains
// Marker; 0 when absent.
int LineOf (const std::string &PackageRelativePath, const std::string &Marker);

// A file of the running test under the test temporary directory, removed
// when it goes out of scope.
struct TempFile {
  std::string Path;
  explicit TempFile (const std::string &Name);
  ~TempFile ();
  TempFile (const TempFile &) = delete;
  TempFile &operator= (const TempFile &) = delete;
};

// Runs a command; returns its exit status and puts stdout and stderr in Output.
int RunCommand (const std::string &Command, std::string &Output);

// A firmware volume built by EDK II's own GenSec, GenFfs and GenFv (in the
// test temporary directory): one FREEFORM file named File whose RAW sections
// hold Sections, in this order. A failing tool fails the test and gives an
// empty result.
std::vector<uint8_t> RawSectionVolume (const Guid &File, const std::vector<std::vector<uint8_t>> &Sections);

// Runs Body on B in a copy of the process (host/Snapshot.h), so that B
// stays as it was: one board, built and set up once, serves many cases.
// Every failed expectation inside Body is reported in the running test at
// its own file and line; a copy that crashes or throws fails the test.
void InCopy (Board &B, const std::function<void (Board &)> &Body);

// Runs the FaultProbe test image on B in the given mode (its
// "FaultProbeMode" variable); returns the entry point's status.
uint64_t RunFaultProbe (Board &B, uint8_t Mode);

}  // namespace vboard::test
