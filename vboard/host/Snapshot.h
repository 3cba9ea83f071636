// A saved state of the whole process to run work from, any number of
// times, without rebuilding it: each run happens in a copy of the process
// made at that moment (fork), so the board, the emulator's memory and
// translated code, and every host object are exactly as they were saved,
// and whatever the run changes is gone when it ends. The copy shares every
// page with the saved state until one side writes it, so a run pays only
// for the pages it changes.
//
// Use it from a single-threaded caller; the copy runs only the given work
// (no atexit handlers, no stdio flush) and hands back one string.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace vboard {

struct CopyOutcome {
  std::optional<std::string> Result;   // what the work returned; empty when the copy failed
  std::string Failure;                 // why it failed: an exception's text, a signal, an exit status
};

// Runs Work in a copy of this process and returns what it returned. The
// caller's own state is unchanged. Throws std::runtime_error when no copy
// can be made.
CopyOutcome RunInCopy (const std::function<std::string ()> &Work);

}  // namespace vboard
