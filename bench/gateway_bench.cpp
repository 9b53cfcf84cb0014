// The gateway's cost and how it spends a line's time, as figures (nothing is asserted):
//  1. one read of 10 registers straight through the driver against the same read through
//     vpisd-gateway by a Modbus TCP client, as a ratio;
//  2. four lines read at once (one client each) against one line alone, as a ratio of reads
//     per second;
//  3. the line scheduler on one line: eight clients reading the same registers, eight clients
//     reading ranges spread over one 128-register window, a client polling a refused range
//     beside a good one, and a client waiting behind another's pipelined requests;
//  4. a PLC that stops answering: what one silent transaction costs at timeout_ms 100 and 1000,
//     the good PLC's answers per second beside the demoted one (polled every second) over the
//     30 s after the demotion against alone, and how fast the demoted PLC is answered 0B.
// Every line is a simulated network paced at 9600 baud on its own pty. With the argument
// "demotion" only the figures of 4 are measured.

#include <modbus/modbus.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
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
constexpr const char *kNetwork = "[line]\nbaud = 9600\n[plc P1]\nroute = 1+5\nregisters = 2000\n";
constexpr int kClients = 8;
constexpr auto kRun = std::chrono::seconds(10); // each many-clients measurement
constexpr auto kBadTagRun = std::chrono::seconds(20);
constexpr int kRefusedFirst = 3000; // past the PLC's 2000 registers: refused
constexpr int kPipelined = 30;

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

// Answers per second of `clients` clients reading in a loop for `run`, client i reading
// `kRegisters` registers from Modbus address first(i), all starting at once.
template <typename First>
double AnswersPerSecond(uint16_t port, int clients, First first, Clock::duration run) {
    std::vector<modbus_t *> ctxs;
    for (int i = 0; i < clients; ++i) {
        modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
        modbus_set_slave(ctx, 1);
        modbus_set_response_timeout(ctx, 10, 0);
        modbus_connect(ctx);
        ctxs.push_back(ctx);
    }
    std::atomic<int> answers{0};
    const auto start = Clock::now();
    const auto end = start + run;
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&, i] {
            uint16_t values[kRegisters];
            while (Clock::now() < end) {
                if (modbus_read_registers(ctxs[static_cast<size_t>(i)], first(i), kRegisters,
                                          values) == kRegisters)
                    ++answers;
            }
        });
    }
    for (auto &thread : threads)
        thread.join();
    const double seconds = MsSince(start) / 1000.0;
    for (modbus_t *ctx : ctxs) {
        modbus_close(ctx);
        modbus_free(ctx);
    }
    return answers / seconds;
}

// A good client reads register 1 in a loop for `run` while, with `bad`, another reads a refused
// range once a second; the good client's answers per second.
double GoodBesideBad(uint16_t port, bool bad, Clock::duration run) {
    std::atomic<bool> stop{false};
    std::thread badClient;
    if (bad) {
        badClient = std::thread([&] {
            modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
            modbus_set_slave(ctx, 1);
            modbus_set_response_timeout(ctx, 30, 0);
            modbus_connect(ctx);
            uint16_t values[kRegisters];
            while (!stop) {
                const auto next = Clock::now() + std::chrono::seconds(1);
                modbus_read_registers(ctx, kRefusedFirst - 1, kRegisters, values);
                while (!stop && Clock::now() < next)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            modbus_close(ctx);
            modbus_free(ctx);
        });
    }
    const double rate = AnswersPerSecond(
        port, 1, [](int) { return 0; }, run);
    stop = true;
    if (badClient.joinable())
        badClient.join();
    return rate;
}

// Client A sends kPipelined reads of ranges too far apart to share a block read, then client B
// sends one; milliseconds until B's answer.
double BehindPipelined(uint16_t port) {
    modbus_t *a = modbus_new_tcp("127.0.0.1", port);
    modbus_t *b = modbus_new_tcp("127.0.0.1", port);
    for (modbus_t *ctx : {a, b}) {
        modbus_set_slave(ctx, 1);
        modbus_set_response_timeout(ctx, 30, 0);
        modbus_connect(ctx);
    }
    for (int i = 0; i < kPipelined; ++i) {
        const auto address = static_cast<uint16_t>(60 * i);
        const uint8_t read[] = {1,
                                MODBUS_FC_READ_HOLDING_REGISTERS,
                                static_cast<uint8_t>(address >> 8),
                                static_cast<uint8_t>(address),
                                0,
                                kRegisters};
        modbus_send_raw_request(a, read, sizeof read);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // all of A's are in
    const auto start = Clock::now();
    uint16_t values[kRegisters];
    modbus_read_registers(b, 1900, kRegisters, values);
    const double ms = MsSince(start);
    uint8_t answer[MODBUS_TCP_MAX_ADU_LENGTH];
    for (int i = 0; i < kPipelined; ++i)
        modbus_receive_confirmation(a, answer);
    for (modbus_t *ctx : {a, b}) {
        modbus_close(ctx);
        modbus_free(ctx);
    }
    return ms;
}

constexpr const char *kTwoPlcs =
    "[line]\nbaud = 9600\n[plc P1]\nroute = 1+5\nregisters = 2000\n[plc P2]\nroute = 1+7\n";
constexpr auto kAfterDemotion = std::chrono::seconds(30);

// A gateway of its own on `line` (P1 as unit 1, P2 as unit 2), with `lineKeys` in its [[line]].
struct TwoPlcGateway {
    TwoPlcGateway(const vpisd::test::TempDir &dir, const vpisd::test::SimLine &line,
                  const std::string &lineKeys)
        : port(vpisd::test::FreePort()),
          process(
              VPISD_GATEWAY_PATH,
              {"--config",
               dir.Write("two.toml", "[gateway]\nlisten = \"127.0.0.1:" + std::to_string(port) +
                                         "\"\n[[line]]\nname = \"north\"\nport = \"" + line.port +
                                         "\"\nvpi = 1\ninit = \"" + line.init + "\"\n" + lineKeys +
                                         "[[unit]]\nid = 1\nline = \"north\"\nplc = \"P1\"\n"
                                         "[[unit]]\nid = 2\nline = \"north\"\nplc = \"P2\"\n"),
               "--lib", VPISD_LIBRARY_PATH}) {
        listening = vpisd::test::WaitForListener(port, 10000);
    }
    ~TwoPlcGateway() {
        process.Signal(SIGTERM);
        process.Finish(60000);
    }
    uint16_t port;
    vpisd::test::ChildProcess process;
    bool listening = false;
};

modbus_t *Connected(uint16_t port, int unit) {
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
    modbus_set_slave(ctx, unit);
    modbus_set_response_timeout(ctx, 120, 0);
    modbus_connect(ctx);
    return ctx;
}

void Close(modbus_t *ctx) {
    modbus_close(ctx);
    modbus_free(ctx);
}

// Seconds of one read of the silent P2 through a gateway whose line has `timeoutMs`.
double SilentTransaction(const vpisd::test::TempDir &dir, const vpisd::test::SimLine &line,
                         int timeoutMs) {
    TwoPlcGateway gateway(dir, line, "timeout_ms = " + std::to_string(timeoutMs) + "\n");
    if (!gateway.listening)
        return -1;
    modbus_t *ctx = Connected(gateway.port, 2);
    uint16_t value = 0;
    const auto start = Clock::now();
    const int n = modbus_read_registers(ctx, 0, 1, &value);
    const double seconds = MsSince(start) / 1000.0;
    Close(ctx);
    return n == -1 && errno == EMBXGTAR ? seconds : -1;
}

struct Demotion {
    double silent100 = 0;  // seconds of one silent transaction at timeout_ms = 100
    double silent1000 = 0; // ... at 1000
    double alone = 0;      // the good PLC's answers/s with P2 answering and not polled
    double beside = 0;     // over kAfterDemotion after P2 was demoted, P2 polled every second
    double undemoted = 0;  // the same with demote_s = 0
    double firstMiss = 0;  // seconds of the read that found P2 silent
    std::vector<double> demotedMs; // each poll of P2 after its demotion
};

double Median(std::vector<double> values) {
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The good PLC's answers/s over kAfterDemotion after the first read of the silent P2 (polled
// every second) was answered, with `lineKeys`; each poll's milliseconds after that first one.
double BesideSilent(const vpisd::test::TempDir &dir, const vpisd::test::SimLine &line,
                    const std::string &lineKeys, double &firstMiss, std::vector<double> &pollMs) {
    TwoPlcGateway gateway(dir, line, lineKeys);
    if (!gateway.listening)
        return -1;
    std::atomic<bool> stop{false};
    std::atomic<bool> missed{false};
    std::mutex mutex;
    std::thread poller([&] {
        modbus_t *ctx = Connected(gateway.port, 2);
        uint16_t value = 0;
        while (!stop) {
            const auto next = Clock::now() + std::chrono::seconds(1);
            const auto start = Clock::now();
            modbus_read_registers(ctx, 0, 1, &value);
            const double ms = MsSince(start);
            {
                std::lock_guard lock(mutex);
                if (missed)
                    pollMs.push_back(ms);
                else
                    firstMiss = ms / 1000.0;
            }
            missed = true;
            while (!stop && Clock::now() < next)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        Close(ctx);
    });
    while (!missed)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const double rate = AnswersPerSecond(
        gateway.port, 1, [](int) { return 0; }, kAfterDemotion);
    stop = true;
    poller.join();
    return rate;
}

Demotion MeasureDemotion(const vpisd::test::TempDir &dir) {
    Demotion figures;
    vpisd::test::SimLine line = vpisd::test::StartSimLine(kTwoPlcs, dir, "two.int");
    {
        TwoPlcGateway gateway(dir, line, "timeout_ms = 100\n");
        if (!gateway.listening)
            return figures;
        figures.alone = AnswersPerSecond(
            gateway.port, 1, [](int) { return 0; }, kRun);
    }
    line.sim->Control("fault P2 any silence");
    figures.beside =
        BesideSilent(dir, line, "timeout_ms = 100\n", figures.firstMiss, figures.demotedMs);
    double ignored = 0;
    std::vector<double> undemotedMs;
    figures.undemoted =
        BesideSilent(dir, line, "timeout_ms = 100\ndemote_s = 0\n", ignored, undemotedMs);
    figures.silent100 = SilentTransaction(dir, line, 100);
    figures.silent1000 = SilentTransaction(dir, line, 1000);
    return figures;
}

void PrintDemotion(const Demotion &d) {
    std::printf("a PLC that stops answering (two PLCs on one line, 9600 baud)\n");
    std::printf("  one silent transaction, timeout_ms = 100  : %8.2f s (%.2f s a try)\n",
                d.silent100, d.silent100 / 10);
    std::printf("  one silent transaction, timeout_ms = 1000 : %8.2f s (%.2f s a try)\n",
                d.silent1000, d.silent1000 / 10);
    std::printf(
        "  timeout_ms = 100, demote_s = 10 (default), the silent PLC polled every second:\n");
    std::printf("  read that found it silent               : %8.2f s\n", d.firstMiss);
    std::printf("  good PLC alone                          : %8.2f answers/s\n", d.alone);
    std::printf("  good PLC beside the demoted one, %2lld s   : %8.2f answers/s, %5.2fx alone\n",
                static_cast<long long>(kAfterDemotion.count()), d.beside, d.beside / d.alone);
    std::printf("  the same with demote_s = 0              : %8.2f answers/s, %5.2fx alone\n",
                d.undemoted, d.undemoted / d.alone);
    size_t slow = 0;
    double slowest = 0;
    for (const double ms : d.demotedMs) {
        slow += ms >= 1000 ? 1 : 0;
        slowest = std::max(slowest, ms);
    }
    std::printf("  0B for the demoted PLC                  : %8.2f ms median of %zu polls "
                "(%zu probes, the longest %.2f s)\n",
                Median(d.demotedMs), d.demotedMs.size(), slow, slowest / 1000);
}

} // namespace

int main(int argc, char **argv) {
    vpisd::host::SetLogVerbosity(0); // the driver's messages kept quiet, not on stderr
    const vpisd::test::TempDir dir;
    if (argc > 1 && std::strcmp(argv[1], "demotion") == 0) {
        PrintDemotion(MeasureDemotion(dir));
        return 0;
    }
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

    // The same read through another build of the gateway (e.g. the one before this change),
    // measured first, for the regression figure.
    double baselineRate = 0;
    if (const char *baseline = std::getenv("VPISD_BASELINE_GATEWAY")) {
        const uint16_t baselinePort = vpisd::test::FreePort();
        std::string text = config;
        text.replace(text.find(std::to_string(port)), std::to_string(port).size(),
                     std::to_string(baselinePort));
        const std::string baselineConfig = dir.Write("baseline.toml", text);
        vpisd::test::ChildProcess before(baseline,
                                         {"--config", baselineConfig, "--lib", VPISD_LIBRARY_PATH});
        if (vpisd::test::WaitForListener(baselinePort, 10000)) {
            const Reads reads = ReadThroughGateway(baselinePort, 1);
            baselineRate = reads.ok / (reads.ms / 1000.0);
        }
        before.Signal(SIGTERM);
        before.Finish(30000);
    }
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

    const double alone = AnswersPerSecond(
        port, 1, [](int) { return 0; }, kRun);
    const double fanIn = AnswersPerSecond(
        port, kClients, [](int) { return 0; }, kRun);
    const double spread = AnswersPerSecond(
        port, kClients, [](int i) { return 16 * i; }, kRun);
    const double goodAlone = GoodBesideBad(port, false, kRun);
    const double goodBeside = GoodBesideBad(port, true, kBadTagRun);
    const double behindMs = BehindPipelined(port);

    gateway.Signal(SIGTERM);
    gateway.Finish(30000);
    const Demotion demotion = MeasureDemotion(dir);
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
    if (baselineRate > 0)
        std::printf("  one client, time per read against the baseline gateway: %8.4f "
                    "(%.2f reads/s, baseline %.2f)\n",
                    baselineRate / oneRate, oneRate, baselineRate);
    std::printf("line scheduler, one line, %d registers per read, max_age_ms = 0\n", kRegisters);
    std::printf("  one client alone                  : %8.2f answers/s\n", alone);
    std::printf("  fan-in, %d clients same registers  : %8.2f answers/s, %5.2fx one client\n",
                kClients, fanIn, fanIn / alone);
    std::printf("  spread, %d ranges in 128 registers : %8.2f answers/s, %5.2fx one client\n",
                kClients, spread, spread / alone);
    std::printf("  bad tag, good client beside it    : %8.2f answers/s, %5.2fx alone (%.2f)\n",
                goodBeside, goodBeside / goodAlone, goodAlone);
    std::printf("  turns, B behind A's %d pipelined  : %8.1f ms, %5.2f transaction times\n",
                kPipelined, behindMs, behindMs * alone / 1000.0);
    PrintDemotion(demotion);
    return 0;
}
