// FlushPort: drains whatever input waits, with short reads, and restores the timeout.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "serial/port.h"
#include "serial_support.h"
#include "support/pty.h"

namespace vpisd::test {
namespace {

class Flush : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(OpenPort(pty_.path().c_str(), 9600, 8, 0, 0, 8, &handle_), PORT_OK);
    }
    void TearDown() override { EXPECT_EQ(ClosePort(handle_), PORT_OK); }

    Pty pty_;
    PortHandle handle_ = 0;
};

TEST_F(Flush, FlushDrainsWaitingInputAndRestoresTheTimeout) {
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

TEST_F(Flush, FlushWithNothingWaitingReturnsAtOnce) {
    SetReadTimeout(handle_, 25);
    Stopwatch watch;
    EXPECT_EQ(FlushPort(handle_), 0);
    EXPECT_LT(watch.ElapsedMs(), 40);
    EXPECT_EQ(SetReadTimeout(handle_, 25), 25);
}

} // namespace
} // namespace vpisd::test
