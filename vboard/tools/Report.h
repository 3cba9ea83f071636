// The report of a whole-board boot, as `make` and `vboard --fv` print it:
// what each driver did, what the boot manager started, the UART logs, what
// the operating system would find (SMBIOS decoded by dmidecode, ACPI tables
// by iasl, the flash's lock map, the event log, the BMC's SEL and policy,
// the CPU temperature) and what the boot cost.
#pragma once

#include "board/Board.h"

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace vboard {
class Edk2Dxe;
}

namespace vboard::report {

// What the firmware left, whichever DXE core booted it: the board's own
// (Firmware) or EDK II's (Edk2Dxe, read from the real core's system table,
// configuration tables, PCD protocol and variable store, and from what the
// board saw the guest call). The devices (UARTs, flash, BMC, SoC
// registers, console) are the board's under both and are read from it.
class Published {
 public:
  explicit Published (Board &Brd) : B (Brd) {}
  virtual ~Published () = default;
  Board &B;

  virtual std::string Core () const = 0;   // "board" or "edk2"
  // One line per firmware volume ("== firmware volume ..."), with its notes.
  virtual std::vector<std::string> VolumeLines () const = 0;
  struct Driver {
    std::string Name;
    std::string State;        // "Success", "Success (unloaded)", "NOT LOADED: ...", "NOT DISPATCHED: ..."
    bool Dispatched = false;
    bool Problem = false;     // not loaded, not dispatched
  };
  // The drivers in the order they started, then those that never did.
  virtual std::vector<Driver> Drivers () const = 0;
  struct Protocol {
    std::string Image;
    Guid Id;
    bool Marker = false;      // installed without an interface
  };
  virtual std::vector<Protocol> Protocols () const = 0;
  virtual std::vector<PcdSet> PcdSets () const = 0;
  struct Structure {
    std::string Producer;
    std::vector<uint8_t> Bytes;   // formatted area and strings, handle included
  };
  virtual std::vector<Structure> Smbios () const = 0;
  virtual std::vector<uint8_t> SmbiosDump () const = 0;   // for dmidecode --from-dump
  struct Table {
    std::string Installer, Signature;
    std::vector<uint8_t> Bytes;
  };
  virtual std::vector<Table> Acpi () const = 0;
  virtual std::vector<uint8_t> Xsdt () const = 0;
  virtual std::vector<VariableRecord> Variables () const = 0;
  struct VariableWrite {
    std::string Image;
    std::u16string Name;
    bool Deleted = false;
  };
  virtual std::vector<VariableWrite> VariableWrites () const = 0;
  // A package PCD's value when the run ended (PcdCpuTemperature,
  // PcdSerialPortBaseAddress, PcdRecoveryParameter).
  virtual std::optional<uint64_t> Pcd (const std::string &Name) const = 0;
  // What the boot manager did, one line each; Ran says whether it ran.
  virtual std::vector<std::string> BootManager (bool &Ran) const = 0;
  // The boot options' images that were started, in order.
  virtual std::vector<std::string> BootedImages () const = 0;
  // What only this core can say of an image (callbacks it registered, a
  // PCD written in place).
  virtual std::vector<std::string> MoreDid (const std::string &) const { return {}; }
  // The firmware-ID block (PcdFirmwareIdData), empty when unknown.
  virtual std::vector<uint8_t> FirmwareId () const { return {}; }
  // Problems at the end of the boot (leaks, misuse noticed), one line each,
  // and where a fault happened.
  virtual std::vector<std::string> Problems () const { return {}; }
  virtual std::string FaultText () const = 0;
  // The boot manager powered the board off because no boot option booted
  // (the board platform's BDS does; the board's own core stops after its
  // pass instead).
  virtual bool GaveUp () const { return false; }
};

std::unique_ptr<Published> OfBoardCore (Board &B);
// The volumes and their drivers are the ones Dxe booted.
std::unique_ptr<Published> OfEdk2 (Board &B, const Edk2Dxe &Dxe);

struct Run {
  std::vector<std::string> Volumes;
  double WallSeconds = 0;           // board construction to the end of the boot
};

// Writes the artefacts the report reads into Dir (which must exist):
// smbios.bin (for dmidecode --from-dump), acpi/*.dat (and iasl's .dsl beside
// them), flash.bin with flash.bin.status. Throws std::runtime_error naming
// the file that could not be written.
void WriteArtefacts (const Published &P, const std::string &Dir);
void WriteArtefacts (Board &B, const std::string &Dir);   // the board's own core
// The ACPI tables the firmware published, with the XSDT, written to Dir
// (created when missing) as WriteAcpiDump names them; returns the names.
std::vector<std::string> DumpAcpi (const Published &P, const std::string &Dir);

// Prints the report, decoding the artefacts in Dir with dmidecode and iasl
// (a missing tool is named in the report). Returns false when the boot
// faulted, leaked, or left a driver undispatched or faulting.
bool Print (const Published &P, const Run &R, const std::string &Dir, std::ostream &Out);
bool Print (Board &B, const Run &R, const std::string &Dir, std::ostream &Out);   // the board's own core

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
std::string PublishedState (const Published &P);
std::string PublishedState (Board &B);   // the board's own core

// PublishedState with what cannot match between the two cores normalised,
// every rule named in one place (NormalisedState in Report.cpp): addresses
// each core's allocator chose, the images and variables only one core has,
// the boot manager's own account, the order of the lines. Each rule that applied goes to
// Rules with how many lines it touched, so nothing is dropped silently.
std::string NormalisedState (const std::string &State, std::vector<std::string> *Rules = nullptr);

}  // namespace vboard::report
