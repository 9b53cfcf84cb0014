#include "gateway/mqtt/line_topics.h"

#include <algorithm>

#include "gateway/reload_plan.h"

namespace vpisd::gateway {
namespace {

// The same group wherever its line now stands in the file.
bool SamePoll(PollConfig a, PollConfig b) {
    a.line = b.line = 0;
    return SamePolls({a}, {b});
}

template <typename Topic>
const Topic *OfPlc(const std::vector<Topic> &topics, const std::string &plc) {
    const auto found = std::find_if(topics.begin(), topics.end(),
                                    [&](const Topic &topic) { return topic.plc == plc; });
    return found == topics.end() ? nullptr : &*found;
}

} // namespace

std::vector<std::string> PolledPlcs(const Config &config, size_t line) {
    std::vector<std::string> plcs;
    for (const PollConfig &poll : config.polls) {
        if (poll.line == line && std::find(plcs.begin(), plcs.end(), poll.plc) == plcs.end())
            plcs.push_back(poll.plc);
    }
    return plcs;
}

LineTopics BuildLineTopics(const Config &config, size_t line) {
    LineTopics topics;
    topics.base = config.mqtt->topicPrefix + "/" + config.lines[line].name;
    const std::string &base = topics.base;
    for (const PollConfig &poll : config.polls) {
        if (poll.line != line)
            continue;
        const size_t index = topics.groups.size();
        GroupTopics group{&poll, {}};
        for (size_t i = 0; i < poll.Values(); ++i) {
            ValueState value;
            value.topic = base + "/" + poll.plc + "/" + poll.Level(i);
            group.values.push_back(std::move(value));
            topics.targets[poll.plc + "/" + poll.Level(i)] = SetTarget{index, i, false};
            if (poll.Level(i) != poll.Key(i))
                topics.targets[poll.plc + "/" + poll.Key(i)] = SetTarget{index, i, true};
        }
        topics.groups.push_back(std::move(group));
    }
    for (const std::string &plc : PolledPlcs(config, line)) {
        if (plc != "00") // peer to peer has no route to show
            topics.routes.push_back(RouteTopic{plc, base + "/" + plc + "/route", {}, "", false});
        topics.plcStatuses.push_back({plc, base + "/" + plc + "/status", ""});
    }
    return topics;
}

std::vector<PlcStatusTopic> Carry(const LineTopics &old, LineTopics &next) {
    for (GroupTopics &group : next.groups) {
        const auto same = std::find_if(old.groups.begin(), old.groups.end(), [&](const auto &g) {
            return SamePoll(*g.poll, *group.poll);
        });
        if (same != old.groups.end())
            group.values = same->values;
    }
    for (RouteTopic &route : next.routes) {
        if (const RouteTopic *before = OfPlc(old.routes, route.plc)) {
            route.selection = before->selection;
            route.ts = before->ts;
            route.sent = before->sent;
        }
    }
    std::vector<PlcStatusTopic> unwatched;
    for (PlcStatusTopic &status : next.plcStatuses) {
        if (const PlcStatusTopic *before = OfPlc(old.plcStatuses, status.plc))
            status.published = before->published;
    }
    for (const PlcStatusTopic &before : old.plcStatuses) {
        if (OfPlc(next.plcStatuses, before.plc) == nullptr)
            unwatched.push_back(before);
    }
    return unwatched;
}

} // namespace vpisd::gateway
