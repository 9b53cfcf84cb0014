// Names of lines behind terminal servers: "tcp:HOST:PORT".
#include <gtest/gtest.h>

#include "host/tcp_line.h"

namespace vpisd::host {
namespace {

TEST(TcpLine, NamesSplitIntoHostAndPort) {
    struct Case {
        const char *name;
        bool ok;
        const char *host;
        const char *port;
    };
    const Case cases[] = {
        {"tcp:127.0.0.1:4001", true, "127.0.0.1", "4001"},
        {"tcp:ts-north.plant:2001", true, "ts-north.plant", "2001"},
        {"tcp:[::1]:4001", true, "::1", "4001"},
        {"tcp:[fe80::1]:65535", true, "fe80::1", "65535"},
        {"tcp:host", false, "", ""},
        {"tcp::4001", false, "", ""},
        {"tcp:host:", false, "", ""},
        {"tcp:host:0", false, "", ""},
        {"tcp:host:65536", false, "", ""},
        {"tcp:host:40x1", false, "", ""},
        {"tcp:[::1]4001", false, "", ""},
        {"ttyS0", false, "", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string host;
        std::string port;
        ASSERT_EQ(ParseTcpPort(c.name, host, port), c.ok);
        if (c.ok) {
            EXPECT_EQ(host, c.host);
            EXPECT_EQ(port, c.port);
        }
    }
}

} // namespace
} // namespace vpisd::host
