// What a line's value topics tell of the poller's rounds (deadband, publish mode, quality, a
// broker that was away), its routes and its PLCs' status words: in-process, with a recording
// publisher and a line made in the test.
#include <gtest/gtest.h>

#include "gateway/mqtt/mqtt_values.h"
#include "in_process.h"

namespace vpisd::gateway {
namespace {

using Told = std::vector<std::string>;

// The values side of line "north" whose groups are `polls`.
struct Values {
    explicit Values(std::vector<PollConfig> polls) : config(test::LinesConfig({"north"})) {
        config.polls = std::move(polls);
        topics = BuildLineTopics(config, 0);
    }
    Config config;
    LineTopics topics;
    test::RecordingPublisher publisher;
    MqttStatistics statistics;
    MqttPlcStatistics plcs{{"P1", "P2"}, {}};
    MqttValues values{publisher, statistics, plcs};
};

// One round of a group of one value in tenths (no raw: unanswered), and what it publishes:
// "100.0 good" (the value and its quality), or "" for nothing.
struct Round {
    std::optional<int64_t> raw = std::nullopt;
    std::string told = "";
    bool busy = false;
    bool brokerAway = false;
};

TEST(MqttValueRounds, EachRoundToldAsItsQualityAndDeadbandAsk) {
    struct Case {
        const char *name;
        std::optional<double> deadband; // none: publish always
        std::vector<Round> rounds;
    };
    const Round good{1000, "100.0 good"};
    const std::vector<Case> cases = {
        {"from the number last told",
         0.5,
         {good, {1003}, {1004}, {1006, "100.6 good"}, {1002}, good}},
        {"any change without a deadband", 0, {good, {1000}, {1001, "100.1 good"}}},
        {"always", std::nullopt, {good, good}},
        // Never held back, keeping the last good value.
        {"a change of quality", 0.5, {good, {{}, "100.0 no_answer"}, {}, good}},
        {"a busy round tells nothing", 0, {good, {{}, "", true}}},
        {"what the broker missed goes with the next", 0, {{1000, "", false, true}, good, {1000}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        PollConfig poll = test::Poll(0, "P1", "100");
        poll.publish = c.deadband ? PublishMode::OnChange : PublishMode::Always;
        poll.deadband = c.deadband.value_or(0.5);
        poll.scaling.scale = 0.1;
        Values v({poll});
        for (size_t i = 0; i < c.rounds.size(); ++i) {
            const Round &round = c.rounds[i];
            PolledGroup polled;
            polled.quality = round.raw || round.busy ? Quality::Good : Quality::NoAnswer;
            polled.busy = round.busy;
            polled.values.resize(1);
            polled.values[0].raw = round.raw;
            if (round.raw)
                polled.values[0].number = static_cast<double>(*round.raw) * 0.1;
            v.publisher.connected = !round.brokerAway;
            v.values.PollDone(v.topics.groups[0], polled);
            Told expected;
            if (const size_t space = round.told.find(' '); space != std::string::npos)
                expected.push_back("vpisd/north/P1/100 {\"value\":" + round.told.substr(0, space) +
                                   R"(,"ts":"1970-01-01T00:00:00.000Z","quality":")" +
                                   round.told.substr(space + 1) + "\"} (retained)");
            EXPECT_EQ(v.publisher.Take(), expected) << "round " << i;
        }
    }
}

TEST(MqttValueRounds, ARouteIsToldWhenItChangesOrWasNotSent) {
    Values v({test::Poll(0, "P1", "100")});
    const auto route = [&](uint16_t selection, bool connected) {
        v.publisher.connected = connected;
        v.values.RouteRead(v.topics.routes[0], PolledRoute{"P1", selection, {}});
        return v.publisher.Take();
    };
    EXPECT_EQ(route(0, false), Told{});
    const std::string normal = R"({"value":0,"route":"normal","ts":"1970-01-01T00:00:00.000Z"})";
    EXPECT_EQ(route(0, true), Told{"vpisd/north/P1/route " + normal + " (retained)"}); // unsent
    EXPECT_EQ(route(0, true), Told{});
    EXPECT_EQ(route(1, true).size(), 1u);
}

TEST(MqttValueRounds, APlcStatusIsToldOnceSettledAndAgainWhenItChanges) {
    Values v({test::Poll(0, "P1", "100"), test::Poll(0, "P2", "100")});
    test::FakeLine line("north");
    // P1 asked once more, and the statuses updated (`all`: after a reconnect).
    const auto update = [&](bool read, bool all = false) {
        LineRequest request;
        request.plc = "P1";
        request.count = 1;
        request.done = [](LineReply &&) {};
        if (read)
            line.Submit(request);
        v.values.UpdatePlcStatus(v.topics.plcStatuses, line, all);
        return v.publisher.Take();
    };
    const Told online = {"vpisd/north/P1/status online (retained)"};
    EXPECT_EQ(update(false), Told{}); // neither asked yet
    EXPECT_EQ(update(true), online);
    EXPECT_EQ(update(false), Told{});
    EXPECT_EQ(update(false, true), online);
    line.AnswerWith("P1", LineStatus::NoAnswer);
    EXPECT_EQ(update(true), Told{"vpisd/north/P1/status offline (retained)"});
    v.values.MarkOffline(v.topics.plcStatuses); // already offline: nothing more
    EXPECT_EQ(v.publisher.Take(), Told{});
    // A line down with a cause tells a PLC offline though it was never asked.
    EXPECT_STREQ(PlcStatusWord(nullptr, true), "offline");
    EXPECT_STREQ(PlcStatusWord(nullptr, false), "");
}

} // namespace
} // namespace vpisd::gateway
