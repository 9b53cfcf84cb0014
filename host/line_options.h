// The serial line and VPI as the user asked for them on the command line.
#pragma once

#include <cstdint>
#include <string>

namespace vpisd::host {

struct LineOptions {
    std::string port;      // device name or path
    uint32_t baudRate = 0; // 0 until the driver's default is known
    uint16_t dataBits = 0;
    uint16_t stopBits = 0; // 0 one, 1 one and a half, 2 two
    uint16_t parity = 0;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
    int32_t timeoutMs = 1000;
    int32_t vpiNumber = 1;
};

} // namespace vpisd::host
