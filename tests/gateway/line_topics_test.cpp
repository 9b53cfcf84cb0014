// A line's topics built from the configuration alone, what a reload carries over to the new
// ones, and the discovery configs shared out among the lines: in-process, no broker.
#include <gtest/gtest.h>

#include "gateway/mqtt/discovery.h"
#include "gateway/mqtt/line_topics.h"
#include "in_process.h"

namespace vpisd::gateway {
namespace {

using test::LinesConfig;
using test::Poll;

// Each topic of `topics` in order (values, routes, statuses), with what it keeps: "=42 sent" of
// a value, "=1" of a route, "=online" of a status.
std::vector<std::string> Shown(const LineTopics &topics) {
    std::vector<std::string> out;
    for (const GroupTopics &group : topics.groups) {
        for (const ValueState &value : group.values)
            out.push_back(value.topic + (value.value ? "=" + std::to_string(*value.value) : "") +
                          (value.sent ? " sent" : ""));
    }
    for (const RouteTopic &route : topics.routes)
        out.push_back(route.topic +
                      (route.selection ? "=" + std::to_string(*route.selection) : ""));
    for (const PlcStatusTopic &status : topics.plcStatuses)
        out.push_back(status.topic + (status.published.empty() ? "" : "=" + status.published));
    return out;
}

Config Plant() {
    Config config = LinesConfig({"north", "south"});
    config.polls.push_back(Poll(0, "P1", "100:2"));
    config.polls.back().names[1] = "tank/level";
    config.polls.push_back(Poll(1, "P7", "100"));
    config.polls.push_back(Poll(0, "00", "201F"));
    config.polls.push_back(Poll(0, "P2", "300/3"));
    return config;
}

TEST(MqttLineTopics, BuiltFromTheLinesGroupsAlone) {
    const Config config = Plant();
    const LineTopics topics = BuildLineTopics(config, 0);
    // Peer to peer has no route; every polled PLC has its status.
    EXPECT_EQ(Shown(topics),
              (std::vector<std::string>{
                  "vpisd/north/P1/100", "vpisd/north/P1/tank/level", "vpisd/north/00/201F",
                  "vpisd/north/P2/300/3", "vpisd/north/P1/route", "vpisd/north/P2/route",
                  "vpisd/north/P1/status", "vpisd/north/00/status", "vpisd/north/P2/status"}));
    // "P1/101": the key of a named value.
    const std::map<std::string, SetTarget> targets = {{"P1/100", {0, 0, false}},
                                                      {"P1/tank/level", {0, 1, false}},
                                                      {"P1/101", {0, 1, true}},
                                                      {"00/201F", {1, 0, false}},
                                                      {"P2/300/3", {2, 0, false}}};
    EXPECT_EQ(topics.targets, targets);
}

TEST(MqttLineTopics, AReloadCarriesWhatAGroupKept) {
    const Config before = Plant();
    LineTopics old = BuildLineTopics(before, 0);
    old.groups[0].values[1].value = 42;
    old.groups[0].values[1].sent = true;
    old.groups[1].values[0].value = 1; // 00
    old.routes[0].selection = 1;
    old.plcStatuses[0].published = "online";
    old.plcStatuses[2].published = "online";

    // The line moves to the file's second place: P1's group stays, the peer-to-peer group
    // changes its deadband, P2 is polled no more and P3 comes.
    Config after = LinesConfig({"south", "north"});
    after.polls.push_back(Poll(0, "P7", "100"));
    after.polls.push_back(Poll(1, "P3", "5"));
    after.polls.push_back(before.polls[0]);
    after.polls.back().line = 1;
    after.polls.push_back(before.polls[2]);
    after.polls.back().line = 1;
    after.polls.back().deadband = 2; // the same registers, polled otherwise
    LineTopics next = BuildLineTopics(after, 1);
    const std::vector<PlcStatusTopic> unwatched = Carry(old, next);

    // P3 new, P1's group kept, the peer-to-peer group changed: it starts afresh.
    EXPECT_EQ(Shown(next),
              (std::vector<std::string>{"vpisd/north/P3/5", "vpisd/north/P1/100",
                                        "vpisd/north/P1/tank/level=42 sent", "vpisd/north/00/201F",
                                        "vpisd/north/P3/route", "vpisd/north/P1/route=1",
                                        "vpisd/north/P3/status", "vpisd/north/P1/status=online",
                                        "vpisd/north/00/status"}));
    ASSERT_EQ(unwatched.size(), 1u);
    EXPECT_EQ(unwatched[0].topic, "vpisd/north/P2/status");
    EXPECT_EQ(unwatched[0].published, "online");
}

TEST(MqttLineTopics, DiscoveryBuiltOnceAndSharedByLine) {
    const std::shared_ptr<const DiscoveryPlan> plan = PlanDiscovery(Plant());
    ASSERT_EQ(plan->lines.size(), 2u);
    EXPECT_EQ(plan->lines[0].size(), 4u);
    ASSERT_EQ(plan->lines[1].size(), 1u);
    EXPECT_EQ(plan->lines[1][0].topic, "ha/number/vpisd_vpisd-gateway_south_P7/100/config");
    EXPECT_EQ(plan->topics.size(), 5u);
    EXPECT_TRUE(PlanDiscovery(LinesConfig({"north"}))->topics.empty());
}

TEST(MqttLineTopics, DiscoveryChangePublishesWhatChangedAndClearsWhatNoLineKeeps) {
    const std::vector<DiscoveryConfig> before = {
        {0, "a", "1"}, {0, "b", "1"}, {0, "moved", "1"}, {0, "gone", "1"}};
    const std::vector<DiscoveryConfig> after = {{0, "a", "1"}, {0, "b", "2"}, {0, "c", "1"}};
    const std::set<std::string> kept = {"a", "b", "c", "moved"}; // "moved" to another line
    const DiscoveryChange change = ChangeDiscovery(before, after, kept);
    std::vector<std::string> published;
    for (const DiscoveryConfig &config : change.published)
        published.push_back(config.topic + "=" + config.payload);
    EXPECT_EQ(published, (std::vector<std::string>{"b=2", "c=1"}));
    EXPECT_EQ(change.cleared, (std::vector<std::string>{"gone"}));
}

} // namespace
} // namespace vpisd::gateway
