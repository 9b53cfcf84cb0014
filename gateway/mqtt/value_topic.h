// The value a command topic names at run time: ".../north/P1/100/set" sets register 100,
// ".../101F/set" the pair from 101, ".../100/3/set" bit 3 of register 100.
#pragma once

#include <optional>
#include <string_view>

#include "gateway/config/poll_registers.h"

namespace vpisd::gateway {

// The value a topic level names ("100", "101F", "100/3"), as a group of one.
std::optional<PollRegisters> ParseValueName(std::string_view text);

} // namespace vpisd::gateway
