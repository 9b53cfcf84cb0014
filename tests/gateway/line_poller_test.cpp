// A line's poller against a fake line and a clock the test moves: each group read once per
// interval, what a failed or busy round leaves of its values, each PLC's route read after its
// rounds, and the one write path every face takes, read back at once after a good write.
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

std::shared_ptr<const Config> Groups(std::vector<std::pair<std::string, int32_t>> groups,
                                     host::ValueType type = host::ValueType::Uint16) {
    auto config = std::make_shared<Config>();
    config->lines.emplace_back();
    for (const auto &[plc, intervalMs] : groups) {
        PollConfig poll;
        poll.plc = plc;
        poll.registers = {ValueForm::Register, 100, 2};
        poll.intervalMs = intervalMs;
        poll.type = type;
        config->polls.push_back(poll);
    }
    return config;
}

// What the poller (or a write's answer) told, from any thread; `At(n)` waits for the nth.
template <typename Told> class Heard {
  public:
    std::function<void(const Told &)> Callback() {
        return [this](const Told &told) {
            std::lock_guard lock(mutex_);
            told_.push_back(told);
        };
    }
    std::optional<Told> At(size_t n) {
        if (!WaitUntil([&] { return Count() >= n; }))
            return std::nullopt;
        std::lock_guard lock(mutex_);
        return told_[n - 1];
    }
    size_t Count() {
        std::lock_guard lock(mutex_);
        return told_.size();
    }

  private:
    std::mutex mutex_;
    std::vector<Told> told_;
};

TEST(LinePoller, ReadsEachGroupOncePerIntervalOfItsClock) {
    FakeLine line;
    ManualPollClock clock;
    LinePoller poller(Groups({{"P1", 1000}, {"P2", 500}}), 0, line, clock);
    poller.Start();
    ASSERT_TRUE(line.WaitForCount(LineOp::ReadRegisters, "P2", 1));
    // One pass schedules P1 before P2: once P2's next round is on the line, P1 was passed over.
    clock.Advance(milliseconds(500));
    ASSERT_TRUE(line.WaitForCount(LineOp::ReadRegisters, "P2", 2));
    EXPECT_EQ(line.Count(LineOp::ReadRegisters, "P1"), 1u);
    clock.Advance(milliseconds(500));
    ASSERT_TRUE(line.WaitForCount(LineOp::ReadRegisters, "P2", 3));
    EXPECT_EQ(line.Count(LineOp::ReadRegisters, "P1"), 2u);
}

TEST(LinePoller, AFailedRoundKeepsTheLastGoodValueABusyOneSaysNothing) {
    FakeLine line;
    ManualPollClock clock;
    LinePoller poller(Groups({{"P1", 1000}}, host::ValueType::Float32), 0, line, clock);
    Heard<PolledGroup> rounds;
    poller.Listen({rounds.Callback(), nullptr});
    line.SetRegister("P1", 100, 0x4148); // 12.5f, high word first
    poller.Start();
    ASSERT_TRUE(rounds.At(1));
    EXPECT_EQ(rounds.At(1)->values[0].number, 12.5);

    line.AnswerWith("P1", LineStatus::NoAnswer);
    clock.Advance(milliseconds(1000));
    const std::optional<PolledGroup> failed = rounds.At(2);
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->quality, Quality::NoAnswer);
    EXPECT_EQ(failed->values[0].quality, Quality::NoAnswer);
    EXPECT_FALSE(failed->values[0].number);
    EXPECT_EQ(failed->values[0].raw, 0x41480000);

    line.AnswerWith("P1", LineStatus::Busy);
    clock.Advance(milliseconds(1000));
    ASSERT_TRUE(rounds.At(3));
    EXPECT_TRUE(rounds.At(3)->busy);

    // Registers that hold no number (a float32 NaN) read well but give a bad value.
    line.AnswerWith("P1", LineStatus::Ok);
    line.SetRegister("P1", 100, 0x7fc0);
    clock.Advance(milliseconds(1000));
    const std::optional<PolledGroup> nan = rounds.At(4);
    ASSERT_TRUE(nan);
    EXPECT_EQ(nan->quality, Quality::Good);
    EXPECT_EQ(nan->values[0].quality, Quality::BadValue);
}

TEST(LinePoller, ReadsThePlcsRouteAfterEachRoundThatReachedIt) {
    FakeLine line;
    ManualPollClock clock;
    LinePoller poller(Groups({{"P1", 1000}, {"00", 1000}}), 0, line, clock);
    Heard<PolledGroup> rounds;
    Heard<PolledRoute> routes;
    poller.Listen({rounds.Callback(), nullptr, routes.Callback()});
    line.SetRoute("P1", 1);
    poller.Start();
    ASSERT_TRUE(routes.At(1));
    EXPECT_EQ(routes.At(1)->selection, 1);

    line.SetRoute("P1", 0);
    clock.Advance(milliseconds(1000));
    ASSERT_TRUE(routes.At(2));
    EXPECT_EQ(routes.At(2)->selection, 0);
    // A round that did not reach the PLC says nothing new of its route; "00" has none.
    line.AnswerWith("P1", LineStatus::Busy);
    clock.Advance(milliseconds(1000));
    ASSERT_TRUE(rounds.At(6));
    EXPECT_EQ(line.Count(LineOp::ReadRoute, "P1"), 2u);
    EXPECT_EQ(line.Count(LineOp::ReadRoute, "00"), 0u);

    // A listener that comes later is told the route known, without another read.
    Heard<PolledRoute> late;
    poller.Listen({nullptr, nullptr, late.Callback()});
    ASSERT_TRUE(late.At(1));
    EXPECT_EQ(late.At(1)->selection, 0);
    EXPECT_EQ(line.Count(LineOp::ReadRoute, "P1"), 2u);
}

TEST(SubmitWrite, AGoodWriteIsReadBackAtOnce) {
    FakeLine line;
    ManualPollClock clock; // stands still: no round falls due after the first
    LinePoller poller(Groups({{"P1", 60000}}), 0, line, clock);
    Heard<PolledGroup> rounds;
    poller.Listen({rounds.Callback(), nullptr});
    poller.Start();
    ASSERT_TRUE(rounds.At(1));

    const WriteTarget target{"P1", 101, {host::ValueType::Uint16}, {0.1, 0}}; // in tenths
    std::string reason;
    const std::optional<int64_t> raw =
        RawFromValue(TypedValue(12.5), target.format, target.scaling, reason);
    ASSERT_EQ(raw, 125) << reason;
    Heard<WriteAnswer> answers;
    SubmitWrite(poller, target, *raw, Source::Sparkplug, answers.Callback());
    ASSERT_TRUE(answers.At(1));
    EXPECT_EQ(answers.At(1)->outcome, WriteOutcome::Ok);
    ASSERT_TRUE(rounds.At(2));
    EXPECT_EQ(rounds.At(2)->values[1].raw, 125);
    const std::vector<LineRequest> jobs = line.Jobs();
    EXPECT_TRUE(std::any_of(jobs.begin(), jobs.end(), [](const LineRequest &job) {
        return job.op == LineOp::WriteRegisters && job.source == Source::Sparkplug;
    }));

    // A write that failed changed nothing to read.
    line.AnswerWith("P1", LineStatus::NoAnswer);
    SubmitWrite(poller, target, 1, Source::Mqtt, answers.Callback());
    ASSERT_TRUE(answers.At(2));
    EXPECT_FALSE(line.WaitForCount(LineOp::ReadRegisters, "P1", 3, milliseconds(50)));
}

// A reload stops the poller while a write is on the line: the face still gets its answer.
TEST(SubmitWrite, AWriteOnTheLineWhenThePollerStopsIsAnswered) {
    FakeLine line;
    LinePoller poller(Groups({}), 0, line);
    poller.Start();
    line.Hold();
    line.AnswerWith("P2", LineStatus::Cancelled);
    Heard<WriteAnswer> answers;
    SubmitWrite(poller, WriteTarget{"P2", 7, {host::ValueType::Uint16}, {}}, 1, Source::Mqtt,
                answers.Callback());
    poller.Stop();
    line.Release();
    ASSERT_TRUE(answers.At(1));
    EXPECT_EQ(answers.At(1)->status, LineStatus::Cancelled);
}

// What every face answers a write with, where the line's status alone does not say it.
TEST(SubmitWrite, ADemotedPlcAndARefusingQueueHaveTheirOwnReasons) {
    struct Row {
        bool demoted;
        Queued queued;
        const char *reason;
        LineStatus status;
    };
    const Row rows[] = {
        {true, Queued::Taken, "demoted: not written", LineStatus::NoAnswer},
        {false, Queued::Full, "the line's queue is full", LineStatus::Busy},
        {false, Queued::Closed, "the line is restarting", LineStatus::Cancelled},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.reason);
        FakeLine line;
        LinePoller poller(Groups({}), 0, line);
        poller.Start();
        line.AnswerWith("P2", row.demoted ? LineStatus::NoAnswer : LineStatus::Ok, row.demoted);
        line.Refuse(row.queued);
        Heard<WriteAnswer> answers;
        SubmitWrite(poller, WriteTarget{"P2", 7, {host::ValueType::Uint16}, {}}, 1, Source::Mqtt,
                    answers.Callback());
        const std::optional<WriteAnswer> answer = answers.At(1);
        ASSERT_TRUE(answer);
        EXPECT_NE(answer->outcome, WriteOutcome::Ok);
        EXPECT_NE(answer->reason.find(row.reason), std::string::npos) << answer->reason;
        EXPECT_EQ(answer->status, row.status);
        EXPECT_EQ(line.Register("P2", 7), 0);
    }
}

} // namespace
} // namespace vpisd::gateway::test
