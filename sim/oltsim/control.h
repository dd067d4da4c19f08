// The operator's switches of oltsim: the same words serve the command line
// ("--silent-olt 1") and the control lines read from standard input
// ("silent-olt 1"). Used by the oltsim program's main thread only.
#pragma once

#include "oltsim/oltsim.h"

#include <string>

namespace oltsim {

// Applies one switch with its argument ("" when it takes none). False when
// the switch is unknown or its argument malformed; `error` says why.
bool control_apply(chipset &sim, const std::string &name, const std::string &arg, std::string &error);
// Whether chip `olt` is one the program plays; false with `error` naming
// the chips when not.
bool control_chip(const chipset &sim, long olt, std::string &error);
// Whether switch `name` takes an argument.
bool control_takes_argument(const std::string &name);
// Usage text of the switches.
const char *control_usage();

} // namespace oltsim
