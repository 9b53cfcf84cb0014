// The MQTT side's payloads: values as JSON, the time stamps they carry, and the numbers a
// subscriber publishes to a /set topic.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "gateway/config/mqtt_config.h"
#include "gateway/poll/quality.h"
#include "host/scaling.h"

namespace vpisd::gateway {

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
// type's range; integer types round to the nearest, a bit takes 0 or 1 only (RawFromValue's rule,
// which a Sparkplug DCMD follows too). Payloads longer
// than kLongestSetPayload are refused as too long.
SetValue ParseSetPayload(std::string_view payload, const host::ValueFormat &format,
                         const host::Scaling &scaling = {});

} // namespace vpisd::gateway
