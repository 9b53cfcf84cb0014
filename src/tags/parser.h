// Tag address (GAS) parser: checks a GAS and fills the host's TagDescriptor.
#pragma once

#include "vpisd/vpi.h"

namespace vpisd {

// Command routines of codes 3 and 4; 0 accepted, 1 rejected.
int32_t SingleParse(const VpiRequest *request);
int32_t BlockParse(const VpiRequest *request);
// 1 when positions 2 onward of the upper-cased GAS belong to their character sets.
int CheckTagCharacters(const char *gas);

} // namespace vpisd
