// The status snapshot as the one JSON object /status.json serves (keys in docs/gateway.md).
#pragma once

#include <string>

#include "gateway/status.h"

namespace vpisd::gateway {

std::string StatusJson(const GatewayStatus &status);

} // namespace vpisd::gateway
