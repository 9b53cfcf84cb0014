// A line's poller against a fake line and a clock the test moves: each group read once per
// interval, what a failed or busy round leaves of its values, each PLC's route read after its
// rounds, and the one write path every face takes, read back at once after a good write.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "gateway/poll/line_poller.h"
#include "gateway/write_command.h"
#include "in_process.h"

namespace vpisd::gateway::test {
namespace {

using std::chrono::milliseconds;

// What the poller (or a write's answer) told, from any thread; `At(n)` waits for the nth.
template <typename Told> class Heard {
  public:
    std::function<void(const Told &)> Callback() {
        return [this](const Told &told) {
            std::lock_guard lock(mutex_);
            told_.push_back(told);
        };
    }
    // Throws (the test fails) when fewer than `n` come within the wait.
    Told At(size_t n) {
        if (!WaitUntil([&] {
                std::lock_guard lock(mutex_);
                return told_.size() >= n;
            }))
            throw std::runtime_error("told fewer than " + std::to_string(n));
        std::lock_guard lock(mutex_);
        return told_[n - 1];
    }

  private:
    std::mutex mutex_;
    std::vector<Told> told_;
};

// A poller listened to from the start, of one group per (PLC, interval in ms) of `groups`, each
// reading registers 100 and 101 as `type`.
struct Polling {
    explicit Polling(const std::vector<std::pair<std::string, int32_t>> &groups,
                     host::ValueType type = host::ValueType::Uint16)
        : poller(Groups(groups, type), 0, line, clock) {
        poller.Listen({rounds.Callback(), nullptr, routes.Callback()});
    }
    static std::shared_ptr<const Config>
    Groups(const std::vector<std::pair<std::string, int32_t>> &groups, host::ValueType type) {
        auto config = std::make_shared<Config>();
        config->lines.emplace_back();
        for (const auto &[plc, intervalMs] : groups) {
            config->polls.push_back(Poll(0, plc, "100:2"));
            config->polls.back().intervalMs = intervalMs;
            config->polls.back().type = type;
        }
        return config;
    }
    FakeLine line;
    ManualPollClock clock;
    Heard<PolledGroup> rounds;
    Heard<PolledRoute> routes;
    Heard<WriteAnswer> answers;
    LinePoller poller;
};

TEST(LinePoller, ReadsEachGroupOncePerIntervalOfItsClock) {
    Polling p({{"P1", 1000}, {"P2", 500}});
    p.poller.Start();
    ASSERT_TRUE(p.line.WaitForCount(LineOp::ReadRegisters, "P2", 1));
    // One pass schedules P1 before P2: once P2's next round is on the line, P1 was passed over.
    p.clock.Advance(milliseconds(500));
    ASSERT_TRUE(p.line.WaitForCount(LineOp::ReadRegisters, "P2", 2));
    EXPECT_EQ(p.line.Count(LineOp::ReadRegisters, "P1"), 1u);
    p.clock.Advance(milliseconds(500));
    ASSERT_TRUE(p.line.WaitForCount(LineOp::ReadRegisters, "P2", 3));
    EXPECT_EQ(p.line.Count(LineOp::ReadRegisters, "P1"), 2u);
}

TEST(LinePoller, AFailedRoundKeepsTheLastGoodValueABusyOneSaysNothing) {
    Polling p({{"P1", 1000}}, host::ValueType::Float32);
    p.line.SetRegister("P1", 100, 0x4148); // 12.5f, high word first
    p.poller.Start();
    EXPECT_EQ(p.rounds.At(1).values[0].number, 12.5);

    p.line.AnswerWith("P1", LineStatus::NoAnswer);
    p.clock.Advance(milliseconds(1000));
    const PolledGroup failed = p.rounds.At(2);
    EXPECT_EQ(failed.quality, Quality::NoAnswer);
    EXPECT_EQ(failed.values[0].quality, Quality::NoAnswer);
    EXPECT_FALSE(failed.values[0].number);
    EXPECT_EQ(failed.values[0].raw, 0x41480000);

    p.line.AnswerWith("P1", LineStatus::Busy);
    p.clock.Advance(milliseconds(1000));
    EXPECT_TRUE(p.rounds.At(3).busy);

    // Registers that hold no number (a float32 NaN) read well but give a bad value.
    p.line.AnswerWith("P1", LineStatus::Ok);
    p.line.SetRegister("P1", 100, 0x7fc0);
    p.clock.Advance(milliseconds(1000));
    EXPECT_EQ(p.rounds.At(4).quality, Quality::Good);
    EXPECT_EQ(p.rounds.At(4).values[0].quality, Quality::BadValue);
}

TEST(LinePoller, ReadsThePlcsRouteAfterEachRoundThatReachedIt) {
    Polling p({{"P1", 1000}, {"00", 1000}});
    p.line.SetRoute("P1", 1);
    p.poller.Start();
    EXPECT_EQ(p.routes.At(1).selection, 1);

    p.line.SetRoute("P1", 0);
    p.clock.Advance(milliseconds(1000));
    EXPECT_EQ(p.routes.At(2).selection, 0);
    // A round that did not reach the PLC says nothing new of its route; "00" has none.
    p.line.AnswerWith("P1", LineStatus::Busy);
    p.clock.Advance(milliseconds(1000));
    p.rounds.At(6);
    EXPECT_EQ(p.line.Count(LineOp::ReadRoute, "P1"), 2u);
    EXPECT_EQ(p.line.Count(LineOp::ReadRoute, "00"), 0u);

    // A listener that comes later is told the route known, without another read.
    Heard<PolledRoute> late;
    p.poller.Listen({nullptr, nullptr, late.Callback()});
    EXPECT_EQ(late.At(1).selection, 0);
    EXPECT_EQ(p.line.Count(LineOp::ReadRoute, "P1"), 2u);
}

TEST(SubmitWrite, AGoodWriteIsReadBackAtOnce) {
    Polling p({{"P1", 60000}}); // the clock stands still: no round falls due after the first
    p.poller.Start();
    p.rounds.At(1);

    const WriteTarget target{"P1", 101, {host::ValueType::Uint16}, {0.1, 0}}; // in tenths
    std::string reason;
    const std::optional<int64_t> raw =
        RawFromValue(TypedValue(12.5), target.format, target.scaling, reason);
    ASSERT_EQ(raw, 125) << reason;
    SubmitWrite(p.poller, target, *raw, Source::Sparkplug, p.answers.Callback());
    EXPECT_EQ(p.answers.At(1).outcome, WriteOutcome::Ok);
    EXPECT_EQ(p.rounds.At(2).values[1].raw, 125);
    const std::vector<LineRequest> jobs = p.line.Jobs();
    EXPECT_TRUE(std::any_of(jobs.begin(), jobs.end(), [](const LineRequest &job) {
        return job.op == LineOp::WriteRegisters && job.source == Source::Sparkplug;
    }));

    // A write that failed changed nothing to read.
    p.line.AnswerWith("P1", LineStatus::NoAnswer);
    SubmitWrite(p.poller, target, 1, Source::Mqtt, p.answers.Callback());
    p.answers.At(2);
    EXPECT_FALSE(p.line.WaitForCount(LineOp::ReadRegisters, "P1", 3, milliseconds(50)));
}

// What every face answers a failed write with, where the line's status alone does not say it.
TEST(SubmitWrite, AFailedWriteIsAnsweredWithItsReason) {
    struct Row {
        bool demoted;
        Queued queued;
        bool stopped; // a reload stops the poller while the write is on the line
        const char *reason;
        LineStatus status; // the line's answer too, where the line takes the write
    };
    const Row rows[] = {
        {true, Queued::Taken, false, "demoted: not written", LineStatus::NoAnswer},
        {false, Queued::Full, false, "the line's queue is full", LineStatus::Busy},
        {false, Queued::Closed, false, "the line is restarting", LineStatus::Cancelled},
        {false, Queued::Taken, true, "busy or stopping", LineStatus::Cancelled},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.reason);
        Polling p({});
        p.poller.Start();
        p.line.AnswerWith("P2", row.status, row.demoted);
        p.line.Refuse(row.queued);
        if (row.stopped)
            p.line.Hold();
        SubmitWrite(p.poller, WriteTarget{"P2", 7, {host::ValueType::Uint16}, {}}, 1, Source::Mqtt,
                    p.answers.Callback());
        if (row.stopped) {
            p.poller.Stop();
            p.line.Release();
        }
        const WriteAnswer answer = p.answers.At(1);
        EXPECT_NE(answer.outcome, WriteOutcome::Ok);
        EXPECT_NE(answer.reason.find(row.reason), std::string::npos) << answer.reason;
        EXPECT_EQ(answer.status, row.status);
    }
}

} // namespace
} // namespace vpisd::gateway::test
