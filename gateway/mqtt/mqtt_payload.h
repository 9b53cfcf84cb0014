// The MQTT side's payloads: values as JSON, the time stamps they carry, and the numbers a
// subscriber publishes to a /set topic.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "gateway/config/mqtt_config.h"

namespace vpisd::gateway {

enum class Quality : uint8_t { Good, NoAnswer, Refused };

const char *QualityWord(Quality quality); // "good", "no_answer", "refused"

// "2026-12-07T10:15:02.120Z": UTC, milliseconds.
std::string TimeStamp(std::chrono::system_clock::time_point when);

// {"value": 1234, "ts": "...", "quality": "good"}; `value` null when none was ever read.
std::string ValuePayload(std::optional<int64_t> value, const std::string &ts, Quality quality);
// {"value": 0, "route": "normal", "ts": "..."}: 0 the normal route, anything else the backup.
std::string RoutePayload(uint16_t selection, const std::string &ts);

struct SetValue {
    std::optional<int64_t> value; // set: the number to write
    std::string reason;           // unset: why the payload is refused
};

// A JSON number (1234, -5), {"value": 1234}, true/false for a bit, or a 0x hexadecimal number,
// checked against the range of `form`: register -32768..65535, pair -2^31..2^32-1, bit 0..1.
SetValue ParseSetPayload(std::string_view payload, ValueForm form);

} // namespace vpisd::gateway
