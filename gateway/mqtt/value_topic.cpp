#include "gateway/mqtt/value_topic.h"

#include "host/tag_layout.h"

namespace vpisd::gateway {

std::optional<PollRegisters> ParseValueName(std::string_view text) {
    std::string why;
    if (text.find(':') != std::string_view::npos)
        return std::nullopt; // a count names a group, never one value
    return ParsePollRegisters(text, why);
}

std::optional<SetCommand> ParseSetTopic(std::string_view base, const std::string &topic,
                                        std::string payload) {
    constexpr std::string_view kSet = "/set";
    std::string_view rest = topic;
    if (!rest.starts_with(base) || !rest.ends_with(kSet))
        return std::nullopt;
    rest.remove_prefix(base.size());
    rest.remove_suffix(kSet.size());
    if (!rest.starts_with('/'))
        return std::nullopt;
    rest.remove_prefix(1);
    const size_t slash = rest.find('/');
    if (slash == 0 || slash == std::string_view::npos || slash + 1 == rest.size())
        return std::nullopt;
    return SetCommand{topic, host::PlcName(rest.substr(0, slash)),
                      std::string(rest.substr(slash + 1)), std::move(payload)};
}

} // namespace vpisd::gateway
