// HOST:PORT names: the gateway's listen address, the MQTT broker and "tcp:HOST:PORT" lines.
#include <gtest/gtest.h>

#include "host/endpoint.h"

namespace vpisd::host {
namespace {

TEST(TcpLine, NamesSplitIntoHostAndPort) {
    struct Case {
        const char *name;
        bool ok;
        const char *host;
        uint16_t port;
    };
    const Case cases[] = {
        {"tcp:127.0.0.1:4001", true, "127.0.0.1", 4001},
        {"tcp:ts-north.plant:2001", true, "ts-north.plant", 2001},
        {"tcp:[::1]:4001", true, "::1", 4001},
        {"tcp:[fe80::1]:65535", true, "fe80::1", 65535},
        {"tcp:host", false, "", 0},
        {"tcp::4001", false, "", 0},
        {"tcp:host:", false, "", 0},
        {"tcp:host:0", false, "", 0},
        {"tcp:host:65536", false, "", 0},
        {"tcp:host:40x1", false, "", 0},
        {"tcp:[::1]4001", false, "", 0},
        {"tcp:::1:4001", false, "", 0},
        {"ttyS0", false, "", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string why;
        const auto endpoint = ParseTcpPort(c.name, why);
        ASSERT_EQ(endpoint.has_value(), c.ok) << why;
        if (c.ok) {
            EXPECT_EQ(endpoint->host, c.host);
            EXPECT_EQ(endpoint->port, c.port);
            // Written back out, the name reads as it was given.
            EXPECT_EQ("tcp:" + EndpointText(endpoint->host, endpoint->port), c.name);
        }
    }
}

// The listen address may ask for any free port; the broker's port may be left out.
TEST(Endpoint, ListenAndBrokerRules) {
    const EndpointRules listen{std::nullopt, true, "127.0.0.1:5020"};
    const EndpointRules broker{1883, false, "127.0.0.1:1883"};
    struct Case {
        const char *text;
        const EndpointRules &rules;
        const char *host; // nullptr: refused, `why` holds `expected`
        uint16_t port;
        const char *expected;
    };
    const Case cases[] = {
        {"127.0.0.1:5020", listen, "127.0.0.1", 5020, ""},
        {"0.0.0.0:0", listen, "0.0.0.0", 0, ""},
        {"[::]:502", listen, "::", 502, ""},
        {"gateway.plant:502", listen, "gateway.plant", 502, ""},
        {"nowhere", listen, nullptr, 0, "expected \"HOST:PORT\", e.g. \"127.0.0.1:5020\""},
        {":502", listen, nullptr, 0, "expected \"HOST:PORT\""},
        {"::1:502", listen, nullptr, 0,
         "\"::1:502\": an IPv6 address goes in brackets, e.g. \"[::1]:502\""},
        {"fe80::2:502", listen, nullptr, 0, "e.g. \"[fe80::2]:502\""},
        {"broker.plant", broker, "broker.plant", 1883, ""},
        {"[::1]", broker, "::1", 1883, ""},
        {"[::1]:8883", broker, "::1", 8883, ""},
        {"::1", broker, nullptr, 0, "e.g. \"[::1]:PORT\""},
        {"127.0.0.1:0", broker, nullptr, 0, "expected \"HOST:PORT\", e.g. \"127.0.0.1:1883\""},
        {"127.0.0.1:99999", broker, nullptr, 0, "expected \"HOST:PORT\""},
        {"[::1:1883", broker, nullptr, 0, "expected \"HOST:PORT\""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        std::string why;
        const auto endpoint = ParseEndpoint(c.text, c.rules, why);
        if (c.host == nullptr) {
            EXPECT_FALSE(endpoint.has_value());
            EXPECT_NE(why.find(c.expected), std::string::npos) << why;
            continue;
        }
        ASSERT_TRUE(endpoint.has_value()) << why;
        EXPECT_EQ(endpoint->host, c.host);
        EXPECT_EQ(endpoint->port, c.port);
    }
}

// What the gateway writes back out (its --check summary) reads in again as the same endpoint.
TEST(Endpoint, WrittenBackAsItIsRead) {
    const EndpointRules listen{std::nullopt, true, "127.0.0.1:5020"};
    struct Case {
        const char *host;
        uint16_t port;
        const char *text;
    };
    const Case cases[] = {
        {"127.0.0.1", 5020, "127.0.0.1:5020"},
        {"broker.plant", 1883, "broker.plant:1883"},
        {"::1", 502, "[::1]:502"},
        {"fe80::2", 0, "[fe80::2]:0"},
        {"::", 8080, "[::]:8080"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(EndpointText(c.host, c.port), c.text);
        std::string why;
        const auto endpoint = ParseEndpoint(c.text, listen, why);
        ASSERT_TRUE(endpoint.has_value()) << why;
        EXPECT_EQ(endpoint->host, c.host);
        EXPECT_EQ(endpoint->port, c.port);
    }
}

} // namespace
} // namespace vpisd::host
