#include "gateway/mqtt/mqtt_payload.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <ctime>

#include "gateway/write_command.h"
#include "host/scaling.h"

namespace vpisd::gateway {
namespace {

using Json = nlohmann::ordered_json;
using host::ValueType;

std::string Quoted(std::string_view text) {
    constexpr size_t kShown = 40;
    return "\"" + std::string(text.substr(0, kShown)) + (text.size() > kShown ? "...\"" : "\"");
}

} // namespace

host::ValueFormat FormatOf(const PollRegisters &registers) {
    switch (registers.form) {
    case ValueForm::Pair:
        return {ValueType::Uint32, host::WordOrder::HighFirst};
    case ValueForm::Bit: // a value name counts bits from 1, the codec from 0
        return {ValueType::Bit, host::WordOrder::HighFirst,
                static_cast<uint8_t>(registers.bit - 1)};
    case ValueForm::Register:
        break;
    }
    return {ValueType::Uint16};
}

std::string TimeStamp(std::chrono::system_clock::time_point when) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch());
    const std::time_t seconds = static_cast<std::time_t>(ms.count() / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(ms.count() % 1000));
    return text;
}

std::string ValuePayload(const std::optional<std::string> &value, const std::string &ts,
                         Quality quality) {
    // Written out by hand: the number keeps the decimals it was given ("-10.0", "1.25").
    return "{\"value\":" + value.value_or("null") + ",\"ts\":" + Json(ts).dump() +
           ",\"quality\":\"" + QualityWord(quality) + "\"}";
}

std::string RoutePayload(uint16_t selection, const std::string &ts) {
    Json json;
    json["value"] = selection;
    json["route"] = selection == 0 ? "normal" : "backup";
    json["ts"] = ts;
    return json.dump();
}

SetValue ParseSetPayload(std::string_view payload, const host::ValueFormat &format,
                         const host::Scaling &scaling) {
    SetValue result;
    // A value is a few bytes: anything longer is refused before the JSON parser sees it, which
    // would otherwise build a tree many times the payload's size.
    if (payload.size() > kLongestSetPayload) {
        result.reason = "too long: " + std::to_string(payload.size()) +
                        " bytes, a value takes at most " + std::to_string(kLongestSetPayload);
        return result;
    }
    // The JSON parser takes a NUL for the end of its input, so "7\0{garbage" would be read as 7:
    // a payload that holds one is refused whole, before any parse.
    if (payload.find('\0') != std::string_view::npos) {
        result.reason = "the payload holds a NUL byte: not a number";
        return result;
    }
    const Json json = Json::parse(payload.begin(), payload.end(), nullptr, false);
    const Json *number = &json;
    if (json.is_object() && json.contains("value"))
        number = &json["value"];
    // The JSON as the value it types, converted by the rule every face's writes follow.
    TypedValue value;
    if (number->is_boolean()) {
        value = number->get<bool>();
    } else if (number->is_number_integer()) {
        if (number->is_number_unsigned() && number->get<uint64_t>() > INT64_MAX) {
            result.reason = Quoted(payload) + " is out of range";
            return result;
        }
        value = number->get<int64_t>();
    } else if (number->is_number_float()) {
        value = number->get<double>();
    } else if (json.is_discarded() && !payload.empty()) {
        value = std::string(payload); // 0x1F, or anything else that is not JSON
    } else {
        result.reason = payload.empty() ? std::string("the payload is empty")
                                        : Quoted(payload) + " is not a number";
        return result;
    }
    result.value = RawFromValue(value, format, scaling, result.reason);
    return result;
}

} // namespace vpisd::gateway
