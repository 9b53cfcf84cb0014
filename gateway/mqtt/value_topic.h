// The value a command topic names at run time: ".../north/P1/100/set" sets register 100,
// ".../101F/set" the pair from 101, ".../100/3/set" bit 3 of register 100, and a /set topic cut
// once into the command it carries.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "gateway/config/poll_registers.h"

namespace vpisd::gateway {

// The value a topic level names ("100", "101F", "100/3"), as a group of one.
std::optional<PollRegisters> ParseValueName(std::string_view text);

// One /set as it came in, its topic cut once; it goes with the command to its result.
struct SetCommand {
    std::string topic;   // as published: "<prefix>/<line>/<plc>/<value>/set"
    std::string plc;     // the PLC level the way the driver matches it: "p2" is P2
    std::string value;   // "100", "101F", "100/3", or a name of one level or more
    std::string payload; // as published
    std::string Path() const { return plc + "/" + value; } // "P2/100", for the log
};

// nullopt for a topic that is not <base>/<plc>/<value>/set (`base`: "<prefix>/<line>").
std::optional<SetCommand> ParseSetTopic(std::string_view base, const std::string &topic,
                                        std::string payload);

} // namespace vpisd::gateway
