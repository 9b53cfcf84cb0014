// Read timeouts: each read call ends when all bytes are in or when the timeout has
// passed since it began; PortRead loops read calls until a call brings nothing.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <climits>
#include <memory>
#include <thread>

#include "serial/port.h"
#include "serial_support.h"
#include "support/pty.h"

namespace vpisd::test {
namespace {

using std::chrono::milliseconds;

class ReadTimeout : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(OpenPort(pty_.path().c_str(), 9600, 8, 0, 0, 8, &handle_), PORT_OK);
    }
    void TearDown() override {
        if (late_.joinable())
            late_.join();
        EXPECT_EQ(ClosePort(handle_), PORT_OK);
    }
    // Writes bytes on the far end after a delay, while the test reads.
    void WriteLater(int delayMs, const std::string &hex) {
        late_ = std::thread([this, delayMs, hex] {
            std::this_thread::sleep_for(milliseconds(delayMs));
            pty_.Write(Hex(hex));
        });
    }

    Pty pty_;
    PortHandle handle_ = 0;
    std::thread late_;
};

TEST_F(ReadTimeout, SetReadTimeoutReturnsThePreviousValue) {
    EXPECT_EQ(SetReadTimeout(handle_, 5), 100); // OpenPort's 1000 ms
    EXPECT_EQ(SetReadTimeout(handle_, 5), 5);
    EXPECT_EQ(SetReadTimeout(handle_, 12), 5);
    EXPECT_EQ(SetReadTimeout(handle_, 5), 12);
    EXPECT_EQ(SetReadTimeout(0, 5), 0);
}

TEST_F(ReadTimeout, ExtremeTimeoutsNeitherOverflowNorGoNegative) {
    SetReadTimeout(handle_, INT32_MAX);
    EXPECT_EQ(SetReadTimeout(handle_, -3), INT32_MAX);
    EXPECT_EQ(SetReadTimeout(handle_, 5), 0); // a negative timeout counts as 0
}

TEST_F(ReadTimeout, ZeroTimeoutReturnsAtOnceWithWhatIsPending) {
    SetReadTimeout(handle_, 0);
    uint8_t in[2] = {};
    uint32_t got = 99;
    Stopwatch watch;
    EXPECT_EQ(PortRead(handle_, in, 1, &got), PORT_IO_FAILED);
    EXPECT_EQ(got, 0u);
    EXPECT_LT(watch.ElapsedMs(), 50);

    pty_.Write(Hex("A1 A2"));
    std::this_thread::sleep_for(milliseconds(30));
    EXPECT_EQ(PortRead(handle_, in, 2, &got), PORT_OK);
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(ToHex({in[0], in[1]}), "A1 A2");
}

TEST_F(ReadTimeout, OneByteThenSilenceCostsTwoTimeoutsAndFails) {
    SetReadTimeout(handle_, 10);
    pty_.Write(Hex("31"));
    uint8_t in[2] = {};
    uint32_t got = 99;
    Stopwatch watch;
    EXPECT_EQ(PortRead(handle_, in, 2, &got), PORT_IO_FAILED);
    const int64_t elapsed = watch.ElapsedMs();
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(in[0], 0x31);
    // The first read call waits its whole 100 ms for the missing byte, the second gets nothing.
    EXPECT_GE(elapsed, 195);
    EXPECT_LT(elapsed, 600);
}

TEST_F(ReadTimeout, SecondByteDuringTheSecondWaitCompletesTheRead) {
    SetReadTimeout(handle_, 20);
    pty_.Write(Hex("31"));
    WriteLater(250, "32"); // the first read call ends at 200 ms with one byte
    uint8_t in[2] = {};
    uint32_t got = 99;
    Stopwatch watch;
    EXPECT_EQ(PortRead(handle_, in, 2, &got), PORT_OK);
    const int64_t elapsed = watch.ElapsedMs();
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(ToHex({in[0], in[1]}), "31 32");
    EXPECT_GE(elapsed, 245);
    EXPECT_LT(elapsed, 390); // returned on arrival, not at the end of the second window
}

TEST_F(ReadTimeout, BytesArrivingInPiecesAreGatheredInOrder) {
    SetReadTimeout(handle_, 20);
    pty_.Write(Hex("01 02"));
    WriteLater(40, "03 04 05");
    uint8_t in[5] = {};
    uint32_t got = 0;
    EXPECT_EQ(PortRead(handle_, in, 5, &got), PORT_OK);
    EXPECT_EQ(got, 5u);
    EXPECT_EQ(ToHex({in, in + 5}), "01 02 03 04 05");
    // Nothing beyond the count was consumed.
    late_.join();
    pty_.Write(Hex("06"));
    EXPECT_EQ(PortRead(handle_, in, 1, &got), PORT_OK);
    EXPECT_EQ(in[0], 0x06);
}

extern "C" void NoteSignal(int) {}

TEST_F(ReadTimeout, SignalsDoNotEndAReadEarly) {
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = NoteSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: poll and read see EINTR
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    const pthread_t reader = pthread_self();
    std::thread interrupter([reader] {
        for (int i = 0; i < 4; ++i) {
            std::this_thread::sleep_for(milliseconds(30));
            pthread_kill(reader, SIGUSR1);
        }
    });
    SetReadTimeout(handle_, 20);
    uint8_t in[1] = {};
    uint32_t got = 99;
    Stopwatch watch;
    const int32_t silent = PortRead(handle_, in, 1, &got);
    const int64_t silentMs = watch.ElapsedMs();
    interrupter.join();

    std::thread again([reader] {
        std::this_thread::sleep_for(milliseconds(30));
        pthread_kill(reader, SIGUSR1);
    });
    WriteLater(80, "7E");
    Stopwatch second;
    const int32_t arrived = PortRead(handle_, in, 1, &got);
    const int64_t arrivedMs = second.ElapsedMs();
    again.join();
    sigaction(SIGUSR1, &previous, nullptr);

    EXPECT_EQ(silent, PORT_IO_FAILED);
    EXPECT_GE(silentMs, 195);
    EXPECT_EQ(arrived, PORT_OK);
    EXPECT_EQ(in[0], 0x7E);
    EXPECT_GE(arrivedMs, 75);
}

TEST(ReadHangUp, LineWhoseFarEndClosedFailsAtOnce) {
    auto pty = std::make_unique<Pty>();
    PortHandle handle = 0;
    ASSERT_EQ(OpenPort(pty->path().c_str(), 9600, 8, 0, 0, 8, &handle), PORT_OK);
    pty.reset();
    uint8_t in[1] = {};
    uint32_t got = 99;
    Stopwatch watch;
    EXPECT_EQ(PortRead(handle, in, 1, &got), PORT_IO_FAILED);
    EXPECT_EQ(got, 0u);
    EXPECT_LT(watch.ElapsedMs(), 500); // not the 1000 ms timeout
    EXPECT_EQ(ClosePort(handle), PORT_OK);
}

} // namespace
} // namespace vpisd::test
