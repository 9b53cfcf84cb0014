// The command table of VpiMain: sixteen entries for codes 1 to 16.
#pragma once

#include "vpisd/vpi.h"

namespace vpisd {

using CommandRoutine = int32_t (*)(const VpiRequest *request);

constexpr int kCommandTableSize = 16;
extern const CommandRoutine kCommandTable[kCommandTableSize];

// Looks the code up and runs its routine; a code without one returns VPI_BAD_REQUEST.
int32_t DispatchCommand(const VpiRequest *request);

} // namespace vpisd
