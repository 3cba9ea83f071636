// Scenarios: a short text file that sets the board's state and runs one or
// more boots of the same firmware volumes, carrying over what survives a
// power cycle (the flash and its status registers, the non-volatile
// variables, the BMC and its SEL, the clock), and checks what each boot
// left behind. Injected failures (BMC, flash) last for the boot they are
// set for. The format, one directive per line ('#' starts a comment):
//
//   boots N                         how many boots (default 1)
//   boot K                          the lines after it apply to boot K only;
//                                   before the first "boot", to every boot
//   setup NAME.OFFSET=VALUE         a byte of a setup variable, stored before the boot
//   temperature SOCKET=C            what the socket's SCP reads
//   silent-socket SOCKET            that socket's SCP never answers
//   bmc sel-entries N               the BMC logs N events of its own before the boot
//   bmc fail NETFN:CMD=CC           the BMC answers that command with completion code CC
//   bmc not-ready                   the BMC reports not ready
//   flash fail-write STATUS         every flash-access write fails with STATUS
//   flash fail-erase STATUS         every flash-access erase fails with STATUS
//   flash ignore-write-enable       the W25Q part ignores Write Enable
//   flash wp-low                    the board holds the part's /WP pin low
//   flash srp                       the part's Status Register Protect bit is set
//                                   (non-volatile: later boots keep it)
//   boot-option N=KIND              as vboard --boot-option
//   boot-order N,N,...              as vboard --boot-order
//   network STATE                   as vboard --network (serve:FILE, nolink, noserver, nofile)
//   run-seconds S                   simulated seconds the board runs after the boot
//   expect WHAT                     checked after the boot:
//     report TEXT                   the boot's report contains TEXT
//     no-report TEXT                ... does not contain TEXT
//     powered-off | running         whether the board powered itself off (a boot
//                                   manager that powers off because no boot
//                                   option booted leaves it running)
//     setup NAME.OFFSET=VALUE       the stored variable holds VALUE there
//     protected ADDRESS | writable ADDRESS   the flash part's protection there
//     event-log-records N           records in the event-log area
//     bmc-sel N                     entries in the BMC's SEL
//   expect-at-power-on WHAT         the same checks, on the board as it powers on
//                                   (before any driver runs)
#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace vboard {
class Board;
}
namespace vboard::report {
class Published;
}

namespace vboard::scenario {

struct Options {
  std::vector<std::string> Volumes;
  std::string Network;            // the default --network state for every boot ("" = the board's)
  std::string ReportDir;          // when set, boot K's artefacts go to ReportDir/boot-K
  bool Edk2 = false;              // boot under EDK II's DXE core (the platform volume first)
  // Called after each boot K (from 1) with what the firmware left.
  std::function<void (unsigned K, const report::Published &P)> AfterBoot;
};

// Runs the scenario in File; prints each boot's report and the checks to
// Out. Returns 0 when every expectation held and every boot reported no
// problem other than those the scenario expects, 1 when one failed, 2 for a
// scenario that cannot be read or parsed (with the line named on Err).
int Run (const std::string &File, const Options &O, std::ostream &Out, std::ostream &Err);

}  // namespace vboard::scenario

namespace vboard {
namespace scenario {
// Board settings the command line and scenarios share; each throws
// std::invalid_argument on a malformed value. ApplyDirective takes a state
// directive of the scenario format ("setup", "temperature", "bmc", ...).
void ApplyDirective (Board &B, const std::string &Verb, const std::string &Value);
void ApplyBootOption (Board &B, const std::string &Spec);   // "N=KIND", N hex
void ApplyBootOrder (Board &B, const std::string &Spec);    // "N,N,...", hex
void ApplyNetwork (Board &B, const std::string &Spec);      // serve:FILE, nolink, noserver, nofile
// A power cycle: what survives it goes from Previous to Next.
void CarryOver (Board &Previous, Board &Next);
}  // namespace scenario
}  // namespace vboard
