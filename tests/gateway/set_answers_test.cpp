// What a /set names, whether its PLC may be written, and the answer it gets on /set/reason and
// /set/result: in-process, with a recording publisher.
#include <gtest/gtest.h>

#include "gateway/mqtt/mqtt_payload.h"
#include "gateway/mqtt/mqtt_writes.h"
#include "in_process.h"

namespace vpisd::gateway {
namespace {

using Told = std::vector<std::string>;

SetCommand Set(const std::string &plc, const std::string &value, const std::string &payload) {
    return {"vpisd/north/" + plc + "/" + value + "/set", plc, value, payload};
}

// What the /set of `command` is answered: its reason, when there is one, then its result.
Told Answered(const SetCommand &command, const std::string &reason, const std::string &result) {
    Told told;
    if (!reason.empty())
        told.push_back(command.topic + "/reason " + reason);
    told.push_back(command.topic + "/result " + result);
    return told;
}

// Line "north": P1 polled at 100 and 101 ("tank/level"), P2 read-only.
std::shared_ptr<const Config> Plant(bool p1ReadOnly) {
    Config config = test::LinesConfig({"north"});
    config.polls.push_back(test::Poll(0, "P1", "100:2"));
    config.polls[0].names[1] = "tank/level";
    config.units.push_back(UnitConfig{.id = 2, .line = 0, .plc = "P2", .readOnly = true});
    config.units.push_back(UnitConfig{.id = 1, .line = 0, .plc = "P1", .readOnly = p1ReadOnly});
    return std::make_shared<const Config>(std::move(config));
}

struct Writes {
    std::shared_ptr<const Config> config = Plant(false); // topics point into it
    LineTopics topics = BuildLineTopics(*config, 0);
    test::RecordingPublisher publisher;
    MqttStatistics statistics;
    MqttPlcStatistics plcs{{"P1"}, {}};
    MqttWrites writes{publisher, statistics, plcs, "north", config, 0};
};

TEST(MqttSetAnswers, ACommandThatCannotBeWrittenIsAnsweredAtOnce) {
    struct Case {
        SetCommand command;
        std::string reason;
        const char *result;
    };
    const std::vector<Case> cases = {
        {Set("P1", "101", "5"),
         R"("P1/101" is named "tank/level": set it on vpisd/north/P1/tank/level/set)", "refused"},
        {Set("P1", "nonsense", "5"),
         R"("P1/nonsense" names no value: expected PLC/100, PLC/101F, PLC/100/3 or a name)",
         "refused"},
        {Set("P2", "100", "5"), "", "read_only"},
        // The payload is read by the rule every face's writes follow.
        {Set("P1", "100", "70000"), ParseSetPayload("70000", host::ValueFormat{}).reason,
         "refused"},
    };
    Writes w;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.command.Path());
        EXPECT_FALSE(w.writes.Take(w.topics, c.command));
        EXPECT_EQ(w.publisher.Take(), Answered(c.command, c.reason, c.result));
    }
    EXPECT_EQ(w.statistics.writes[static_cast<size_t>(WriteOutcome::Refused)], 3u);
}

TEST(MqttSetAnswers, ACommandTakesTheValueItNames) {
    Writes w;
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
    EXPECT_EQ(w.publisher.Take(), Answered(Set("P1", "100", "1"), "", "read_only"));
}

TEST(MqttSetAnswers, TheWritesAnswerIsWordedForTheLinesState) {
    struct Case {
        WriteAnswer answer;
        bool restarting;
        bool lineStarted;
        std::string reason;
        const char *result;
    };
    const std::string busy = "the line is busy or stopping";
    const WriteAnswer cancelled{WriteOutcome::Refused, busy, LineStatus::Cancelled};
    const WriteAnswer full{WriteOutcome::Refused, kQueueFull, LineStatus::Busy};
    const std::vector<Case> cases = {
        {{WriteOutcome::Ok, "", LineStatus::Ok}, false, true, "", "ok"},
        {cancelled, true, true, kRestarting, "refused"},
        {cancelled, false, true, busy, "refused"},
        // The queue of a line that has not opened yet fills because the line is restarting.
        {full, false, false, kRestarting, "refused"},
        {full, false, true, kQueueFull, "refused"},
        {{WriteOutcome::NoAnswer, "late", LineStatus::NoAnswer}, false, true, "late", "no_answer"},
    };
    Writes w;
    for (const Case &c : cases) {
        const SetCommand command = Set("P1", "100", "1");
        EXPECT_EQ(w.writes.Finish(command, c.answer, c.restarting, c.lineStarted),
                  c.answer.outcome);
        EXPECT_EQ(w.publisher.Take(), Answered(command, c.reason, c.result));
    }
}

} // namespace
} // namespace vpisd::gateway
