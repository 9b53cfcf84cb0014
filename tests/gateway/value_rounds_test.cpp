// What a line's value topics tell of the poller's rounds (deadband, publish mode, quality, a
// broker that was away), its routes and its PLCs' status words: in-process, with a recording
// publisher and a line made in the test.
#include <gtest/gtest.h>

#include "fake_line.h"
#include "gateway/mqtt/mqtt_values.h"
#include "mqtt_in_process.h"

namespace vpisd::gateway {
namespace {

using test::RecordingPublisher;

constexpr const char *kEpoch = "1970-01-01T00:00:00.000Z";
constexpr double kScale = 0.1;

// One round of a group of one value, and what it publishes ("10 good": the value and its
// quality; "" nothing).
struct Round {
    std::optional<int64_t> raw; // nullopt: no answer
    Quality quality;
    std::string told;
    bool connected;
    bool busy;
};
Round Read(int64_t raw, std::string told = "") {
    return {raw, Quality::Good, std::move(told), true, false};
}
Round Unanswered(std::string told = "") {
    return {std::nullopt, Quality::NoAnswer, std::move(told), true, false};
}
Round Busy() {
    return {std::nullopt, Quality::Good, "", true, true};
}
Round BrokerAway(int64_t raw) {
    return {raw, Quality::Good, "", false, false};
}

// The round as the poller hands it over, its number in units of `scale`.
PolledGroup Polled(const Round &round, double scale) {
    PolledGroup polled;
    polled.busy = round.busy;
    polled.quality = round.quality;
    PolledValue value;
    value.raw = round.raw;
    if (round.raw)
        value.number = static_cast<double>(*round.raw) * scale;
    polled.values.push_back(value);
    return polled;
}

std::string Told(const std::string &value, const std::string &quality) {
    return "vpisd/north/P1/100 {\"value\":" + value + ",\"ts\":\"" + kEpoch + "\",\"quality\":\"" +
           quality + "\"} (retained)";
}

// The values side of line "north" whose groups are `polls`.
struct Values {
    explicit Values(std::vector<PollConfig> polls) : config(test::LinesConfig({"north"})) {
        config.polls = std::move(polls);
        topics = BuildLineTopics(config, 0);
    }
    Config config;
    LineTopics topics;
    RecordingPublisher publisher;
    MqttStatistics statistics;
    MqttPlcStatistics plcs{{"P1", "P2"}, {}};
    MqttValues values{publisher, statistics, plcs};
};

struct Rounds {
    const char *name;
    PublishMode mode;
    double deadband;
    std::vector<Round> rounds;
};

TEST(MqttValueRounds, EachRoundToldAsItsQualityAndDeadbandAsk) {
    const std::vector<Rounds> cases = {
        {"deadband from the number last told",
         PublishMode::OnChange,
         0.5,
         {Read(1000, "100.0 good"), Read(1003), Read(1004), Read(1006, "100.6 good"), Read(1002),
          Read(1000, "100.0 good")}},
        {"any change without a deadband",
         PublishMode::OnChange,
         0,
         {Read(1000, "100.0 good"), Read(1000), Read(1001, "100.1 good")}},
        {"always", PublishMode::Always, 0.5, {Read(1000, "100.0 good"), Read(1000, "100.0 good")}},
        {"a change of quality, never held back, keeps the last good value",
         PublishMode::OnChange,
         0.5,
         {Read(1000, "100.0 good"), Unanswered("100.0 no_answer"), Unanswered(),
          Read(1000, "100.0 good")}},
        {"a busy round tells nothing",
         PublishMode::OnChange,
         0,
         {Read(1000, "100.0 good"), Busy()}},
        {"what the broker missed goes with the next round",
         PublishMode::OnChange,
         0,
         {BrokerAway(1000), Read(1000, "100.0 good"), Read(1000)}},
    };
    for (const Rounds &c : cases) {
        SCOPED_TRACE(c.name);
        PollConfig poll = test::Poll(0, "P1", "100");
        poll.publish = c.mode;
        poll.deadband = c.deadband;
        poll.scaling.scale = kScale;
        Values v({poll});
        for (size_t i = 0; i < c.rounds.size(); ++i) {
            const Round &round = c.rounds[i];
            v.publisher.connected = round.connected;
            v.values.PollDone(v.topics.groups[0], Polled(round, kScale));
            std::vector<std::string> expected;
            if (const size_t space = round.told.find(' '); space != std::string::npos)
                expected.push_back(Told(round.told.substr(0, space), round.told.substr(space + 1)));
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
    using Told = std::vector<std::string>;
    EXPECT_EQ(route(0, false), Told{});
    const std::string normal = R"({"value":0,"route":"normal","ts":"1970-01-01T00:00:00.000Z"})";
    EXPECT_EQ(route(0, true), Told{"vpisd/north/P1/route " + normal + " (retained)"}); // unsent
    EXPECT_EQ(route(0, true), Told{});
    EXPECT_EQ(route(1, true).size(), 1u);
}

TEST(MqttValueRounds, APlcStatusIsToldOnceSettledAndAgainWhenItChanges) {
    Values v({test::Poll(0, "P1", "100"), test::Poll(0, "P2", "100")});
    test::FakeLine line("north");
    const auto read = [&] {
        LineRequest request;
        request.plc = "P1";
        request.count = 1;
        request.done = [](LineReply &&) {};
        line.Submit(request);
    };
    using Told = std::vector<std::string>;

    v.values.UpdatePlcStatus(v.topics.plcStatuses, line, false);
    EXPECT_EQ(v.publisher.Take(), Told{}); // neither asked yet
    read();
    v.values.UpdatePlcStatus(v.topics.plcStatuses, line, false);
    EXPECT_EQ(v.publisher.Take(), Told{"vpisd/north/P1/status online (retained)"});
    v.values.UpdatePlcStatus(v.topics.plcStatuses, line, false);
    EXPECT_EQ(v.publisher.Take(), Told{});
    v.values.UpdatePlcStatus(v.topics.plcStatuses, line, true); // a reconnect
    EXPECT_EQ(v.publisher.Take(), Told{"vpisd/north/P1/status online (retained)"});
    line.AnswerWith("P1", LineStatus::NoAnswer);
    read();
    v.values.UpdatePlcStatus(v.topics.plcStatuses, line, false);
    EXPECT_EQ(v.publisher.Take(), Told{"vpisd/north/P1/status offline (retained)"});
    v.values.MarkOffline(v.topics.plcStatuses); // already offline: nothing more
    EXPECT_EQ(v.publisher.Take(), Told{});
    // A line down with a cause tells a PLC offline though it was never asked.
    EXPECT_STREQ(PlcStatusWord(nullptr, true), "offline");
    EXPECT_STREQ(PlcStatusWord(nullptr, false), "");
}

} // namespace
} // namespace vpisd::gateway
