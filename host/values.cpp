#include "host/values.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>

#include "vpisd/vpi.h"

namespace vpisd::host {
namespace {

struct Range {
    int64_t low;
    int64_t high;
    const char *what;
};

// A 16-bit register takes signed or unsigned 16-bit numbers, a pair 32-bit ones.
Range RangeFor(const TagLayout &tag) {
    if (tag.kind == VPI_KIND_REGISTER_PAIR)
        return {-2147483648LL, 4294967295LL, "32-bit value"};
    if (tag.kind == VPI_KIND_ROUTE)
        return {0, 65535, "route selection (0 normal, 1 backup)"};
    if (tag.bit != kNoBit)
        return {0, 1, "bit"};
    return {-32768, 65535, "16-bit register"};
}

} // namespace

std::string UpperGas(std::string_view gas) {
    std::string out(gas);
    for (char &c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
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
    const Range range = RangeFor(tag);
    for (const int64_t v : values) {
        if (v < range.low || v > range.high) {
            error = std::to_string(v) + " is out of range for a " + range.what + " (" +
                    std::to_string(range.low) + " to " + std::to_string(range.high) + ")";
            return false;
        }
    }
    std::fill(buffer.begin(), buffer.end(), uint16_t{0});
    if (tag.kind == VPI_KIND_REGISTER_PAIR) {
        for (size_t i = 0; i < values.size(); ++i) {
            const auto bits = static_cast<uint32_t>(values[i]);
            const auto high = static_cast<uint16_t>(bits >> 16);
            const auto low = static_cast<uint16_t>(bits & 0xFFFFu);
            buffer[2 * i] = order == WordOrder::HighFirst ? high : low;
            buffer[2 * i + 1] = order == WordOrder::HighFirst ? low : high;
        }
    } else if (WordCount(tag) == 1) {
        buffer[1] = static_cast<uint16_t>(values[0]);
    } else {
        for (size_t i = 0; i < values.size(); ++i)
            buffer[i] = static_cast<uint16_t>(values[i]);
    }
    return true;
}

std::vector<int64_t> DecodeValues(const TagLayout &tag, std::span<const uint16_t> buffer,
                                  WordOrder order, bool asSigned) {
    std::vector<int64_t> out;
    const size_t words = std::min(WordCount(tag), buffer.size());
    if (tag.kind == VPI_KIND_REGISTER_PAIR) {
        for (size_t i = 0; i + 1 < words; i += 2) {
            const uint32_t first = buffer[i];
            const uint32_t second = buffer[i + 1];
            const uint32_t bits =
                order == WordOrder::HighFirst ? (first << 16) | second : (second << 16) | first;
            out.push_back(asSigned ? int64_t{static_cast<int32_t>(bits)} : int64_t{bits});
        }
        return out;
    }
    const bool single = words == 1 && buffer.size() >= 2;
    const bool signedWords = asSigned && tag.kind == VPI_KIND_REGISTER && tag.bit == kNoBit;
    for (size_t i = 0; i < words; ++i) {
        const uint16_t word = buffer[single ? 1 : i];
        out.push_back(signedWords ? int64_t{static_cast<int16_t>(word)} : int64_t{word});
    }
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
