// The owner of the vpisd-gateway process: it reads the configuration, loads the driver, checks
// the PLC names, starts one worker per line and each front end the configuration asks for
// (Modbus TCP when there is a [[unit]], MQTT with an [mqtt] table, the Sparkplug B edge node with
// a [sparkplug] table), takes the signals, reports the statistics and stops everything in order.
#pragma once

#include <string>

namespace vpisd::gateway {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1; // cannot listen, cannot set up
constexpr int kExitConfig = 2;  // the configuration (or the driver it needs) is wrong

struct GatewayOptions {
    std::string configPath;
    std::string libraryPath; // empty: next to the program, then installed
    bool check = false;      // check the configuration through the driver, open nothing
};

// Runs until SIGTERM or SIGINT (SIGUSR1 reports the statistics); returns the exit status.
int RunGateway(const GatewayOptions &options);

} // namespace vpisd::gateway
