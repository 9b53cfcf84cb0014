// The status snapshot in the Prometheus text format, version 0.0.4.
#pragma once

#include <string>

#include "gateway/status.h"

namespace vpisd::gateway {

constexpr const char *kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

std::string FormatMetrics(const GatewayStatus &status);

} // namespace vpisd::gateway
