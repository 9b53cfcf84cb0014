#include "gateway/mqtt/value_topic.h"

#include <string>

namespace vpisd::gateway {

std::optional<PollRegisters> ParseValueName(std::string_view text) {
    std::string why;
    if (text.find(':') != std::string_view::npos)
        return std::nullopt; // a count names a group, never one value
    return ParsePollRegisters(text, why);
}

} // namespace vpisd::gateway
