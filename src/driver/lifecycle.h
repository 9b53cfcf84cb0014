// Commands that start, reset, close, open and reopen a VPI.
#pragma once

#include "driver/context.h"

namespace vpisd {

constexpr int32_t kMinStartTimeout = 100; // 1 second
constexpr uint16_t kStartLineFlags = 8;   // DTR and RTS both disabled

int32_t VpiStart(const VpiRequest *request);
int32_t VpiWarmStart(const VpiRequest *request);
int32_t VpiClose(const VpiRequest *request);
int32_t VpiOpen(const VpiRequest *request);
int32_t VpiReopen(const VpiRequest *request);
// Opens and configures the named port; returns the handle, or 0 on any failure.
PortHandle OpenInstancePort(const PortSettings &settings);

} // namespace vpisd
