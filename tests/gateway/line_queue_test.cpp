// The queue between the front ends and a line: each source has its own bounded share, the
// sources take turns, and within the Modbus share the connections take turns while each keeps
// its own order.
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

TEST(LineQueue, SourcesTakeTurnsWithinTheirOwnShare) {
    LineQueue queue(3);
    LineScheduler scheduler{LineConfig{}};
    // Modbus fills its share; an MQTT poll still gets in, a fourth Modbus request does not.
    for (uint16_t i = 1; i <= 3; ++i) {
        LineRequest request = Request(Source::Modbus, 1, i);
        ASSERT_TRUE(queue.Push(request, scheduler));
    }
    LineRequest extra = Request(Source::Modbus, 1, 4);
    EXPECT_FALSE(queue.Push(extra, scheduler));
    EXPECT_EQ(extra.first, 4); // left to the caller, who answers busy
    for (uint16_t i = 101; i <= 102; ++i) {
        LineRequest request = Request(Source::Mqtt, 0, i);
        ASSERT_TRUE(queue.Push(request, scheduler));
    }
    EXPECT_EQ(Drain(queue, scheduler), (std::vector<uint16_t>{1, 101, 2, 102, 3}));

    LineRequest waiting = Request(Source::Mqtt, 0, 7);
    ASSERT_TRUE(queue.Push(waiting, scheduler));
    queue.Close();
    EXPECT_FALSE(queue.Take(std::chrono::steady_clock::now() + std::chrono::seconds(5),
                            scheduler)); // closed: no wait, nothing handed out
    LineRequest late = Request(Source::Modbus, 1, 8);
    EXPECT_FALSE(queue.Push(late, scheduler));
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
        ASSERT_TRUE(queue.Push(request, scheduler));
    }
    EXPECT_EQ(Drain(queue, scheduler), (std::vector<uint16_t>{50, 1, 90, 2, 3, 4}));
}

} // namespace
} // namespace vpisd::gateway::test
