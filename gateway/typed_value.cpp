#include "gateway/typed_value.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <charconv>
#include <cmath>

namespace vpisd::gateway {
namespace {

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return text;
}

// Text as the value it spells: true or false, an integer (decimal or 0x), a real number.
std::optional<TypedValue> FromText(std::string_view text) {
    text = Trimmed(text);
    if (text == "true" || text == "false")
        return TypedValue(text == "true");
    if (const std::optional<int64_t> integer = host::ParseNumber(text))
        return TypedValue(*integer);
    double real = 0;
    const char *end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, real);
    // "nan" and "inf" spell no number a value can take.
    if (text.empty() || error != std::errc() || stop != end || !std::isfinite(real))
        return std::nullopt;
    return TypedValue(real);
}

WriteValue Refused(std::string reason) {
    return {std::nullopt, std::move(reason)};
}

WriteValue Scaled(double number, const host::ValueFormat &format, const host::Scaling &scaling) {
    WriteValue result;
    int64_t raw = 0;
    if (host::RawFromScaled(format, scaling, number, raw, result.reason))
        result.raw = raw;
    return result;
}

} // namespace

WriteValue ToRaw(const TypedValue &value, const host::ValueFormat &format,
                 const host::Scaling &scaling) {
    const bool bit = format.type == host::ValueType::Bit;
    if (const bool *boolean = std::get_if<bool>(&value)) {
        if (!bit)
            return Refused(Shown(value) + " is not a number");
        return {*boolean ? 1 : 0, ""};
    }
    if (const int64_t *integer = std::get_if<int64_t>(&value))
        return Scaled(static_cast<double>(*integer), format, scaling);
    if (const double *real = std::get_if<double>(&value)) {
        // Integer types round, as they do under scaling; a bit is 0 or 1, nothing between.
        if (bit && *real != std::trunc(*real))
            return Refused(Shown(value) + " is not a whole number");
        return Scaled(*real, format, scaling);
    }
    const std::string &text = std::get<std::string>(value);
    if (Trimmed(text).empty())
        return Refused("the value is empty");
    const std::optional<TypedValue> spelled = FromText(text);
    if (!spelled)
        return Refused(Shown(value) + " is not a number");
    return ToRaw(*spelled, format, scaling);
}

std::string Cut(std::string_view text, size_t limit) {
    if (text.size() <= limit)
        return std::string(text);
    return std::string(text.substr(0, limit)) + "...";
}

std::string Shown(const TypedValue &value) {
    if (const bool *boolean = std::get_if<bool>(&value))
        return *boolean ? "true" : "false";
    if (const int64_t *integer = std::get_if<int64_t>(&value))
        return std::to_string(*integer);
    if (const double *real = std::get_if<double>(&value))
        return nlohmann::json(*real).dump();
    return "\"" + Cut(std::get<std::string>(value)) + "\"";
}

} // namespace vpisd::gateway
