// A line's poller against a fake line and a clock the test moves: each group read once per
// interval, the quality each line status gives its values, each PLC's route read after its rounds,
// and the one write path every face takes, read back at once after a good write.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <optional>
#include <vector>

#include "fake_line.h"
#include "gateway/poll/line_poller.h"
#include "gateway/write_command.h"

namespace vpisd::gateway::test {
namespace {

using std::chrono::milliseconds;

PollConfig Group(const std::string &plc, const std::string &registers, int32_t intervalMs) {
    PollConfig poll;
    poll.plc = plc;
    std::string why;
    poll.registers = *ParsePollRegisters(registers, why);
    poll.intervalMs = intervalMs;
    return poll;
}

std::shared_ptr<const Config> LineConfigWith(std::vector<PollConfig> polls) {
    auto config = std::make_shared<Config>();
    config->lines.push_back(LineConfig{});
    config->polls = std::move(polls);
    return config;
}

// What the poller told one listener, from its thread.
class Recorder {
  public:
    LinePoller::Listener Listener() {
        return {[this](const PolledGroup &group) {
                    std::lock_guard lock(mutex_);
                    groups_.push_back(group);
                },
                nullptr,
                [this](const PolledRoute &route) {
                    std::lock_guard lock(mutex_);
                    routes_.push_back(route);
                }};
    }
    // The `n`th round told (from 1), once it has been.
    std::optional<PolledGroup> Round(size_t n) {
        if (!WaitUntil([&] { return Rounds() >= n; }))
            return std::nullopt;
        std::lock_guard lock(mutex_);
        return groups_[n - 1];
    }
    size_t Rounds() {
        std::lock_guard lock(mutex_);
        return groups_.size();
    }
    std::vector<uint16_t> Routes() {
        std::lock_guard lock(mutex_);
        std::vector<uint16_t> out;
        for (const PolledRoute &route : routes_)
            out.push_back(route.selection);
        return out;
    }

  private:
    std::mutex mutex_;
    std::vector<PolledGroup> groups_;
    std::vector<PolledRoute> routes_;
};

// The answer a write got, from whichever thread gave it.
class Answers {
  public:
    WriteAnswered Callback() {
        return [this](const WriteAnswer &answer) {
            std::lock_guard lock(mutex_);
            answers_.push_back(answer);
        };
    }
    std::optional<WriteAnswer> Next() {
        if (!WaitUntil([&] {
                std::lock_guard lock(mutex_);
                return answers_.size() > taken_;
            }))
            return std::nullopt;
        std::lock_guard lock(mutex_);
        return answers_[taken_++];
    }

  private:
    std::mutex mutex_;
    std::vector<WriteAnswer> answers_;
    size_t taken_ = 0;
};

TEST(LinePoller, ReadsEachGroupOncePerIntervalOfItsClock) {
    FakeLine line;
    ManualPollClock clock;
    LinePoller poller(LineConfigWith({Group("P1", "100:2", 1000), Group("P2", "200", 500)}), 0,
                      line, clock);
    poller.Start();
    ASSERT_TRUE(line.WaitForCount(LineOp::ReadRegisters, "P1", 1));
    ASSERT_TRUE(line.WaitForCount(LineOp::ReadRegisters, "P2", 1));
    // Groups are scheduled in one pass, P1 before P2: once P2's second round is on the line, P1
    // has been passed over at the same moment.
    clock.Advance(milliseconds(500));
    ASSERT_TRUE(line.WaitForCount(LineOp::ReadRegisters, "P2", 2));
    EXPECT_EQ(line.Count(LineOp::ReadRegisters, "P1"), 1u);
    clock.Advance(milliseconds(500));
    ASSERT_TRUE(line.WaitForCount(LineOp::ReadRegisters, "P2", 3));
    EXPECT_EQ(line.Count(LineOp::ReadRegisters, "P1"), 2u);
    EXPECT_EQ(line.Jobs().front().count, 2);
}

// One group, its rounds moved on by the clock, each answered as the line is scripted to.
TEST(LinePoller, EachLineStatusGivesItsQuality) {
    FakeLine line;
    ManualPollClock clock;
    PollConfig level = Group("P1", "100:2", 1000);
    level.type = host::ValueType::Float32; // one value over the pair 100-101, high word first
    LinePoller poller(LineConfigWith({level}), 0, line, clock);
    Recorder recorder;
    poller.Listen(recorder.Listener());
    line.SetRegister("P1", 100, 0x4148); // 12.5f
    poller.Start();

    std::optional<PolledGroup> round = recorder.Round(1);
    ASSERT_TRUE(round);
    EXPECT_EQ(round->quality, Quality::Good);
    EXPECT_EQ(round->values[0].number, 12.5);

    struct Row {
        LineStatus status;
        std::optional<Quality> quality; // none: a busy round
    };
    const Row rows[] = {
        {LineStatus::NoAnswer, Quality::NoAnswer}, {LineStatus::Refused, Quality::Refused},
        {LineStatus::LineDown, Quality::NoAnswer}, {LineStatus::Busy, std::nullopt},
        {LineStatus::Cancelled, std::nullopt},
    };
    size_t told = 1;
    for (const Row &row : rows) {
        SCOPED_TRACE(static_cast<int>(row.status));
        line.AnswerWith("P1", row.status);
        clock.Advance(milliseconds(1000));
        round = recorder.Round(++told);
        ASSERT_TRUE(round);
        EXPECT_EQ(round->busy, !row.quality);
        if (!row.quality)
            continue;
        EXPECT_EQ(round->quality, row.quality);
        // A failed read publishes no number but keeps the last good raw value.
        EXPECT_EQ(round->values[0].quality, row.quality);
        EXPECT_FALSE(round->values[0].number);
        EXPECT_EQ(round->values[0].raw, 0x41480000);
    }
    // Registers that hold no number (a float32 NaN) read well but give a bad value.
    line.AnswerWith("P1", LineStatus::Ok);
    line.SetRegister("P1", 100, 0x7fc0);
    clock.Advance(milliseconds(1000));
    round = recorder.Round(++told);
    ASSERT_TRUE(round);
    EXPECT_EQ(round->quality, Quality::Good);
    EXPECT_EQ(round->values[0].quality, Quality::BadValue);
    EXPECT_FALSE(round->values[0].number);
}

TEST(LinePoller, ReadsThePlcsRouteAfterEachRoundThatReachedIt) {
    FakeLine line;
    ManualPollClock clock;
    LinePoller poller(LineConfigWith({Group("P1", "100", 1000), Group("00", "300", 1000)}), 0, line,
                      clock);
    Recorder recorder;
    poller.Listen(recorder.Listener());
    line.SetRoute("P1", 1);
    poller.Start();
    ASSERT_TRUE(WaitUntil([&] { return recorder.Routes() == std::vector<uint16_t>{1}; }));

    line.SetRoute("P1", 0);
    clock.Advance(milliseconds(1000));
    ASSERT_TRUE(WaitUntil([&] { return recorder.Routes() == std::vector<uint16_t>{1, 0}; }));
    // A round that did not reach the PLC says nothing new of its route.
    line.AnswerWith("P1", LineStatus::Busy);
    clock.Advance(milliseconds(1000));
    ASSERT_TRUE(recorder.Round(5));
    EXPECT_EQ(line.Count(LineOp::ReadRoute, "P1"), 2u);
    // Peer to peer ("00") has no route.
    EXPECT_EQ(line.Count(LineOp::ReadRoute, "00"), 0u);

    // A listener that comes later is told the route known, without another read.
    Recorder late;
    poller.Listen(late.Listener());
    ASSERT_TRUE(WaitUntil([&] { return late.Routes() == std::vector<uint16_t>{0}; }));
    EXPECT_EQ(line.Count(LineOp::ReadRoute, "P1"), 2u);
}

TEST(SubmitWrite, AGoodWriteIsReadBackAtOnce) {
    FakeLine line;
    ManualPollClock clock; // stands still: no round falls due after the first
    PollConfig tank = Group("P1", "100", 60000);
    tank.scaling = {0.1, 0}; // published in tenths
    LinePoller poller(LineConfigWith({tank}), 0, line, clock);
    Recorder recorder;
    poller.Listen(recorder.Listener());
    poller.Start();
    ASSERT_TRUE(recorder.Round(1));

    Answers answers;
    std::string reason;
    const std::optional<int64_t> raw =
        RawFromValue(TypedValue(12.5), tank.Format(), tank.scaling, reason);
    ASSERT_TRUE(raw) << reason;
    SubmitWrite(poller, WriteTarget{"P1", 100, tank.Format(), tank.scaling}, *raw,
                Source::Sparkplug, answers.Callback());
    const std::optional<WriteAnswer> answer = answers.Next();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->outcome, WriteOutcome::Ok);
    EXPECT_EQ(line.Register("P1", 100), 125);
    const std::vector<LineRequest> jobs = line.Jobs();
    const auto write = std::find_if(jobs.begin(), jobs.end(), [](const LineRequest &job) {
        return job.op == LineOp::WriteRegisters;
    });
    ASSERT_NE(write, jobs.end());
    EXPECT_EQ(write->source, Source::Sparkplug);
    const std::optional<PolledGroup> readBack = recorder.Round(2);
    ASSERT_TRUE(readBack);
    EXPECT_EQ(readBack->values[0].number, 12.5);

    // A write that failed changed nothing to read.
    line.AnswerWith("P1", LineStatus::NoAnswer);
    SubmitWrite(poller, WriteTarget{"P1", 100, tank.Format(), tank.scaling}, 1, Source::Mqtt,
                answers.Callback());
    ASSERT_TRUE(answers.Next());
    EXPECT_FALSE(line.WaitForCount(LineOp::ReadRegisters, "P1", 3, milliseconds(50)));
}

// Every face answers a write from the same outcome and reason.
TEST(SubmitWrite, EachLineStatusAndRefusalGivesItsOutcome) {
    struct Row {
        LineStatus status;
        bool demoted;
        std::optional<Queued> queued; // the line's queue refuses the write
        WriteOutcome outcome;
        const char *reason;
        LineStatus answered;
    };
    const Row rows[] = {
        {LineStatus::Ok, false, {}, WriteOutcome::Ok, "", LineStatus::Ok},
        {LineStatus::Refused,
         false,
         {},
         WriteOutcome::Refused,
         "refused by the PLC",
         LineStatus::Refused},
        {LineStatus::NoAnswer,
         false,
         {},
         WriteOutcome::NoAnswer,
         "may have been applied",
         LineStatus::NoAnswer},
        {LineStatus::NoAnswer,
         true,
         {},
         WriteOutcome::NoAnswer,
         "demoted: not written",
         LineStatus::NoAnswer},
        {LineStatus::Cancelled,
         false,
         {},
         WriteOutcome::Refused,
         "busy or stopping",
         LineStatus::Cancelled},
        {LineStatus::Ok, false, Queued::Full, WriteOutcome::Refused, "the line's queue is full",
         LineStatus::Busy},
        {LineStatus::Ok, false, Queued::Closed, WriteOutcome::Refused, "the line is restarting",
         LineStatus::Cancelled},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.reason));
        FakeLine line;
        LinePoller poller(LineConfigWith({}), 0, line);
        poller.Start();
        line.AnswerWith("P2", row.status, row.demoted);
        if (row.queued)
            line.Refuse(*row.queued);
        Answers answers;
        SubmitWrite(poller,
                    WriteTarget{"P2", 7, {host::ValueType::Bit, host::WordOrder::HighFirst, 3}, {}},
                    1, Source::Mqtt, answers.Callback());
        const std::optional<WriteAnswer> answer = answers.Next();
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->outcome, row.outcome);
        EXPECT_NE(answer->reason.find(row.reason), std::string::npos) << answer->reason;
        EXPECT_EQ(answer->status, row.answered);
        EXPECT_EQ(line.Register("P2", 7), row.outcome == WriteOutcome::Ok ? 0x8 : 0);
    }
}

} // namespace
} // namespace vpisd::gateway::test
