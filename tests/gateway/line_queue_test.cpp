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

struct Queue {
    explicit Queue(size_t share) : queue(share) {}

    // Pushes a write of each of `firsts` by `source` (Modbus: its connection `client`), each
    // answered `queued`; one not taken is left to the caller, who answers it.
    void Push(Source source, uint64_t client, const std::vector<uint16_t> &firsts,
              Queued queued = Queued::Taken) {
        for (const uint16_t first : firsts) {
            LineRequest request = Request(source, client, first);
            EXPECT_EQ(queue.Push(request, scheduler), queued) << first;
            EXPECT_TRUE(queued == Queued::Taken || !request.values.empty())
                << "not taken: left whole to the caller";
        }
    }
    std::vector<uint16_t> Drain() {
        std::vector<uint16_t> order;
        while (auto batch = queue.Take(std::chrono::steady_clock::now(), scheduler)) {
            for (const LineRequest &job : batch->jobs)
                order.push_back(job.first);
        }
        return order;
    }

    LineQueue queue;
    LineScheduler scheduler{LineConfig{}};
};

TEST(LineQueue, SourcesTakeTurnsWithinTheirOwnShare) {
    Queue q(3);
    // Modbus connection 1 fills its share, a flood of DCMDs fills Sparkplug's: MQTT's polls
    // still get in.
    q.Push(Source::Modbus, 1, {1, 2, 3});
    q.Push(Source::Modbus, 1, {4}, Queued::Full);
    q.Push(Source::Sparkplug, 0, {201, 202, 203});
    q.Push(Source::Sparkplug, 0, {204}, Queued::Full);
    q.Push(Source::Mqtt, 0, {101, 102});
    EXPECT_EQ(q.Drain(), (std::vector<uint16_t>{1, 101, 201, 2, 102, 202, 3, 203}));

    q.Push(Source::Mqtt, 0, {7});
    q.queue.Close();
    EXPECT_FALSE(q.queue.Take(std::chrono::steady_clock::now() + std::chrono::seconds(5),
                              q.scheduler));        // closed: no wait, nothing handed out
    q.Push(Source::Modbus, 1, {8}, Queued::Closed); // restarting, not full
    const auto left = q.queue.TakeAll();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].first, 7);
}

TEST(LineQueue, ModbusConnectionsTakeTurns) {
    Queue q(32);
    // Connection 5 pipelines four requests, then 2 and 9 send one each.
    q.Push(Source::Modbus, 5, {1, 2, 3, 4});
    q.Push(Source::Modbus, 2, {50});
    q.Push(Source::Modbus, 9, {90});
    EXPECT_EQ(q.Drain(), (std::vector<uint16_t>{50, 1, 90, 2, 3, 4}));
}

TEST(LineQueue, ConnectionKeepingItsShareFullLeavesAnotherItsOwn) {
    Queue q(3);
    q.Push(Source::Modbus, 1, {1, 2, 3});
    q.Push(Source::Modbus, 1, {4}, Queued::Full);
    // A second connection (from the same address or any other) still gets in, and its turn.
    q.Push(Source::Modbus, 2, {50});
    EXPECT_EQ(q.Drain(), (std::vector<uint16_t>{1, 50, 2, 3}));
    // Taken off the line, the first connection's share is its own again.
    q.Push(Source::Modbus, 1, {5, 6, 7});
}

} // namespace
} // namespace vpisd::gateway::test
