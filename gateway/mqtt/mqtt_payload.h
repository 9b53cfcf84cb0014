// The MQTT side's payloads: values as JSON, the time stamps they carry, and the numbers a
// subscriber publishes to a /set topic.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "gateway/config/mqtt_config.h"
#include "gateway/mqtt/mqtt_statistics.h"
#include "host/line_status.h"
#include "host/scaling.h"

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

struct StatusWrite {
    host::LineStatus status;
    WriteOutcome outcome;
    const char *reason; // published on /set/reason; "" for none
};
// What a write's outcome answers on /set/result.
constexpr std::array<StatusWrite, host::kLineStatusCount> kStatusWrites = {{
    {host::LineStatus::Ok, WriteOutcome::Ok, ""},
    {host::LineStatus::Refused, WriteOutcome::Refused,
     "refused by the PLC, or the PLC is not one of this line"},
    {host::LineStatus::NoAnswer, WriteOutcome::NoAnswer,
     "the PLC's replies came late, garbled or not at all: the write may have been applied"},
    {host::LineStatus::LineDown, WriteOutcome::NoAnswer, ""},
    {host::LineStatus::Busy, WriteOutcome::Refused, "the line is busy or stopping"},
    {host::LineStatus::Cancelled, WriteOutcome::Refused, "the line is busy or stopping"},
}};
static_assert(host::CoversEveryStatus(kStatusWrites));

// The codec's form of a value the topics name: a register, a pair (its odd register holding
// the high word) or a bit of a register.
host::ValueFormat FormatOf(const PollRegisters &registers);

// "2026-12-07T10:15:02.120Z": UTC, milliseconds.
std::string TimeStamp(std::chrono::system_clock::time_point when);

// {"value":1234,"ts":"...","quality":"good"}; `value` the JSON number text (host::ScaledText),
// null when there is none.
std::string ValuePayload(const std::optional<std::string> &value, const std::string &ts,
                         Quality quality);
// {"value": 0, "route": "normal", "ts": "..."}: 0 the normal route, anything else the backup.
std::string RoutePayload(uint16_t selection, const std::string &ts);

struct SetValue {
    std::optional<int64_t> value; // set: the raw value to write (a float32's bits)
    std::string reason;           // unset: why the payload is refused
};

// The longest /set payload taken; a longer one is refused unparsed.
inline constexpr size_t kLongestSetPayload = 1024;

// A JSON number (1234, -5, 21.5), {"value": 1234}, true/false for a bit, or a 0x hexadecimal
// number, in published units: converted back through `scaling` and checked against the
// type's range; integer types round to the nearest, a bit takes 0 or 1 only (ToRaw's rule,
// which a Sparkplug DCMD follows too). Payloads longer
// than kLongestSetPayload are refused as too long.
SetValue ParseSetPayload(std::string_view payload, const host::ValueFormat &format,
                         const host::Scaling &scaling = {});

} // namespace vpisd::gateway
