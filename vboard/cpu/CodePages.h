#pragma once

#include <cstdint>

namespace vboard {

// Whether guest stores into pages that hold no translated code skip
// Unicorn's code-page check in this process (cpu/CodePages.cpp): true with
// Unicorn 2.0, unless ASFP_UNICORN_STORE_CHECK=1 is set.
bool StoreCodeCheckFiltered ();

// How many guest stores (and page invalidations of the engine's own) went
// without the check so far in this process.
uint64_t StoresWithoutCodeCheck ();

}  // namespace vboard
