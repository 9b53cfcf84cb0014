// The queue between the front ends and a line: each source has its own bounded share, and the
// sources take turns while each keeps its arrival order.
#include <gtest/gtest.h>

#include "gateway/lines/line_queue.h"

namespace vpisd::gateway::test {
namespace {

LineRequest Request(Source source, uint16_t first) {
    LineRequest request;
    request.source = source;
    request.first = first;
    return request;
}

TEST(LineQueue, SourcesTakeTurnsWithinTheirOwnShare) {
    LineQueue queue(3);
    const auto now = std::chrono::steady_clock::now();
    // Modbus fills its share; an MQTT poll still gets in, a fourth Modbus request does not.
    for (uint16_t i = 1; i <= 3; ++i) {
        LineRequest request = Request(Source::Modbus, i);
        ASSERT_TRUE(queue.Push(request));
    }
    LineRequest extra = Request(Source::Modbus, 4);
    EXPECT_FALSE(queue.Push(extra));
    EXPECT_EQ(extra.first, 4); // left to the caller, who answers busy
    for (uint16_t i = 101; i <= 102; ++i) {
        LineRequest request = Request(Source::Mqtt, i);
        ASSERT_TRUE(queue.Push(request));
    }
    std::vector<uint16_t> order;
    while (auto request = queue.Pop(now))
        order.push_back(request->first);
    EXPECT_EQ(order, (std::vector<uint16_t>{1, 101, 2, 102, 3}));

    LineRequest waiting = Request(Source::Mqtt, 7);
    ASSERT_TRUE(queue.Push(waiting));
    queue.Close();
    EXPECT_FALSE(queue.Pop(now + std::chrono::seconds(5))); // closed: no wait, nothing handed out
    LineRequest late = Request(Source::Modbus, 8);
    EXPECT_FALSE(queue.Push(late));
    const auto left = queue.TakeAll();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].first, 7);
}

} // namespace
} // namespace vpisd::gateway::test
