// The simulated network as configured: the line, and each PLC with its routes and registers.
#pragma once

#include "route.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vpisd::sim {

// A register that changes by itself each time a request reads it, for trend tests.
enum class MotionKind { Ramp, Counter, Random };
struct Motion {
    size_t reg = 0;
    MotionKind kind = MotionKind::Counter;
    uint16_t from = 0;    // ramp: first value; random: lowest
    uint16_t to = 0xFFFF; // ramp: last value before it starts again; random: highest
    uint16_t step = 1;
};

struct PlcConfig {
    std::string name;
    Drops route;  // empty: reached only directly
    Drops backup; // empty: no backup route
    bool direct = false;
    size_t registers = 0; // 0: the network's default
    bool normalDown = false;
    bool backupDown = false;
    std::vector<std::pair<size_t, uint16_t>> initial; // register, value
    std::vector<Motion> motions;
};

struct NetworkConfig {
    std::vector<PlcConfig> plcs;
    unsigned baud = 0; // 0: no pacing
    unsigned bitsPerChar = 11;
    uint8_t enquiryAnswer = 0; // 0: the toggle of the last accepted frame; else 0x11, 0x12 or 0x15
    uint32_t seed = 1;
    size_t maxWords = 128;
    size_t defaultRegisters = 9999;
    unsigned turnaroundMs = 0;
};

// A decimal or 0x-hexadecimal number from 0 to max; throws SimError naming `what`.
unsigned long ParseNumber(const std::string &text, unsigned long max, const std::string &what);

// The INI-like network file; throws SimError with the line number.
NetworkConfig ParseNetwork(std::string_view text);
// "P1=1+5,2+5" (the driver's init-file syntax); throws SimError.
PlcConfig ParsePlcLine(std::string_view text);
// The PLCs of a driver init file ("P1=1+5,2+5" lines up to the first blank line; a last line
// without its line feed is not used, as the driver does not use it); throws SimError with the
// line number.
std::vector<PlcConfig> ParseInitFile(std::string_view text);
// "last", "11", "12" or "15"; throws SimError.
uint8_t ParseEnquiryAnswer(std::string_view text);
// Throws SimError for duplicate names, two direct PLCs, routes shared by two paths, values outside
// a PLC's registers, or a PLC that nothing can reach.
void ValidateNetwork(const NetworkConfig &config);
// The driver's init file for this network: "P1=1+5,2+5" per routed PLC, in order, a route of one
// drop written with three digits ("P2=007") as the driver requires; throws SimError for names
// that are not two characters.
std::string InitFileText(const NetworkConfig &config);

} // namespace vpisd::sim
