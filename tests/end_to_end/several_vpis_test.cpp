// Several VPIs on several threads at once, each on a simulated line of its own, driven only
// through the command entry: start, parse, write and read back, reopen, close and open,
// close. Every value read is checked against what was written and against the PLC.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/command_table.h"
#include "driver/context.h"
#include "sim/config.h"
#include "sim/simulator.h"
#include "support/host_log.h"
#include "support/sim_line.h"
#include "support/temp_dir.h"
#include "vpisd/vpi.h"

namespace vpisd::e2e {
namespace {

constexpr int kVpis = 4;
constexpr int kRounds = 6;
constexpr int32_t kTimeout = 20; // 200 ms
constexpr uint16_t kWords = 20;

class Vpi {
  public:
    Vpi(int number, sim::Simulator &simulator) : number_(number), simulator_(simulator) {
        std::memset(&context_, 0, sizeof context_);
    }

    // Runs the whole life of the VPI; failures are collected, not asserted, on this thread.
    void Run() {
        const std::string &port = simulator_.PortPath();
        StartParams start{};
        std::memcpy(start.portName, port.c_str(), port.size() + 1);
        start.portEnabled = 1;
        start.timeout = kTimeout;
        start.baudRate = 9600;
        start.dataBits = 8;
        Expect(Command(VPI_START, &start) == VPI_OK, "start");

        // P<n> is reached over a route; its block and single tags differ per VPI.
        const std::string plc = "P" + std::to_string(number_);
        const int firstRegister = 100 * number_;
        const std::string blockGas = plc + FourDigits(firstRegister);
        const std::string singleGas = plc + FourDigits(firstRegister + 50);
        TagAccess block = Parse(blockGas, kWords, true);
        TagAccess single = Parse(singleGas, 1, false);

        std::vector<uint16_t> written(kWords + 1);
        std::vector<uint16_t> read(kWords + 1);
        for (int round = 0; round < kRounds; ++round) {
            for (uint16_t i = 0; i < kWords; ++i) {
                written[i] = static_cast<uint16_t>(number_ * 1000 + round * 100 + i);
            }
            written[kWords] = 0xA5A5; // guard word, never written or read
            read.assign(kWords + 1, 0xA5A5);
            block.values = written.data();
            Expect(Command(VPI_WRITE, &block) == VPI_OK, "block write, round " + Round(round));
            block.values = read.data();
            Expect(Command(VPI_READ, &block) == VPI_OK, "block read, round " + Round(round));
            Expect(read == written, "block read back, round " + Round(round));
            Expect(simulator_.Register(plc, static_cast<size_t>(firstRegister)) == written[0],
                   "first register in the PLC, round " + Round(round));

            uint16_t one[2] = {0, static_cast<uint16_t>(number_ * 7 + round)};
            single.values = one;
            Expect(Command(VPI_WRITE, &single) == VPI_OK, "single write, round " + Round(round));
            uint16_t back[2] = {0xA5A5, 0};
            single.values = back;
            Expect(Command(VPI_READ, &single) == VPI_OK && back[1] == one[1] && back[0] == 0xA5A5,
                   "single read back, round " + Round(round));

            if (round == 1) {
                ReopenParams reopen{};
                std::memcpy(reopen.portName, port.c_str(), port.size() + 1);
                reopen.timeout = kTimeout;
                reopen.baudRate = 9600;
                reopen.dataBits = 8;
                Expect(Command(VPI_REOPEN, &reopen) == VPI_OK, "reopen");
            }
            if (round == 3) {
                Expect(Command(VPI_CLOSE, nullptr) == VPI_OK, "close before open");
                Expect(Command(VPI_OPEN, nullptr) == VPI_OK, "open");
            }
        }
        Expect(Command(VPI_CLOSE, nullptr) == VPI_OK && context_.port == 0, "close");
    }

    const std::vector<std::string> &failures() const { return failures_; }

  private:
    int32_t Command(int32_t code, void *data) {
        const VpiRequest request{&context_, code, number_, 0, data};
        return DispatchCommand(&request);
    }
    TagAccess Parse(const std::string &gas, int32_t count, bool isBlock) {
        TagDescriptor descriptor{};
        descriptor.gas = gas.c_str();
        descriptor.count = count;
        Expect(Command(isBlock ? VPI_BLOCK_PARSE : VPI_SINGLE_PARSE, &descriptor) == VPI_OK,
               "parse " + gas);
        TagAccess tag{};
        tag.gas = gas.c_str();
        tag.slot = descriptor.slot;
        tag.kind = descriptor.kind;
        tag.address = descriptor.address;
        tag.bit = descriptor.bit;
        tag.count = count;
        return tag;
    }
    void Expect(bool ok, const std::string &what) {
        if (!ok) {
            failures_.push_back("VPI " + std::to_string(number_) + ": " + what);
        }
    }
    static std::string Round(int round) { return std::to_string(round); }
    static std::string FourDigits(int number) {
        char text[16];
        std::snprintf(text, sizeof text, "%04d", number);
        return text;
    }

    int number_;
    sim::Simulator &simulator_;
    VpiContext context_;
    std::vector<std::string> failures_;
};

TEST(SeveralVpis, FourVpisOnFourThreadsKeepTheirOwnValues) {
    test::TempCwd cwd; // the init files vpiSD01.int to vpiSD04.int
    std::vector<test::SimLine> lines;
    for (int n = 1; n <= kVpis; ++n) {
        const std::string network = "[plc P" + std::to_string(n) +
                                    "]\nroute = " + std::to_string(n) + "+" +
                                    std::to_string(10 + n) + "\n";
        lines.push_back(test::StartSimLine(network, cwd, "vpiSD0" + std::to_string(n) + ".int"));
    }
    std::vector<std::unique_ptr<Vpi>> vpis;
    for (int n = 1; n <= kVpis; ++n) {
        vpis.push_back(std::make_unique<Vpi>(n, *lines[static_cast<size_t>(n - 1)].sim));
    }
    std::vector<std::thread> threads;
    for (auto &vpi : vpis) {
        threads.emplace_back([&vpi] { vpi->Run(); });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    for (auto &line : lines) {
        line.sim->Stop();
    }
    for (const auto &vpi : vpis) {
        for (const std::string &failure : vpi->failures()) {
            ADD_FAILURE() << failure;
        }
    }
    if (HasFailure()) {
        std::printf("Driver messages:\n%s", test::LogDump().c_str());
    }
}

} // namespace
} // namespace vpisd::e2e
