// PortWrite: whole buffers, short writes and failures, on lines of our own whose far end
// the test can hang up.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "serial/port.h"
#include "support/pty.h"

namespace vpisd::test {
namespace {

// A pty pair whose master the test may close at any moment.
struct BarePty {
    BarePty() {
        char name[64] = {};
        termios raw{};
        cfmakeraw(&raw);
        ok = openpty(&master, &slave, name, &raw, nullptr) == 0;
        path = name;
    }
    ~BarePty() {
        CloseMaster();
        if (slave >= 0)
            close(slave);
    }
    void CloseMaster() {
        if (master >= 0)
            close(master);
        master = -1;
    }
    bool ok = false;
    int master = -1;
    int slave = -1;
    std::string path;
};

TEST(PortWrite, WholeBufferReachesTheLine) {
    Pty pty;
    PortHandle handle = 0;
    ASSERT_EQ(OpenPort(pty.path().c_str(), 9600, 8, 0, 2, 8, &handle), PORT_OK);
    const std::vector<uint8_t> frame = Hex("10 01 11 10 02 00 FE");
    uint32_t written = 0;
    EXPECT_EQ(PortWrite(handle, frame.data(), static_cast<uint32_t>(frame.size()), &written),
              PORT_OK);
    EXPECT_EQ(written, frame.size());
    EXPECT_EQ(ToHex(pty.Read(frame.size(), 500)), "10 01 11 10 02 00 FE");
    // Raw output: no newline translation, and zero bytes pass unchanged.
    const std::vector<uint8_t> raw = Hex("0A 0D 00");
    EXPECT_EQ(PortWrite(handle, raw.data(), 3, nullptr), PORT_OK);
    EXPECT_EQ(ToHex(pty.Read(3, 500)), "0A 0D 00");
    EXPECT_EQ(ClosePort(handle), PORT_OK);
}

TEST(PortWrite, FailedWriteGivesSevenWithoutACount) {
    BarePty line;
    ASSERT_TRUE(line.ok);
    PortHandle handle = 0;
    ASSERT_EQ(OpenPort(line.path.c_str(), 9600, 8, 0, 0, 8, &handle), PORT_OK);
    line.CloseMaster();
    const uint8_t byte = 0x10;
    uint32_t written = 12345;
    EXPECT_EQ(PortWrite(handle, &byte, 1, &written), PORT_IO_FAILED);
    EXPECT_EQ(written, 12345u);
    EXPECT_EQ(ClosePort(handle), PORT_OK);
}

TEST(PortWrite, LineLostMidBufferGivesTwoWithTheCount) {
    BarePty line;
    ASSERT_TRUE(line.ok);
    PortHandle handle = 0;
    ASSERT_EQ(OpenPort(line.path.c_str(), 9600, 8, 0, 0, 8, &handle), PORT_OK);
    // Far more than the pty buffers: the write blocks until the far end hangs up.
    const std::vector<uint8_t> big(1u << 20, 0x55);
    std::thread hangUp([&line] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        line.CloseMaster();
    });
    uint32_t written = 0;
    const int32_t result =
        PortWrite(handle, big.data(), static_cast<uint32_t>(big.size()), &written);
    hangUp.join();
    EXPECT_EQ(result, PORT_SHORT_WRITE);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, big.size());
    EXPECT_EQ(ClosePort(handle), PORT_OK);
}

// A line that stops draining (the far end no longer reads) holds a write no longer than its
// bytes need at the line's speed plus the read timeout: 19 bytes at 9600 baud and 100 ms.
TEST(PortWrite, LineThatStopsDrainingEndsWithinTheBound) {
    BarePty line;
    ASSERT_TRUE(line.ok);
    ASSERT_GT(FillOutputQueue(line.slave), 0u);
    PortHandle handle = 0;
    ASSERT_EQ(OpenPort(line.path.c_str(), 9600, 8, 0, 2, 8, &handle), PORT_OK);
    SetReadTimeout(handle, 10);
    const std::vector<uint8_t> frame(19, 0x10);
    uint32_t written = 12345;
    const auto started = std::chrono::steady_clock::now();
    const int32_t result = PortWrite(handle, frame.data(), 19, &written);
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(result, PORT_SHORT_WRITE);
    EXPECT_EQ(written, 0u);
    EXPECT_GE(took, std::chrono::milliseconds(100));
    EXPECT_LT(took, std::chrono::seconds(3)); // bound 122 ms; the rest is slack for a busy host
    EXPECT_EQ(ClosePort(handle), PORT_OK);
}

} // namespace
} // namespace vpisd::test
