// The instance layer: exact-count transfers on a VPI's port and the purge before every send.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "serial/instance_io.h"
#include "serial/port.h"
#include "serial_support.h"
#include "support/pty.h"

namespace vpisd::test {
namespace {

using std::chrono::milliseconds;

constexpr int kBlocks = 8;
constexpr int kGapMs = 25; // each 512-byte block lands well inside a 50 ms window

class InstanceIo : public ::testing::Test {
  protected:
    void SetUp() override {
        std::memset(&context_, 0, sizeof context_);
        context_.timeout = 20;
        ASSERT_EQ(OpenPort(pty_.path().c_str(), 9600, 8, 0, 2, 8, &context_.port), PORT_OK);
        SetReadTimeout(context_.port, context_.timeout); // as a start leaves it
    }
    void TearDown() override { EXPECT_EQ(ClosePort(context_.port), PORT_OK); }

    Pty pty_;
    VpiContext context_;
};

TEST_F(InstanceIo, PendingInputIsDiscardedBeforeASend) {
    pty_.Write(Hex("AA AB"));
    std::this_thread::sleep_for(milliseconds(20));
    const std::vector<uint8_t> out = Hex("10 15");
    EXPECT_EQ(SendBytes(&context_, out.data(), 2), 1);
    EXPECT_EQ(ToHex(pty_.Read(2, 500)), "10 15");

    pty_.Write(Hex("BB"));
    uint8_t in[1] = {};
    EXPECT_EQ(ReceiveBytes(&context_, in, 1), 1);
    EXPECT_EQ(in[0], 0xBB);
}

TEST_F(InstanceIo, ReceiveNeedsTheExactCount) {
    pty_.Write(Hex("01 02 03"));
    uint8_t in[4] = {};
    EXPECT_EQ(ReceiveBytes(&context_, in, 3), 1);
    EXPECT_EQ(ToHex({in, in + 3}), "01 02 03");

    pty_.Write(Hex("04 05"));
    EXPECT_EQ(ReceiveBytes(&context_, in, 3), 0);
}

TEST_F(InstanceIo, PurgeKeepsReadingWhileWholeBlocksStream) {
    pty_.Write(std::vector<uint8_t>(kPurgeBlockBytes, 0x55));
    std::thread stream([this] {
        for (int i = 1; i < kBlocks; ++i) {
            std::this_thread::sleep_for(milliseconds(kGapMs));
            pty_.Write(std::vector<uint8_t>(kPurgeBlockBytes, 0x55));
        }
    });
    std::this_thread::sleep_for(milliseconds(5));
    Stopwatch watch;
    PurgeInput(&context_);
    const int64_t elapsed = watch.ElapsedMs();
    stream.join();

    EXPECT_GE(elapsed, (kBlocks - 1) * kGapMs);
    // Every streamed byte went with the purge.
    pty_.Write(Hex("CC"));
    uint8_t in[1] = {};
    EXPECT_EQ(ReceiveBytes(&context_, in, 1), 1);
    EXPECT_EQ(in[0], 0xCC);
}

TEST_F(InstanceIo, PurgeLeavesTheInstanceTimeoutOnThePort) {
    SetReadTimeout(context_.port, 30);
    context_.timeout = 12;
    PurgeInput(&context_);
    EXPECT_EQ(SetReadTimeout(context_.port, 12), 12);

    // And the instance's timeout is what a receive then waits.
    uint8_t in[1] = {};
    Stopwatch watch;
    EXPECT_EQ(ReceiveBytes(&context_, in, 1), 0);
    EXPECT_GE(watch.ElapsedMs(), 115);
    EXPECT_LT(watch.ElapsedMs(), 280);
}

TEST(InstanceIoWithoutPort, PortZeroDoesNothing) {
    VpiContext context;
    std::memset(&context, 0, sizeof context);
    context.timeout = 100;
    const uint8_t out[2] = {0x10, 0x05};
    uint8_t in[2] = {0x77, 0x77};
    Stopwatch watch;
    EXPECT_EQ(SendBytes(&context, out, 2), 0);
    EXPECT_EQ(ReceiveBytes(&context, in, 2), 0);
    PurgeInput(&context);
    EXPECT_LT(watch.ElapsedMs(), 40); // no purge window, no read timeout
    EXPECT_EQ(in[0], 0x77);
    EXPECT_EQ(context.port, 0u);
    EXPECT_EQ(SendBytes(nullptr, out, 2), 0);
    EXPECT_EQ(ReceiveBytes(nullptr, in, 2), 0);
}

} // namespace
} // namespace vpisd::test
