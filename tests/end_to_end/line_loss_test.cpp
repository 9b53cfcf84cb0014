// Losing the line under a VPI: the vpisd-sim program killed in the middle of a read, a far
// end that stops reading until the line no longer drains, and the device path replaced by
// a regular file. Each call ends with 2 within a bound; once the device is back, close and
// open recover and the values read are right.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/command_table.h"
#include "driver/context.h"
#include "support/child_process.h"
#include "support/host_log.h"
#include "support/pty.h"
#include "support/temp_dir.h"
#include "vpisd/vpi.h"

namespace vpisd::e2e {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint16_t kBlockWords = 128;
// Every call below is given this long; without the bounds some would never return.
constexpr auto kCallBound = 8s;

// The simulator program on a symbolic link that the test names, P1 over drops 1+5, bytes
// paced at 9600 baud so that a 128-register reply takes about 313 ms. Its init file goes into
// the test's current directory.
std::unique_ptr<test::ChildProcess> StartSimProgram(const std::string &link) {
    auto sim = std::make_unique<test::ChildProcess>(
        VPISD_SIM_PROGRAM,
        std::vector<std::string>{"--plc", "P1=1+5", "--init-out", "vpiSD01.int", "--link", link,
                                 "--baud", "9600", "--no-stdin"});
    // It names its port once the link is made.
    EXPECT_TRUE(sim->WaitForOutput("PORT ", 3000)) << sim->sofar().err;
    return sim;
}

class LineLoss : public ::testing::Test {
  protected:
    void SetUp() override {
        std::memset(&context_, 0, sizeof context_);
        values_.assign(kBlockWords + 1, 0);
    }
    void TearDown() override {
        if (context_.port != 0) {
            Command(VPI_CLOSE, nullptr);
        }
        sim_.reset();
        if (HasFailure()) {
            std::printf("Driver messages:\n%s", test::LogDump().c_str());
        }
    }

    void StartSim() { sim_ = StartSimProgram(link_); }
    void StartVpi() {
        StartParams start{};
        std::memcpy(start.portName, link_.c_str(), link_.size() + 1);
        start.portEnabled = 1;
        start.timeout = 10; // 100 ms
        start.baudRate = 9600;
        start.dataBits = 8;
        ASSERT_EQ(Command(VPI_START, &start), VPI_OK) << test::LogDump();
        TagDescriptor descriptor{};
        descriptor.gas = "P10001";
        descriptor.count = kBlockWords;
        ASSERT_EQ(Command(VPI_BLOCK_PARSE, &descriptor), VPI_OK);
        block_.gas = "P10001";
        block_.slot = descriptor.slot;
        block_.kind = descriptor.kind;
        block_.address = descriptor.address;
        block_.bit = descriptor.bit;
        block_.count = kBlockWords;
        block_.values = values_.data();
    }
    int32_t Command(int32_t code, void *data) {
        const VpiRequest request{&context_, code, 1, 0, data};
        return DispatchCommand(&request);
    }
    // Runs a command and checks that it returned within the bound.
    int32_t Bounded(int32_t code, void *data, const char *what) {
        const Clock::time_point started = Clock::now();
        const int32_t result = Command(code, data);
        EXPECT_LT(Clock::now() - started, kCallBound) << what;
        return result;
    }
    // Writes a pattern over the block and reads it back.
    void ExpectBlockRoundTrip(uint16_t seed) {
        std::vector<uint16_t> written(kBlockWords + 1);
        for (uint16_t i = 0; i < kBlockWords; ++i) {
            written[i] = static_cast<uint16_t>(seed + i);
        }
        block_.values = written.data();
        ASSERT_EQ(Bounded(VPI_WRITE, &block_, "write"), VPI_OK);
        values_.assign(kBlockWords + 1, 0xA5A5);
        block_.values = values_.data();
        ASSERT_EQ(Bounded(VPI_READ, &block_, "read"), VPI_OK);
        written[kBlockWords] = 0xA5A5;
        EXPECT_EQ(values_, written);
    }
    // A read or write on a line that does not drain: 2 and one failure message.
    void ClearLogAndExpectOneFailure(int32_t code, const char *operation) {
        test::ClearLog();
        EXPECT_EQ(Bounded(code, &block_, operation), VPI_COMM_FAILURE);
        const std::string failure = std::string("VPISD: ") + operation +
                                    " Failed! GAS = P10001 rc = 2: the line took no more bytes";
        EXPECT_EQ(test::CountLog(VPI_LOG_EVENT, failure), 1) << test::LogDump();
    }
    // Close and open again once the device is back.
    void ExpectRecovery(uint16_t seed) {
        EXPECT_EQ(Bounded(VPI_CLOSE, nullptr, "close"), VPI_OK);
        ASSERT_EQ(Bounded(VPI_OPEN, nullptr, "open"), VPI_OK) << test::LogDump();
        ExpectBlockRoundTrip(seed);
    }

    test::TempCwd cwd_; // the simulator writes the init file here
    // A port name has at most 11 characters.
    test::ShortTmpName linkName_{11};
    const std::string link_ = linkName_.path();
    std::unique_ptr<test::ChildProcess> sim_;
    VpiContext context_;
    TagAccess block_{};
    std::vector<uint16_t> values_;
};

TEST_F(LineLoss, SimulatorKilledMidReadGivesTwoAndReopenRecovers) {
    StartSim();
    StartVpi();
    ExpectBlockRoundTrip(100);
    std::thread killer([this] {
        std::this_thread::sleep_for(200ms); // inside the 313 ms of the reply
        sim_->Kill();
    });
    EXPECT_EQ(Bounded(VPI_READ, &block_, "read while the simulator dies"), VPI_COMM_FAILURE);
    killer.join();
    EXPECT_EQ(Bounded(VPI_READ, &block_, "read on a dead line"), VPI_COMM_FAILURE);
    StartSim();
    ExpectRecovery(200);
}

TEST_F(LineLoss, LineThatStopsDrainingGivesTwoAndRecovers) {
    StartSim();
    StartVpi();
    ExpectBlockRoundTrip(300);
    sim_->Signal(SIGSTOP);
    // The test's own descriptor of the line fills its output queue (root passes TIOCEXCL).
    const int line = open(link_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (line < 0) {
        sim_->Signal(SIGCONT);
        GTEST_SKIP() << "the line cannot be opened a second time here";
    }
    ASSERT_GT(test::FillOutputQueue(line), 0u);
    close(line);
    ClearLogAndExpectOneFailure(VPI_READ, "Read");
    ClearLogAndExpectOneFailure(VPI_WRITE, "Write");
    sim_->Signal(SIGCONT); // it drains the queue and takes the filler for stray bytes
    ExpectRecovery(400);
}

TEST_F(LineLoss, DevicePathReplacedByARegularFileGivesTwoUntilTheDeviceIsBack) {
    StartSim();
    StartVpi();
    ExpectBlockRoundTrip(500);
    sim_->Kill();
    unlink(link_.c_str());
    std::ofstream(link_) << "not a line\n";
    EXPECT_EQ(Bounded(VPI_READ, &block_, "read after the line went"), VPI_COMM_FAILURE);
    EXPECT_EQ(Bounded(VPI_CLOSE, nullptr, "close"), VPI_OK);
    EXPECT_EQ(Bounded(VPI_OPEN, nullptr, "open of a regular file"), VPI_COMM_FAILURE);
    EXPECT_EQ(context_.port, 0u);
    EXPECT_EQ(Bounded(VPI_READ, &block_, "read without a port"), VPI_COMM_FAILURE);
    StartSim(); // replaces the file with its link
    ASSERT_EQ(Bounded(VPI_OPEN, nullptr, "open"), VPI_OK) << test::LogDump();
    ExpectBlockRoundTrip(600);
}

} // namespace
} // namespace vpisd::e2e
