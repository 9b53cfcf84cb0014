// What only the driver can judge at start: each line's init file, loaded once into a VPI that
// opens no port, and the PLC name of every unit and every poll group parsed against the routes
// it gave.
#pragma once

#include <string>
#include <vector>

#include "gateway/config/config.h"
#include "host/driver_library.h"
#include "vpisd/vpi.h"

namespace vpisd::gateway {

// The current directory must hold the init files under their VPI numbers (host::WorkDir), as
// `initTexts` has them (initTexts[i]: config.lines[i]'s), which explain the driver's complaints.
// Problems are added as "FILE:LINE: KEY: what" lines.
void CheckPlcNames(const Config &config, const std::vector<std::string> &initTexts,
                   const host::DriverLibrary &library, const DriverInfo &info,
                   std::vector<std::string> &problems);

} // namespace vpisd::gateway
