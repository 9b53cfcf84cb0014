// The describe command (code 14): driver name, banner, defaults and instance size.
#pragma once

#include "vpisd/vpi.h"

namespace vpisd {

constexpr int32_t kDriverCode = 70;
extern const char kDriverName[];   // "SquareD"
extern const char kBanner[];       // code page 437 text box, 379 bytes
constexpr int kBannerBytes = 379;

int32_t VpiDescribe(const VpiRequest *request);

} // namespace vpisd
