// What a poll's read makes of its values, in the words every publishing face (MQTT, Sparkplug B)
// builds its own answer from.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "host/line_status.h"

namespace vpisd::gateway {

// BadValue: the read was good but the registers hold no number (a float32 NaN or infinity).
enum class Quality : uint8_t { Good, NoAnswer, Refused, BadValue };

const char *QualityWord(Quality quality); // "good", "no_answer", "refused", "bad_value"

struct StatusQuality {
    host::LineStatus status;
    std::optional<Quality> quality; // none: not a judgement on the PLC, the next round tries again
};
// What a poll's outcome makes of its values.
constexpr std::array<StatusQuality, host::kLineStatusCount> kStatusQualities = {{
    {host::LineStatus::Ok, Quality::Good},
    {host::LineStatus::Refused, Quality::Refused},
    {host::LineStatus::NoAnswer, Quality::NoAnswer},
    {host::LineStatus::LineDown, Quality::NoAnswer},
    {host::LineStatus::Busy, std::nullopt},
    {host::LineStatus::Cancelled, std::nullopt},
}};
static_assert(host::CoversEveryStatus(kStatusQualities));

} // namespace vpisd::gateway
