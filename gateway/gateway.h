// The vpisd-gateway process: it loads the driver, checks the configuration through it
// (config_check.h) and hands the checked configuration to the process's owner (owner.h), which
// starts one worker per line and each front end the configuration asks for (Modbus TCP when there
// is a [[unit]], MQTT with an [mqtt] table, the Sparkplug B edge node with a [sparkplug] table,
// HTTP with [http]), takes the signals, reports the statistics and stops everything in order.
#pragma once

#include "gateway/gateway_options.h"

namespace vpisd::gateway {

// Runs until SIGTERM or SIGINT (SIGUSR1 reports the statistics); returns the exit status.
int RunGateway(const GatewayOptions &options);

} // namespace vpisd::gateway
