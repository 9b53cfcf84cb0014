// The gateway's cost and its lines' parallelism, as figures (nothing is asserted):
//  1. one read of 10 registers straight through the driver against the same read through
//     vpisd-gateway by a Modbus TCP client, as a ratio;
//  2. four lines read at once (one client each) against one line alone, as a ratio of reads
//     per second.
// Every line is a simulated network paced at 9600 baud on its own pty.
#include <modbus/modbus.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "host/driver_library.h"
#include "host/host_log.h"
#include "host/session.h"
#include "host/work_dir.h"
#include "support/child_process.h"
#include "support/free_port.h"
#include "support/sim_line.h"
#include "support/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kLines = 4;
constexpr int kReads = 30;     // per measurement
constexpr int kRegisters = 10; // per read
constexpr const char *kNetwork = "[line]\nbaud = 9600\n[plc P1]\nroute = 1+5\n";

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Mean milliseconds of one read straight through the driver.
double DirectRead(const std::string &port, const std::string &init) {
    vpisd::host::DriverLibrary library;
    std::string error;
    if (!library.Load(vpisd::host::LibraryCandidates(VPISD_LIBRARY_PATH), error))
        return -1;
    vpisd::host::WorkDir dir;
    if (!dir.Prepare(init, 1, "vpisd-bench", error))
        return -1;
    vpisd::host::VpiSession session(library);
    vpisd::host::LineOptions line;
    line.baudRate = 9600;
    line.dataBits = 8;
    line.parity = 2;
    if (session.Start(port, line, session.Describe().contextSize) != 0)
        return -1;
    vpisd::host::TagLayout layout;
    session.Parse("P10001", kRegisters, layout);
    std::vector<uint16_t> values(vpisd::host::BufferWords(layout));
    session.Read("P10001", layout, values); // the link enquiry, once
    const auto start = Clock::now();
    for (int i = 0; i < kReads; ++i)
        session.Read("P10001", layout, values);
    return MsSince(start) / kReads;
}

struct Reads {
    int ok = 0;
    double ms = 0;
};

Reads ReadThroughGateway(uint16_t port, int unit) {
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
    modbus_set_slave(ctx, unit);
    modbus_set_response_timeout(ctx, 10, 0);
    Reads reads;
    uint16_t values[kRegisters];
    if (modbus_connect(ctx) == 0) {
        modbus_read_registers(ctx, 0, kRegisters, values); // the link enquiry, once
        const auto start = Clock::now();
        for (int i = 0; i < kReads; ++i)
            reads.ok += modbus_read_registers(ctx, 0, kRegisters, values) == kRegisters ? 1 : 0;
        reads.ms = MsSince(start);
    }
    modbus_close(ctx);
    modbus_free(ctx);
    return reads;
}

} // namespace

int main() {
    vpisd::host::SetLogVerbosity(0); // the driver's messages kept quiet, not on stderr
    const vpisd::test::TempDir dir;
    std::vector<vpisd::test::SimLine> lines;
    for (int i = 0; i < kLines; ++i)
        lines.push_back(vpisd::test::StartSimLine(kNetwork, dir));
    const std::string &init = lines[0].init;

    const double direct = DirectRead(lines[0].port, init);

    const uint16_t port = vpisd::test::FreePort();
    std::string config = "[gateway]\nlisten = \"127.0.0.1:" + std::to_string(port) + "\"\n";
    for (int i = 0; i < kLines; ++i) {
        const std::string name = "line" + std::to_string(i + 1);
        config += "[[line]]\nname = \"" + name + "\"\nport = \"" +
                  lines[static_cast<size_t>(i)].port + "\"\nvpi = " + std::to_string(i + 1) +
                  "\ninit = \"" + init + "\"\n";
        config +=
            "[[unit]]\nid = " + std::to_string(i + 1) + "\nline = \"" + name + "\"\nplc = \"P1\"\n";
    }
    const std::string configPath = dir.Write("gateway.toml", config);

    vpisd::test::ChildProcess gateway(VPISD_GATEWAY_PATH,
                                      {"--config", configPath, "--lib", VPISD_LIBRARY_PATH});
    if (!vpisd::test::WaitForListener(port, 10000)) {
        std::fprintf(stderr, "vpisd-gateway does not listen: %s\n", gateway.sofar().err.c_str());
        return 1;
    }

    const Reads one = ReadThroughGateway(port, 1);
    std::vector<Reads> all(kLines);
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    for (int i = 0; i < kLines; ++i)
        threads.emplace_back(
            [&, i] { all[static_cast<size_t>(i)] = ReadThroughGateway(port, i + 1); });
    for (auto &thread : threads)
        thread.join();
    const double allMs = MsSince(start);
    int allOk = 0;
    for (const Reads &r : all)
        allOk += r.ok;

    gateway.Signal(SIGTERM);
    gateway.Finish(30000);
    const double viaGateway = one.ms / kReads;
    const double oneRate = one.ok / (one.ms / 1000.0);
    const double allRate = allOk / (allMs / 1000.0);
    std::printf("read of %d registers at 9600 baud, %d reads each\n", kRegisters, kReads);
    std::printf("  direct through the driver : %8.2f ms per read\n", direct);
    std::printf("  through vpisd-gateway     : %8.2f ms per read (%d/%d ok)\n", viaGateway, one.ok,
                kReads);
    std::printf("  gateway / direct          : %8.4f (%+.2f%%)\n", viaGateway / direct,
                (viaGateway / direct - 1.0) * 100.0);
    std::printf("one line alone              : %8.2f reads/s\n", oneRate);
    std::printf("%d lines at once            : %8.2f reads/s (%d/%d ok)\n", kLines, allRate, allOk,
                kLines * kReads);
    std::printf("  %d lines / one line        : %8.2f\n", kLines, allRate / oneRate);
    return 0;
}
