// The board's speed, measured in-process: building the default board, the
// whole-board boots of the package's DEBUG and RELEASE volumes (wall time
// and emulated instructions per second), and each fuzz target's runs per
// second over a fixed set of inputs. Every figure is the median of several
// runs; the result is one table.
#pragma once

#include <iosfwd>
#include <string>

namespace vboard::bench {

// Runs every measurement Runs times and prints the table to Out; with Only
// set, just the rows whose name starts with it (for profiling one of them).
// Returns 0, or 1 when a boot did not complete cleanly (the figures would
// mean little).
int Run (unsigned Runs, std::ostream &Out, const std::string &Only = "");

}  // namespace vboard::bench
