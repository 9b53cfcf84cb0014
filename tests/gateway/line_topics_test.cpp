// A line's topics built from the configuration alone, what a reload carries over to the new
// ones, and the discovery configs shared out among the lines: in-process, no broker.
#include <gtest/gtest.h>

#include "gateway/mqtt/discovery.h"
#include "gateway/mqtt/line_topics.h"
#include "mqtt_in_process.h"

namespace vpisd::gateway {
namespace {

using test::LinesConfig;
using test::Poll;

std::vector<std::string> ValueTopics(const LineTopics &topics) {
    std::vector<std::string> out;
    for (const GroupTopics &group : topics.groups) {
        for (const ValueState &value : group.values)
            out.push_back(value.topic);
    }
    return out;
}

template <typename Topic> std::vector<std::string> TopicsOf(const std::vector<Topic> &list) {
    std::vector<std::string> out;
    for (const Topic &topic : list)
        out.push_back(topic.topic);
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
    EXPECT_EQ(ValueTopics(topics),
              (std::vector<std::string>{"vpisd/north/P1/100", "vpisd/north/P1/tank/level",
                                        "vpisd/north/00/201F", "vpisd/north/P2/300/3"}));
    // Peer to peer has no route; every polled PLC has its status.
    EXPECT_EQ(TopicsOf(topics.routes),
              (std::vector<std::string>{"vpisd/north/P1/route", "vpisd/north/P2/route"}));
    EXPECT_EQ(TopicsOf(topics.plcStatuses),
              (std::vector<std::string>{"vpisd/north/P1/status", "vpisd/north/00/status",
                                        "vpisd/north/P2/status"}));
    const std::map<std::string, SetTarget> targets = {
        {"P1/100", {0, 0, false}},
        {"P1/tank/level", {0, 1, false}},
        {"P1/101", {0, 1, true}}, // the key of a named value
        {"00/201F", {1, 0, false}},
        {"P2/300/3", {2, 0, false}}};
    EXPECT_EQ(topics.targets, targets);
}

TEST(MqttLineTopics, AReloadCarriesWhatAGroupKept) {
    const Config before = Plant();
    LineTopics old = BuildLineTopics(before, 0);
    old.groups[0].values[1].value = 42;
    old.groups[0].values[1].sent = true;
    old.groups[2].values[0].value = 1;
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

    ASSERT_EQ(next.groups.size(), 3u);
    EXPECT_FALSE(next.groups[0].values[0].value);  // P3: new
    EXPECT_EQ(next.groups[1].values[1].value, 42); // P1's group kept
    EXPECT_TRUE(next.groups[1].values[1].sent);
    EXPECT_FALSE(next.groups[2].values[0].value); // changed: starts afresh
    ASSERT_EQ(next.routes.size(), 2u);
    EXPECT_EQ(next.routes[1].plc, "P1");
    EXPECT_EQ(next.routes[1].selection, 1);
    EXPECT_FALSE(next.routes[0].selection);
    EXPECT_EQ(next.plcStatuses[1].published, "online"); // P1
    EXPECT_EQ(next.plcStatuses[0].published, "");       // P3
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
