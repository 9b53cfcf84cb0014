// The HTTP endpoint's exchange apart from its socket: where a request head ends, the answer made
// of a head, and the connections one address may open.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <utility>

#include "gateway/client_acceptor.h"
#include "gateway/http/http_exchange.h"
#include "gateway/http/status_page.h"

namespace vpisd::gateway {
namespace {

using namespace std::chrono_literals;
using State = HttpHead::State;

// The empty line ends a head however its lines end: a client that ends them with a bare LF
// gets its answer (400: cpp-httplib takes no line without CR) at once, not at the deadline.
TEST(HttpHead, EndsAtItsEmptyLineWithOrWithoutCarriageReturn) {
    const std::pair<std::string, State> cases[] = {
        {"GET / HTTP/1.1\r\n\r\n", State::Complete},
        {"GET / HTTP/1.1\n\n", State::Complete},
        {"GET / HTTP/1.1\r\nHost: a\n\n", State::Complete},
        {"GET / HTTP/1.1\nHost: a\n", State::Incomplete},
        {"\n", State::Incomplete}, // no request line yet
    };
    for (const auto &[text, state] : cases) {
        HttpHead head;
        EXPECT_EQ(head.Take(text), state) << text;
    }
    HttpRoutes routes([] { return GatewayStatus{}; });
    EXPECT_EQ(routes.Answer("GET / HTTP/1.1\n\n", "127.0.0.1", 1).rfind("HTTP/1.1 400 ", 0), 0U);
}

// A Range header, however spelt and whatever it holds, gets the whole body with 200.
TEST(HttpRoutes, RangeIsIgnored) {
    HttpRoutes routes([] { return GatewayStatus{}; });
    for (const char *range : {"Range: bytes=zz", "range: bytes=0-10", "RANGE: bytes=0-1,5-9,20-30",
                              "Range: bytes=-5"}) {
        const std::string answer =
            routes.Answer("GET / HTTP/1.1\r\n" + std::string(range) + "\r\n\r\n", "127.0.0.1", 1);
        EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0U) << range;
        EXPECT_TRUE(answer.ends_with("\r\n\r\n" + std::string(kStatusPage))) << range;
    }
}

TEST(AddressRate, EachAddressHasItsBurstThenItsRate) {
    AddressRate rate({10, 20});
    const AddressRate::Clock::time_point start{1h};
    const auto admitted = [&](const char *address, AddressRate::Clock::time_point at, int tries) {
        int count = 0;
        for (int i = 0; i < tries; ++i)
            count += rate.Admit(address, at) ? 1 : 0;
        return count;
    };
    EXPECT_EQ(admitted("127.0.0.2", start, 30), 20);
    EXPECT_EQ(admitted("127.0.0.1", start, 1), 1); // another address has its own
    EXPECT_EQ(admitted("127.0.0.2", start + 50ms, 1), 0);
    EXPECT_EQ(admitted("127.0.0.2", start + 100ms, 2), 1);
    EXPECT_EQ(admitted("127.0.0.2", start + 1100ms, 20), 10);
    EXPECT_EQ(admitted("127.0.0.2", start + 1h, 30), 20); // never more than the burst
}

// The addresses tracked are bounded: past them, the ones whose burst is back make room; while
// none has, a new address is let through untracked.
TEST(AddressRate, AddressesBeyondItsTableAreLetThrough) {
    AddressRate rate({1, 1});
    const AddressRate::Clock::time_point start{1h};
    for (size_t i = 0; i < AddressRate::kAddresses; ++i)
        ASSERT_TRUE(rate.Admit("10.0." + std::to_string(i), start));
    EXPECT_TRUE(rate.Admit("192.0.2.1", start));
    EXPECT_TRUE(rate.Admit("192.0.2.1", start));
    EXPECT_FALSE(rate.Admit("10.0.7", start)); // the tracked ones are still held
    EXPECT_TRUE(rate.Admit("192.0.2.1", start + 1s));
    EXPECT_FALSE(rate.Admit("192.0.2.1", start + 1s)); // tracked once there is room
}

} // namespace
} // namespace vpisd::gateway
