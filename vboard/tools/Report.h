// The report of a whole-board boot, as `make` and `vboard --fv` print it:
// what each driver did, what the boot manager started, the UART logs, what
// the operating system would find (SMBIOS decoded by dmidecode, ACPI tables
// by iasl, the flash's lock map, the event log, the BMC's SEL and policy,
// the CPU temperature) and what the boot cost.
#pragma once

#include "board/Board.h"

#include <ostream>
#include <string>
#include <vector>

namespace vboard::report {

struct Run {
  std::vector<std::string> Volumes;
  double WallSeconds = 0;           // board construction to the end of the boot
};

// Writes the artefacts the report reads into Dir (which must exist):
// smbios.bin (for dmidecode --from-dump), acpi/*.dat (and iasl's .dsl beside
// them), flash.bin with flash.bin.status. Throws std::runtime_error naming
// the file that could not be written.
void WriteArtefacts (Board &B, const std::string &Dir);

// Prints the report, decoding the artefacts in Dir with dmidecode and iasl
// (a missing tool is named in the report). Returns false when the boot
// faulted, leaked, or left a driver undispatched or faulting.
bool Print (Board &B, const Run &R, const std::string &Dir, std::ostream &Out);

// The records of the event-log area (0x930000, 64 KiB) as a walk of the log
// finds them, each with its offset in the area; Used is the bytes they take.
struct LogRecord {
  uint64_t Offset;
  std::vector<uint8_t> Bytes;
};
std::vector<LogRecord> EventLog (Board &B, uint64_t &Used);

// What the boot published, in a form that does not depend on where images
// and pool blocks landed: protocols by producer, PCDs set, SMBIOS records,
// ACPI tables, variables written, BMC state, flash contents digest and lock
// map, the SoC registers. Two builds of the same modules reach the same text.
std::string PublishedState (Board &B);

}  // namespace vboard::report
