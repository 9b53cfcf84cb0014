#include "value_buffer.h"

#include <algorithm>
#include <cstdio>

#include "vpisd/vpi.h"

namespace vpisd::cli {

using namespace vpisd::host;

namespace {

constexpr ValueRange kRouteRange = {0, 65535, "route selection (0 normal, 1 backup)"};

// The range of the values of a tag's width.
ValueRange RangeOfTag(const TagLayout &tag) {
    if (tag.kind == VPI_KIND_ROUTE)
        return kRouteRange;
    if (tag.bit != kNoBit)
        return RangeOf(ValueType::Bit);
    return RangeOf(tag.kind == VPI_KIND_REGISTER_PAIR ? ValueType::Uint32 : ValueType::Uint16);
}

} // namespace

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
    const size_t first = FirstValueWord(tag);
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

} // namespace vpisd::cli
