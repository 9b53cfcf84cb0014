#include "host/tag_layout.h"

#include <algorithm>
#include <cstdio>

#include "vpisd/vpi.h"

namespace vpisd::host {

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

size_t FirstValueWord(const TagLayout &tag) {
    return WordCount(tag) == 1 ? 1 : 0;
}

std::span<uint16_t> ValueWords(const TagLayout &tag, std::span<uint16_t> buffer) {
    return buffer.subspan(FirstValueWord(tag), WordCount(tag));
}

std::string RegisterGas(std::string_view plc, unsigned reg) {
    char number[16];
    std::snprintf(number, sizeof number, "%04u", reg);
    return std::string(plc) + number;
}

std::string BitGas(std::string_view plc, unsigned reg, unsigned bit) {
    char number[16];
    std::snprintf(number, sizeof number, "%04u%02u", reg, bit + 1);
    return std::string(plc) + number;
}

std::string RouteGas(std::string_view plc) {
    return std::string(plc) + "!ROUTE";
}

} // namespace vpisd::host
