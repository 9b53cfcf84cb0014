#include "host/value_codec.h"

#include <bit>
#include <charconv>

namespace vpisd::host {

static_assert([] {
    for (size_t i = 0; i < kValueTypes.size(); ++i) {
        if (kValueTypes[i].type != static_cast<ValueType>(i))
            return false;
    }
    return true;
}());

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

} // namespace vpisd::host
