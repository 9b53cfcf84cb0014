// The registers a poll group covers, as [[poll]] registers = "..." names them; the same names,
// one value each, are the topic levels of the values under MQTT.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vpisd::gateway {

// What one poll group covers: `count` values from `first`, each a register, a register pair
// (32 bits, the odd register holds the high word) or one bit of a register.
enum class ValueForm : uint8_t { Register, Pair, Bit };

struct PollRegisters {
    ValueForm form = ValueForm::Register;
    uint16_t first = 1; // SY/MAX register, 1..9999; odd for a pair
    uint16_t count = 1; // values (a pair is one value)
    uint8_t bit = 1;    // 1 (least significant) to 16, as the driver's bit tags count

    // Registers one read of the group covers.
    uint16_t Registers() const { return form == ValueForm::Pair ? uint16_t(count * 2) : count; }
    // The topic level that names value `index`: "100", "101F", "100/3".
    std::string Name(uint16_t index) const;

    bool operator==(const PollRegisters &) const = default;
};

// "100:8" (eight registers from 100), "101F:2" (two pairs from 101), "100/3" (bit 3 of 100);
// a count of 1 may be left out. nullopt with the reason in `why`.
std::optional<PollRegisters> ParsePollRegisters(std::string_view text, std::string &why);

} // namespace vpisd::gateway
