// The per-VPI instance record. The host allocates kContextSize bytes per VPI and the
// driver keeps every per-VPI field here; the layout is identical on every build.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vpisd/vpi.h"

namespace vpisd {

constexpr int kSlotCount = 100;     // slot 0 is the directly connected PLC
constexpr int kRouteSlotBytes = 19; // 2 name bytes, 8 drops, separator, 8 drops
constexpr int kPortNameBytes = 12;  // 11 characters and the terminator
constexpr int32_t kContextSize = 2944;

// Port handles are 32-bit values on every build; 0 means no port is open.
using PortHandle = uint32_t;

struct PortSettings {
    char portName[kPortNameBytes];
    uint16_t baudRate;
    uint16_t dataBits;
    uint16_t stopBits; // 0 one, 1 one and a half, 2 two
    uint16_t parity;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint16_t lineFlags; // DTR/RTS selection; start always stores 8 (both off)
};

} // namespace vpisd

struct VpiContext {
    int32_t timeout; // read timeout in units of 10 ms
    vpisd::PortHandle port;
    int32_t portEnabled;
    vpisd::PortSettings portSettings;
    uint16_t vpiNumber;
    uint8_t routes[vpisd::kSlotCount][vpisd::kRouteSlotBytes];
    uint8_t unused790[8];
    int32_t connected[vpisd::kSlotCount];
    uint8_t toggle[vpisd::kSlotCount];
    uint8_t sequence[vpisd::kSlotCount];
    int32_t useBackup[vpisd::kSlotCount];
};

static_assert(sizeof(vpisd::PortSettings) == 22);
static_assert(offsetof(VpiContext, timeout) == 0x000);
static_assert(offsetof(VpiContext, port) == 0x004);
static_assert(offsetof(VpiContext, portEnabled) == 0x008);
static_assert(offsetof(VpiContext, portSettings) == 0x00c);
static_assert(offsetof(VpiContext, portSettings) + offsetof(vpisd::PortSettings, baudRate) == 0x018);
static_assert(offsetof(VpiContext, portSettings) + offsetof(vpisd::PortSettings, lineFlags) == 0x020);
static_assert(offsetof(VpiContext, vpiNumber) == 0x022);
static_assert(offsetof(VpiContext, routes) == 0x024);
static_assert(offsetof(VpiContext, unused790) == 0x790);
static_assert(offsetof(VpiContext, connected) == 0x798);
static_assert(offsetof(VpiContext, toggle) == 0x928);
static_assert(offsetof(VpiContext, sequence) == 0x98c);
static_assert(offsetof(VpiContext, useBackup) == 0x9f0);
static_assert(sizeof(VpiContext) == vpisd::kContextSize);
