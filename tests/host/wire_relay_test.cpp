// The relay alone: bytes pass both ways unchanged, and the trace lines read well.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include "host/wire_relay.h"

namespace vpisd::host {
namespace {

// Reads until `count` bytes or a quiet second.
std::vector<uint8_t> ReadBytes(int fd, size_t count) {
    std::vector<uint8_t> out;
    uint8_t buffer[256];
    while (out.size() < count) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0)
            break;
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        out.insert(out.end(), buffer, buffer + n);
    }
    return out;
}

class RelayPair : public ::testing::Test {
  protected:
    int deviceMaster = -1; // the far end of the "real" line
    int deviceSlave = -1;
    char devicePath[64] = {};
    int driverFd = -1; // what the driver would hold
    WireRelay relay;

    void SetUp() override {
        termios raw{};
        cfmakeraw(&raw);
        ASSERT_EQ(openpty(&deviceMaster, &deviceSlave, devicePath, &raw, nullptr), 0);
        LineOptions line;
        line.baudRate = 9600;
        line.dataBits = 8;
        line.parity = 2;
        std::string error;
        ASSERT_TRUE(relay.Start(devicePath, line, false, error)) << error;
        driverFd = open(relay.driverPath().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(driverFd, 0);
    }
    void TearDown() override {
        relay.Stop();
        if (driverFd >= 0)
            close(driverFd);
        close(deviceSlave);
        close(deviceMaster);
    }
};

TEST_F(RelayPair, EveryByteValuePassesBothWays) {
    std::vector<uint8_t> all(256);
    for (size_t i = 0; i < all.size(); ++i)
        all[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(write(driverFd, all.data(), all.size()), 256);
    EXPECT_EQ(ReadBytes(deviceMaster, 256), all);
    std::vector<uint8_t> reversed(all.rbegin(), all.rend());
    ASSERT_EQ(write(deviceMaster, reversed.data(), reversed.size()), 256);
    EXPECT_EQ(ReadBytes(driverFd, 256), reversed);
}

TEST_F(RelayPair, SecondOpenOfTheDeviceIsRefused) {
    WireRelay other;
    LineOptions line;
    line.baudRate = 9600;
    std::string error;
    EXPECT_FALSE(other.Start(devicePath, line, false, error));
    EXPECT_NE(error.find("in use"), std::string::npos) << error;
}

TEST(TraceLines, DirectionMarkAndWrapEvery32Bytes) {
    EXPECT_EQ(FormatTraceBurst("12:00:00.000", true, {0x10, 0x05}), "12:00:00.000 >> 10 05");
    EXPECT_EQ(FormatTraceBurst("t", false, {0xAB}), "t << AB");
    const std::vector<uint8_t> long_(33, 0xFE);
    const std::string text = FormatTraceBurst("t", true, long_);
    const auto newline = text.find('\n');
    ASSERT_NE(newline, std::string::npos);
    EXPECT_EQ(text.substr(0, 8), "t >> FE ");
    EXPECT_EQ(text.substr(newline + 1), "     FE"); // the 33rd byte, under the first one
    EXPECT_EQ(text.find('\n', newline + 1), std::string::npos);
}

TEST(RelayStart, UnknownRateOrDeviceIsReported) {
    WireRelay relay;
    LineOptions line;
    line.baudRate = 12345;
    std::string error;
    EXPECT_FALSE(relay.Start("/dev/null", line, false, error));
    EXPECT_NE(error.find("12345"), std::string::npos) << error;
    line.baudRate = 9600;
    EXPECT_FALSE(relay.Start("/nonexistent/tty", line, false, error));
}

} // namespace
} // namespace vpisd::host
