// What a /set names, whether its PLC may be written, and the answer it gets on /set/reason and
// /set/result: in-process, with a recording publisher.
#include <gtest/gtest.h>

#include "gateway/mqtt/mqtt_payload.h"
#include "gateway/mqtt/mqtt_writes.h"
#include "mqtt_in_process.h"

namespace vpisd::gateway {
namespace {

using test::RecordingPublisher;
using Told = std::vector<std::string>;

SetCommand Set(const std::string &plc, const std::string &value, const std::string &payload) {
    return {"vpisd/north/" + plc + "/" + value + "/set", plc, value, payload};
}

std::shared_ptr<const Config> Plant(bool p1ReadOnly) {
    Config config = test::LinesConfig({"north"});
    config.polls.push_back(test::Poll(0, "P1", "100:2"));
    config.polls[0].names[1] = "tank/level";
    config.units.push_back(UnitConfig{.id = 2, .line = 0, .plc = "P2", .readOnly = true});
    config.units.push_back(UnitConfig{.id = 1, .line = 0, .plc = "P1", .readOnly = p1ReadOnly});
    return std::make_shared<const Config>(std::move(config));
}

struct Writes {
    explicit Writes(std::shared_ptr<const Config> config)
        : topics(BuildLineTopics(*config, 0)), plcs({"P1"}, {}),
          writes(publisher, statistics, plcs, "north", config, 0) {}
    LineTopics topics;
    RecordingPublisher publisher;
    MqttStatistics statistics;
    MqttPlcStatistics plcs;
    MqttWrites writes;
};

TEST(MqttSetAnswers, ACommandThatCannotBeWrittenIsAnsweredAtOnce) {
    const std::string named = "\"P1/101\" is named \"tank/level\": set it on "
                              "vpisd/north/P1/tank/level/set";
    const std::string nothing =
        "\"P1/nonsense\" names no value: expected PLC/100, PLC/101F, PLC/100/3 or a name";
    const std::vector<std::pair<SetCommand, Told>> cases = {
        {Set("P1", "101", "5"),
         {"vpisd/north/P1/101/set/reason " + named, "vpisd/north/P1/101/set/result refused"}},
        {Set("P1", "nonsense", "5"),
         {"vpisd/north/P1/nonsense/set/reason " + nothing,
          "vpisd/north/P1/nonsense/set/result refused"}},
        {Set("P2", "100", "5"), {"vpisd/north/P2/100/set/result read_only"}},
        // The payload is read by the rule every face's writes follow.
        {Set("P1", "100", "70000"),
         {"vpisd/north/P1/100/set/reason " + ParseSetPayload("70000", host::ValueFormat{}).reason,
          "vpisd/north/P1/100/set/result refused"}},
    };
    Writes w(Plant(false));
    for (const auto &[command, told] : cases) {
        SCOPED_TRACE(command.Path());
        EXPECT_FALSE(w.writes.Take(w.topics, command));
        EXPECT_EQ(w.publisher.Take(), told);
    }
    EXPECT_EQ(w.statistics.writes[static_cast<size_t>(WriteOutcome::Refused)], 3u);
}

TEST(MqttSetAnswers, ACommandTakesTheValueItNames) {
    Writes w(Plant(false));
    const auto named = w.writes.Take(w.topics, Set("P1", "tank/level", "7"));
    ASSERT_TRUE(named);
    EXPECT_EQ(named->target.first, 101);
    EXPECT_EQ(named->raw, 7);
    // A pair no group polls, by its key: a uint32 in two words.
    const auto pair = w.writes.Take(w.topics, Set("P3", "201F", "65537"));
    ASSERT_TRUE(pair);
    EXPECT_EQ(pair->target.first, 201);
    EXPECT_EQ(pair->target.format.type, host::ValueType::Uint32);
    EXPECT_EQ(pair->raw, 65537);
    EXPECT_EQ(w.publisher.Take(), Told{});
    // A reload's new rights hold from its Prepare on.
    w.writes.SetRights(Plant(true), 0);
    EXPECT_FALSE(w.writes.Take(w.topics, Set("P1", "100", "1")));
    EXPECT_EQ(w.publisher.Take(), Told{"vpisd/north/P1/100/set/result read_only"});
}

TEST(MqttSetAnswers, TheWritesAnswerIsWordedForTheLinesState) {
    struct Case {
        WriteAnswer answer;
        bool restarting;
        bool lineStarted;
        Told told;
    };
    const std::string topic = "vpisd/north/P1/100/set";
    const std::string busy = "the line is busy or stopping";
    const std::string restarting = topic + "/reason " + kRestarting;
    const std::string refused = topic + "/result refused";
    const std::vector<Case> cases = {
        {{WriteOutcome::Ok, "", LineStatus::Ok}, false, true, {topic + "/result ok"}},
        {{WriteOutcome::Refused, busy, LineStatus::Cancelled}, true, true, {restarting, refused}},
        {{WriteOutcome::Refused, busy, LineStatus::Cancelled},
         false,
         true,
         {topic + "/reason " + busy, refused}},
        // The queue of a line that has not opened yet fills because the line is restarting.
        {{WriteOutcome::Refused, kQueueFull, LineStatus::Busy},
         false,
         false,
         {restarting, refused}},
        {{WriteOutcome::Refused, kQueueFull, LineStatus::Busy},
         false,
         true,
         {topic + "/reason " + kQueueFull, refused}},
        {{WriteOutcome::NoAnswer, "late", LineStatus::NoAnswer},
         false,
         true,
         {topic + "/reason late", topic + "/result no_answer"}},
    };
    Writes w(Plant(false));
    for (const Case &c : cases) {
        EXPECT_EQ(w.writes.Finish(Set("P1", "100", "1"), c.answer, c.restarting, c.lineStarted),
                  c.answer.outcome);
        EXPECT_EQ(w.publisher.Take(), c.told);
    }
}

} // namespace
} // namespace vpisd::gateway
