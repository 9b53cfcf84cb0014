#include "host/scaling.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace vpisd::host {

int DecimalsOf(double number) {
    constexpr int kMostDecimals = 9;
    char text[400];
    const auto [end, ec] =
        std::to_chars(text, text + sizeof text, std::fabs(number), std::chars_format::fixed);
    if (ec != std::errc())
        return kMostDecimals;
    const std::string_view written(text, static_cast<size_t>(end - text));
    const size_t point = written.find('.');
    if (point == std::string_view::npos)
        return 0;
    return std::min(static_cast<int>(written.size() - point - 1), kMostDecimals);
}

std::optional<double> ScaledNumber(const ValueFormat &format, const Scaling &scaling, int64_t raw) {
    double number = static_cast<double>(raw);
    if (format.type == ValueType::Float32) {
        const float value = FloatFromBits(raw);
        if (!std::isfinite(value))
            return std::nullopt;
        number = value;
    }
    const double scaled = number * scaling.scale + scaling.offset;
    if (!std::isfinite(scaled))
        return std::nullopt;
    return scaled;
}

std::optional<std::string> ScaledText(const ValueFormat &format, const Scaling &scaling,
                                      int64_t raw) {
    char text[400];
    if (scaling.Identity() && format.type != ValueType::Float32)
        return std::to_string(raw);
    if (scaling.Identity()) {
        const float value = FloatFromBits(raw);
        if (!std::isfinite(value))
            return std::nullopt;
        const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
        return std::string(text, ec == std::errc() ? end : text);
    }
    const std::optional<double> scaled = ScaledNumber(format, scaling, raw);
    if (!scaled)
        return std::nullopt;
    const int decimals = std::max(DecimalsOf(scaling.scale), DecimalsOf(scaling.offset));
    std::snprintf(text, sizeof text, "%.*f", decimals, *scaled);
    std::string out = text;
    if (out.find_first_not_of("-0.") == std::string::npos && out.front() == '-')
        out.erase(0, 1); // -0.0 reads as 0.0
    return out;
}

bool RawFromScaled(const ValueFormat &format, const Scaling &scaling, double value, int64_t &raw,
                   std::string &error) {
    const double unscaled = (value - scaling.offset) / scaling.scale;
    char shown[64];
    std::snprintf(shown, sizeof shown, "%.10g", value);
    if (!std::isfinite(unscaled)) {
        error = std::string(shown) + " is not a finite number";
        return false;
    }
    if (format.type == ValueType::Float32) {
        // Halfway between the largest float and the next power of two rounds to infinity.
        constexpr double kFloatOverflow = 0x1.ffffffp127;
        if (std::fabs(unscaled) >= kFloatOverflow) {
            error = std::string(shown) + " is out of range for a float32";
            return false;
        }
        raw = FloatBits(static_cast<float>(unscaled));
        return true;
    }
    const ValueRange range = WriteRangeOf(format.type);
    const double rounded = std::round(unscaled);
    if (rounded < static_cast<double>(range.low) || rounded > static_cast<double>(range.high)) {
        char limits[96];
        std::snprintf(limits, sizeof limits, " (%.10g to %.10g)",
                      static_cast<double>(range.low) * scaling.scale + scaling.offset,
                      static_cast<double>(range.high) * scaling.scale + scaling.offset);
        error = std::string(shown) + " is out of range for a" +
                (range.what[0] == 'i' ? "n " : " ") + range.what + limits;
        return false;
    }
    raw = static_cast<int64_t>(rounded);
    return true;
}

} // namespace vpisd::host
