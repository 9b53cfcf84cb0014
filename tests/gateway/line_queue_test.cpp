// The queue between the front ends and a line: each Modbus connection, the MQTT side and the
// Sparkplug side have their own bounded share, the sources take turns, and the Modbus connections
// take turns while each keeps its own order.
#include <gtest/gtest.h>

#include "gateway/lines/line_queue.h"

namespace vpisd::gateway::test {
namespace {

// Writes are never merged, so each one is a batch of its own.
LineRequest Request(Source source, uint64_t client, uint16_t first) {
    LineRequest request;
    request.source = source;
    request.client = client;
    request.op = LineOp::WriteRegisters;
    request.plc = "P1";
    request.first = first;
    request.values = {0};
    return request;
}

std::vector<uint16_t> Drain(LineQueue &queue, LineScheduler &scheduler) {
    std::vector<uint16_t> order;
    while (auto batch = queue.Take(std::chrono::steady_clock::now(), scheduler)) {
        for (const LineRequest &job : batch->jobs)
            order.push_back(job.first);
    }
    return order;
}

// Modbus connection 1 sends requests 1 to 4 to a queue of three per share: the fourth is
// refused as full and left to the caller, who answers busy.
void FillShareOfThree(LineQueue &queue, LineScheduler &scheduler) {
    for (uint16_t i = 1; i <= 3; ++i) {
        LineRequest request = Request(Source::Modbus, 1, i);
        ASSERT_EQ(queue.Push(request, scheduler), Queued::Taken);
    }
    LineRequest extra = Request(Source::Modbus, 1, 4);
    EXPECT_EQ(queue.Push(extra, scheduler), Queued::Full);
    EXPECT_EQ(extra.first, 4);
}

TEST(LineQueue, SparkplugHasAShareAndATurnOfItsOwn) {
    LineQueue queue(3);
    LineScheduler scheduler{LineConfig{}};
    FillShareOfThree(queue, scheduler);
    // A flood of DCMDs fills Sparkplug's share only: MQTT's polls still get in.
    for (uint16_t i = 201; i <= 203; ++i) {
        LineRequest request = Request(Source::Sparkplug, 0, i);
        ASSERT_EQ(queue.Push(request, scheduler), Queued::Taken);
    }
    LineRequest extra = Request(Source::Sparkplug, 0, 204);
    EXPECT_EQ(queue.Push(extra, scheduler), Queued::Full);
    for (uint16_t i = 101; i <= 102; ++i) {
        LineRequest request = Request(Source::Mqtt, 0, i);
        ASSERT_EQ(queue.Push(request, scheduler), Queued::Taken);
    }
    EXPECT_EQ(Drain(queue, scheduler), (std::vector<uint16_t>{1, 101, 201, 2, 102, 202, 3, 203}));
}

TEST(LineQueue, SourcesTakeTurnsWithinTheirOwnShare) {
    LineQueue queue(3);
    LineScheduler scheduler{LineConfig{}};
    // Modbus fills its share; an MQTT poll still gets in, a fourth Modbus request does not.
    FillShareOfThree(queue, scheduler);
    for (uint16_t i = 101; i <= 102; ++i) {
        LineRequest request = Request(Source::Mqtt, 0, i);
        ASSERT_EQ(queue.Push(request, scheduler), Queued::Taken);
    }
    EXPECT_EQ(Drain(queue, scheduler), (std::vector<uint16_t>{1, 101, 2, 102, 3}));

    LineRequest waiting = Request(Source::Mqtt, 0, 7);
    ASSERT_EQ(queue.Push(waiting, scheduler), Queued::Taken);
    queue.Close();
    EXPECT_FALSE(queue.Take(std::chrono::steady_clock::now() + std::chrono::seconds(5),
                            scheduler)); // closed: no wait, nothing handed out
    LineRequest late = Request(Source::Modbus, 1, 8);
    EXPECT_EQ(queue.Push(late, scheduler), Queued::Closed); // restarting, not full
    const auto left = queue.TakeAll();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].first, 7);
}

TEST(LineQueue, ModbusConnectionsTakeTurns) {
    LineQueue queue(32);
    LineScheduler scheduler{LineConfig{}};
    // Connection 5 pipelines four requests, then 2 and 9 send one each.
    for (const auto &[client, first] : std::vector<std::pair<uint64_t, uint16_t>>{
             {5, 1}, {5, 2}, {5, 3}, {5, 4}, {2, 50}, {9, 90}}) {
        LineRequest request = Request(Source::Modbus, client, first);
        ASSERT_EQ(queue.Push(request, scheduler), Queued::Taken);
    }
    EXPECT_EQ(Drain(queue, scheduler), (std::vector<uint16_t>{50, 1, 90, 2, 3, 4}));
}

TEST(LineQueue, ConnectionKeepingItsShareFullLeavesAnotherItsOwn) {
    LineQueue queue(3);
    LineScheduler scheduler{LineConfig{}};
    FillShareOfThree(queue, scheduler);
    // A second connection (from the same address or any other) still gets in, and its turn.
    LineRequest other = Request(Source::Modbus, 2, 50);
    ASSERT_EQ(queue.Push(other, scheduler), Queued::Taken);
    EXPECT_EQ(Drain(queue, scheduler), (std::vector<uint16_t>{1, 50, 2, 3}));
    // Taken off the line, the first connection's share is its own again.
    for (uint16_t i = 5; i <= 7; ++i) {
        LineRequest request = Request(Source::Modbus, 1, i);
        EXPECT_EQ(queue.Push(request, scheduler), Queued::Taken);
    }
}

} // namespace
} // namespace vpisd::gateway::test
