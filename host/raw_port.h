// The tool's own open of a serial device, for the relay: exclusive, raw, no flow control.
#pragma once

#include <string>

#include "host/line_options.h"

namespace vpisd::host {

// Returns a non-blocking descriptor, or -1 with the reason in `error`.
int OpenRawPort(const std::string &path, const LineOptions &line, std::string &error);

} // namespace vpisd::host
