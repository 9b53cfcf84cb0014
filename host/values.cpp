#include "host/values.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "vpisd/vpi.h"

namespace vpisd::host {
namespace {

constexpr ValueRange kRouteRange = {0, 65535, "route selection (0 normal, 1 backup)"};

static_assert([] {
    for (size_t i = 0; i < kValueTypes.size(); ++i) {
        if (kValueTypes[i].type != static_cast<ValueType>(i))
            return false;
    }
    return true;
}());

// The range of the values of a tag's width.
ValueRange RangeOfTag(const TagLayout &tag) {
    if (tag.kind == VPI_KIND_ROUTE)
        return kRouteRange;
    if (tag.bit != kNoBit)
        return RangeOf(ValueType::Bit);
    return RangeOf(tag.kind == VPI_KIND_REGISTER_PAIR ? ValueType::Uint32 : ValueType::Uint16);
}

} // namespace

std::optional<ValueType> ValueTypeNamed(std::string_view name) {
    for (const ValueTypeInfo &info : kValueTypes) {
        if (info.name == name)
            return info.type;
    }
    return std::nullopt;
}

std::optional<WordOrder> WordOrderNamed(std::string_view name) {
    for (const WordOrderInfo &info : kWordOrders) {
        if (info.name == name)
            return info.order;
    }
    return std::nullopt;
}

ValueRange RangeOf(ValueType type) {
    if (type == ValueType::Bit)
        return {0, 1, "bit"};
    if (InfoOf(type).words == 2)
        return {-2147483648LL, 4294967295LL, "32-bit value"};
    return {-32768, 65535, "16-bit register"};
}

bool CheckRange(const ValueRange &range, int64_t value, std::string &error) {
    if (value >= range.low && value <= range.high)
        return true;
    error = std::to_string(value) + " is out of range for a " + range.what + " (" +
            std::to_string(range.low) + " to " + std::to_string(range.high) + ")";
    return false;
}

void EncodeValue(const ValueFormat &format, int64_t value, std::span<uint16_t> words) {
    if (format.type == ValueType::Bit) {
        const auto mask = static_cast<uint16_t>(1u << format.bit);
        words[0] = static_cast<uint16_t>(value != 0 ? words[0] | mask : words[0] & ~mask);
        return;
    }
    if (InfoOf(format.type).words == 1) {
        words[0] = static_cast<uint16_t>(value);
        return;
    }
    const auto bits = static_cast<uint32_t>(value);
    const auto high = static_cast<uint16_t>(bits >> 16);
    const auto low = static_cast<uint16_t>(bits & 0xFFFFu);
    words[0] = format.order == WordOrder::HighFirst ? high : low;
    words[1] = format.order == WordOrder::HighFirst ? low : high;
}

int64_t DecodeValue(const ValueFormat &format, std::span<const uint16_t> words) {
    switch (format.type) {
    case ValueType::Bit:
        return (unsigned{words[0]} >> format.bit) & 1u;
    case ValueType::Uint16:
        return words[0];
    case ValueType::Int16:
        return static_cast<int16_t>(words[0]);
    case ValueType::Uint32:
    case ValueType::Int32:
    case ValueType::Float32:
        break;
    }
    const uint32_t first = words[0];
    const uint32_t second = words[1];
    const uint32_t bits =
        format.order == WordOrder::HighFirst ? (first << 16) | second : (second << 16) | first;
    return format.type == ValueType::Int32 ? int64_t{static_cast<int32_t>(bits)} : int64_t{bits};
}

int64_t FloatBits(float value) {
    return std::bit_cast<uint32_t>(value);
}

float FloatFromBits(int64_t bits) {
    return std::bit_cast<float>(static_cast<uint32_t>(bits));
}

ValueRange ReadRangeOf(ValueType type) {
    switch (type) {
    case ValueType::Uint16:
        return {0, 65535, "uint16"};
    case ValueType::Int16:
        return {-32768, 32767, "int16"};
    case ValueType::Uint32:
        return {0, 4294967295LL, "uint32"};
    case ValueType::Int32:
    case ValueType::Float32: // its bits
        break;
    case ValueType::Bit:
        return {0, 1, "bit"};
    }
    return {-2147483648LL, 2147483647LL, "int32"};
}

ValueRange WriteRangeOf(ValueType type) {
    if (type == ValueType::Int16 || type == ValueType::Int32)
        return ReadRangeOf(type);
    return RangeOf(type);
}

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

std::string UpperGas(std::string_view gas) {
    std::string out(gas);
    for (char &c : out) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

std::string PlcName(std::string_view name) {
    return UpperGas(name);
}

bool IsRouteGas(std::string_view gas) {
    return gas.size() == 8 && UpperGas(gas.substr(2)) == "!ROUTE";
}

int32_t TypeForGas(std::string_view gas) {
    if (IsRouteGas(gas))
        return kTypeBit;
    if (gas.size() == 7 && (gas[6] == 'F' || gas[6] == 'f'))
        return kTypePair;
    if (gas.size() == 8)
        return kTypeBit;
    return kTypeRegister;
}

size_t WordCount(const TagLayout &tag) {
    if (tag.kind == VPI_KIND_ROUTE || tag.bit != kNoBit || tag.count < 1)
        return 1;
    const auto count = static_cast<size_t>(tag.count);
    return tag.kind == VPI_KIND_REGISTER_PAIR ? 2 * count : count;
}

size_t BufferWords(const TagLayout &tag) {
    return std::max<size_t>(WordCount(tag), 2);
}

std::optional<int64_t> ParseNumber(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty())
        return std::nullopt;
    uint64_t magnitude = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
    // Anything above 2^33 is out of every tag's range; capping keeps the negation defined.
    if (ec != std::errc() || end != text.data() + text.size() || magnitude > (1ULL << 33)) {
        return std::nullopt;
    }
    const auto value = static_cast<int64_t>(magnitude);
    return negative ? -value : value;
}

bool EncodeValues(const TagLayout &tag, std::span<const int64_t> values, WordOrder order,
                  std::span<uint16_t> buffer, std::string &error) {
    const size_t expected = tag.kind == VPI_KIND_REGISTER || tag.kind == VPI_KIND_REGISTER_PAIR
                                ? static_cast<size_t>(std::max(tag.count, 1))
                                : 1;
    if (values.size() != expected) {
        error = "expected " + std::to_string(expected) + " value(s), got " +
                std::to_string(values.size());
        return false;
    }
    if (buffer.size() < BufferWords(tag)) {
        error = "value buffer too small";
        return false;
    }
    const ValueRange range = RangeOfTag(tag);
    for (const int64_t v : values) {
        if (!CheckRange(range, v, error))
            return false;
    }
    std::fill(buffer.begin(), buffer.end(), uint16_t{0});
    const bool pair = tag.kind == VPI_KIND_REGISTER_PAIR;
    const ValueFormat format{pair ? ValueType::Uint32 : ValueType::Uint16, order};
    const size_t width = pair ? 2 : 1;
    const size_t first = WordCount(tag) == 1 ? 1 : 0;
    for (size_t i = 0; i < values.size(); ++i)
        EncodeValue(format, values[i], buffer.subspan(first + width * i, width));
    return true;
}

std::vector<int64_t> DecodeValues(const TagLayout &tag, std::span<const uint16_t> buffer,
                                  ValueType type, WordOrder order) {
    std::vector<int64_t> out;
    const size_t words = std::min(WordCount(tag), buffer.size());
    const size_t width = InfoOf(type).words;
    const size_t first = words == 1 && buffer.size() >= 2 ? 1 : 0;
    const ValueFormat format{type, order};
    for (size_t i = 0; i + width <= words; i += width)
        out.push_back(DecodeValue(format, buffer.subspan(first + i, width)));
    return out;
}

std::vector<std::string> ValueNames(std::string_view gas, const TagLayout &tag) {
    const std::string upper = UpperGas(gas);
    if (tag.kind == VPI_KIND_ROUTE || tag.bit != kNoBit || tag.count <= 1 || upper.size() < 2) {
        return {upper};
    }
    std::vector<std::string> names;
    const std::string prefix = upper.substr(0, 2);
    const bool pair = tag.kind == VPI_KIND_REGISTER_PAIR;
    // A pair number p stands for the registers 2p-1 and 2p.
    const int64_t first = pair ? 2LL * tag.address - 1 : tag.address;
    const int64_t step = pair ? 2 : 1;
    for (int32_t i = 0; i < tag.count; ++i) {
        char number[24];
        std::snprintf(number, sizeof number, "%04lld", static_cast<long long>(first + step * i));
        names.push_back(prefix + number + (pair ? "F" : ""));
    }
    return names;
}

} // namespace vpisd::host
