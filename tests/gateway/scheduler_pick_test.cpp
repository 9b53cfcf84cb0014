// What a line's scheduler picks, without a line or a clock: reads waiting together share one
// block read within its limits, a read never passes a write to its registers nor an earlier
// request of its own connection, a held refusal or stored values answer until they expire or a
// write goes out, and a demoted PLC costs the line nothing but its probe.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <string>
#include <vector>

#include "gateway/lines/line_scheduler.h"

namespace vpisd::gateway::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// One waiting request; `first` also names it in the expectations, so each is unique in a case.
struct Waiting {
    uint64_t client;
    LineOp op;
    uint16_t first;
    uint16_t count = 1; // registers read, or written
    std::string plc = "P1";
};

LineRequest RequestOf(const Waiting &w) {
    LineRequest request;
    request.source = Source::Modbus;
    request.client = w.client;
    request.op = w.op;
    request.plc = w.plc;
    request.first = w.first;
    if (w.op == LineOp::ReadRegisters)
        request.count = w.count;
    else
        request.values.assign(w.count, 0);
    return request;
}

std::deque<LineRequest> Queue(const std::vector<Waiting> &requests) {
    std::deque<LineRequest> waiting;
    for (const Waiting &w : requests)
        waiting.push_back(RequestOf(w));
    return waiting;
}

constexpr LineOp kRead = LineOp::ReadRegisters;
constexpr LineOp kWrite = LineOp::WriteRegisters;

// A line's jobs one batch at a time, as "first first ... @block-first+count" for a merged read.
std::vector<std::string> PickAll(LineScheduler &scheduler, std::deque<LineRequest> waiting) {
    std::vector<std::string> batches;
    const Clock::time_point now = Clock::now();
    while (!waiting.empty() && batches.size() < 20) {
        std::optional<Clock::time_point> linger;
        const Batch batch = scheduler.Pick(waiting, now, linger);
        EXPECT_TRUE(batch.ready.empty());
        std::string text;
        for (const LineRequest &job : batch.jobs)
            text += (text.empty() ? "" : " ") + std::to_string(job.first);
        if (batch.jobs.size() > 1 || (!batch.jobs.empty() && batch.count != 0))
            text += " @" + std::to_string(batch.first) + "+" + std::to_string(batch.count);
        batches.push_back(text);
    }
    return batches;
}

TEST(SchedulerPick, ReadsShareOneBlockWithinItsLimitsAndKeepEveryOrder) {
    struct Case {
        const char *what;
        uint16_t mergeGap;
        std::vector<Waiting> waiting;
        std::vector<std::string> batches;
    };
    const Case cases[] = {
        {"gaps up to merge_gap join; one further does not",
         16,
         {{1, kRead, 1, 10}, {2, kRead, 6, 3}, {3, kRead, 21, 4}, {4, kRead, 41}, {5, kRead, 59}},
         {"1 6 21 41 @1+41", "59 @59+1"}},
        {"merge_gap 0: adjacent ranges only",
         0,
         {{1, kRead, 1, 10}, {2, kRead, 11, 2}, {3, kRead, 14}},
         {"1 11 @1+12", "14 @14+1"}},
        {"a range taken brings another within reach on the next pass",
         16,
         {{1, kRead, 1, 10}, {2, kRead, 40, 5}, {3, kRead, 20, 10}},
         {"1 40 20 @1+44"}},
        {"one block read is at most 128 registers",
         16,
         {{1, kRead, 1, 100}, {2, kRead, 100, 30}, {3, kRead, 101, 28}},
         {"1 101 @1+128", "100 @100+30"}},
        {"another PLC's reads wait for a block of their own",
         16,
         {{1, kRead, 1, 10}, {2, kRead, 5, 1, "P2"}},
         {"1 @1+10", "5 @5+1"}},
        {"a read behind a write to its registers comes after the write (two connections)",
         16,
         {{1, kRead, 1, 10}, {2, kWrite, 5}, {3, kRead, 2, 9}},
         {"1 @1+10", "5", "2 @2+9"}},
        {"a read behind a write to its registers comes after the write (one connection)",
         16,
         {{1, kRead, 1, 10}, {2, kWrite, 5}, {2, kRead, 2, 9}},
         {"1 @1+10", "5", "2 @2+9"}},
        {"a write elsewhere does not hold a read back",
         16,
         {{1, kRead, 1, 10}, {2, kWrite, 50}, {3, kRead, 2, 9}},
         {"1 2 @1+10", "50"}},
        {"a connection's read stays behind its earlier request that stays",
         16,
         {{1, kRead, 1, 10}, {2, kRead, 5, 1, "P2"}, {2, kRead, 12}},
         {"1 @1+10", "5 @5+1", "12 @12+1"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        LineConfig config;
        config.mergeGap = c.mergeGap;
        LineScheduler scheduler(config);
        EXPECT_EQ(PickAll(scheduler, Queue(c.waiting)), c.batches);
    }
}

// What one pick does with the last request waiting: "line" (it is the job), "held" (refused at
// once) or "stored V..." (answered with those values).
std::string Outcome(const Batch &batch) {
    if (batch.ready.empty())
        return batch.jobs.empty() ? "nothing" : "line";
    const ReadyAnswer &ready = batch.ready.back();
    if (ready.by == AnsweredBy::RefusedHold && ready.reply.status == LineStatus::Refused)
        return "held";
    if (ready.by != AnsweredBy::StoredValues || ready.reply.status != LineStatus::Ok)
        return "unexpected";
    std::string text = "stored";
    for (uint16_t value : ready.reply.values)
        text += " " + std::to_string(value);
    return text;
}

// Registers 1-10 read at t0 (values 11 to 20), 1995-2004 refused at t0; the PLC's reads may be
// answered from values read at most 1 s before, and a refusal is held 1.5 s.
TEST(SchedulerPick, HeldRefusalsAndStoredValuesAnswerWithoutTheLineUntilTheyExpire) {
    struct Case {
        const char *what;
        int afterMs; // since t0
        std::vector<Waiting> waiting;
        const char *outcome;
        uint16_t written = 0; // a write to this register went out before the pick
    };
    const Case cases[] = {
        {"stored values", 1000, {{1, kRead, 1, 10}}, "stored 11 12 13 14 15 16 17 18 19 20"},
        {"part of them", 0, {{1, kRead, 4, 2}}, "stored 14 15"},
        {"a register never read", 0, {{1, kRead, 1, 11}}, "line"},
        {"values too old", 1001, {{1, kRead, 1, 10}}, "line"},
        {"a write went out", 0, {{1, kRead, 1, 10}}, "line", 4},
        {"a write went out to another register", 0, {{1, kRead, 5, 2}}, "stored 15 16", 4},
        {"a write waits ahead", 0, {{2, kWrite, 3}, {1, kRead, 1, 10}}, "line"},
        {"held refusal", 1499, {{1, kRead, 1995, 10}}, "held"},
        {"held refusal expired", 1500, {{1, kRead, 1995, 10}}, "line"},
        {"another range of the refused block", 0, {{1, kRead, 1995, 5}}, "line"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        LineConfig config;
        config.plcs = {PlcPolicy{"P1", 1000, 1500}};
        LineScheduler scheduler(config);
        const Clock::time_point t0 = Clock::now();
        scheduler.Remember("P1", 1, std::vector<uint16_t>{11, 12, 13, 14, 15, 16, 17, 18, 19, 20},
                           t0);
        scheduler.Hold("P1", 1995, 10, t0);
        if (c.written != 0)
            scheduler.Forget("P1", c.written, 1);
        std::deque<LineRequest> waiting = Queue(c.waiting);
        std::optional<Clock::time_point> linger;
        const Batch batch = scheduler.Pick(waiting, t0 + milliseconds(c.afterMs), linger);
        EXPECT_EQ(Outcome(batch), c.outcome);
        if (batch.ready.empty() && !batch.jobs.empty()) {
            EXPECT_EQ(batch.jobs.front().first, c.waiting.back().first);
        }
    }
}

// P2 got no answer at t0 and is held 10 s. While the hold runs each of its requests is answered
// at once (NoAnswer, nothing on the line); once it has run out, the first request picked for
// P2 is its probe, which goes to the line alone: the others for P2 waiting then are answered at
// once, ahead of it or behind it.
TEST(SchedulerPick, ADemotedPlcIsAnsweredAtOnceAndItsProbeGoesAlone) {
    struct Case {
        const char *what;
        int afterMs; // since t0
        std::vector<uint16_t> ready;
        std::vector<uint16_t> jobs;
        std::vector<uint16_t> left;
    };
    const Case cases[] = {
        {"hold runs", 5000, {2, 30, 1}, {100}, {}},
        {"hold over: the probe", 10000, {2, 30}, {1}, {100}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        LineConfig config;
        PlcHealth health("north", DemotionPolicy{1, std::chrono::seconds(10)});
        LineScheduler scheduler(config, &health);
        const Clock::time_point t0 = Clock::now();
        health.Unanswered("P2", false, "no_answer", t0);
        // Client 1's read of P2 comes last but is the lead (the lowest connection goes first).
        std::deque<LineRequest> waiting = Queue({{3, kRead, 2, 1, "P2"},
                                                 {2, kRead, 100, 1, "P1"},
                                                 {4, kWrite, 30, 1, "P2"},
                                                 {1, kRead, 1, 1, "P2"}});
        std::optional<Clock::time_point> linger;
        const Batch batch = scheduler.Pick(waiting, t0 + milliseconds(c.afterMs), linger);
        std::vector<uint16_t> ready;
        for (const ReadyAnswer &answer : batch.ready) {
            ready.push_back(answer.request.first);
            EXPECT_EQ(answer.by, AnsweredBy::Demoted);
            EXPECT_EQ(answer.reply.status, LineStatus::NoAnswer);
            EXPECT_TRUE(answer.reply.demoted);
        }
        std::vector<uint16_t> jobs;
        for (const LineRequest &job : batch.jobs)
            jobs.push_back(job.first);
        std::vector<uint16_t> left;
        for (const LineRequest &request : waiting)
            left.push_back(request.first);
        EXPECT_EQ(ready, c.ready);
        EXPECT_EQ(jobs, c.jobs);
        EXPECT_EQ(left, c.left);
    }
}

} // namespace
} // namespace vpisd::gateway::test
