// The port-layer routines no command calls: FlushPort, SendBreak, PortSleep.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "serial/port.h"
#include "serial_support.h"
#include "support/pty.h"

namespace vpisd::test {
namespace {

class FlushAndBreak : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(OpenPort(pty_.path().c_str(), 9600, 8, 0, 0, 8, &handle_), PORT_OK);
    }
    void TearDown() override { EXPECT_EQ(ClosePort(handle_), PORT_OK); }

    Pty pty_;
    PortHandle handle_ = 0;
};

TEST_F(FlushAndBreak, FlushDrainsWaitingInputAndRestoresTheTimeout) {
    SetReadTimeout(handle_, 25);
    pty_.Write(std::vector<uint8_t>(700, 0x33));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(FlushPort(handle_), 0);
    EXPECT_EQ(SetReadTimeout(handle_, 25), 25);

    pty_.Write(Hex("44"));
    uint8_t in[1] = {};
    EXPECT_EQ(PortRead(handle_, in, 1, nullptr), PORT_OK);
    EXPECT_EQ(in[0], 0x44);
}

TEST_F(FlushAndBreak, FlushWithNothingWaitingReturnsAtOnce) {
    SetReadTimeout(handle_, 25);
    Stopwatch watch;
    EXPECT_EQ(FlushPort(handle_), 0);
    EXPECT_LT(watch.ElapsedMs(), 40);
    EXPECT_EQ(SetReadTimeout(handle_, 25), 25);
}

TEST_F(FlushAndBreak, BreakAndSleepLastTheirTime) {
    Stopwatch watch;
    EXPECT_EQ(SendBreak(60, handle_), 0);
    EXPECT_GE(watch.ElapsedMs(), 60);
    Stopwatch sleep;
    EXPECT_EQ(PortSleep(40), 0);
    EXPECT_GE(sleep.ElapsedMs(), 40);
    // The line still works after the break.
    const uint8_t byte = 0x21;
    EXPECT_EQ(PortWrite(handle_, &byte, 1, nullptr), PORT_OK);
    EXPECT_EQ(ToHex(pty_.Read(1, 500)), "21");
}

} // namespace
} // namespace vpisd::test
