// From the driver's answer for one tag to the record that the output formats print.
#pragma once

#include <cstdint>
#include <string>

#include "value_buffer.h"
#include "output.h"

namespace vpisd::cli {

using namespace vpisd::host;

// The report's heading fields for a parsed tag; status and values are the caller's.
TagReport MakeReport(const std::string &gas, const TagLayout &layout);

} // namespace vpisd::cli
