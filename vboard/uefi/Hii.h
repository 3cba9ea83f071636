// The HII services of the firmware (HII String, HII Database, HII Config
// Routing): present, as a UEFI application's library constructors expect
// them, with no member this board serves (a call to one stops the board as
// unimplemented).
#pragma once

#include "uefi/Firmware.h"

namespace vboard {

void InstallHiiServices (Firmware &Fw);

}  // namespace vboard
