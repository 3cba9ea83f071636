#pragma once

#include <cstdint>

namespace vboard {

// Whether guest stores into pages that hold no translated code skip
// Unicorn's code-page check in this process (cpu/CodePages.cpp): true with
// Unicorn 2.0, unless ASFP_UNICORN_STORE_CHECK=1 is set.
bool StoreCodeCheckFiltered ();

// Engines open in this process, counted around uc_open and uc_close. When
// the last one closes no translated code is left anywhere, and the marks
// go: the next engine numbers its pages from 0 again.
void CodePagesEngineOpened ();
void CodePagesEngineClosed ();

// How many guest stores (and page invalidations of the engine's own) went
// without the check so far in this process.
uint64_t StoresWithoutCodeCheck ();

}  // namespace vboard
