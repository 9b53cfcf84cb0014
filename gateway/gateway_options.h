// How vpisd-gateway was asked to run, and the exit statuses it ends with.
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

} // namespace vpisd::gateway
