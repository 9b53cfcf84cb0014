// A reload checks the candidate configuration's init files with the driver while the lines run:
// a line that opens its port again meanwhile must still read its own init file.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

#include "gateway_on_sim.h"

namespace vpisd::gateway::test {
namespace {

using Clock = std::chrono::steady_clock;

// P1 and P2 over drops that no other test's init file names. A pty number is reused as soon as
// it is free, so a gateway some other test left running on an old /dev/pts/N reopens it when
// this test's simulator gets that number, and its polls of the PLCs of kTwoPlcs would count
// here as requests from this gateway. With drops of its own, P2's counter counts this
// gateway's frames only.
constexpr const char *kOwnDrops = "[plc P1]\nroute = 6+21\n[plc P2]\nroute = 6+23\n";

// Every candidate init file names P1 over P2's drops, and the candidate configuration is
// refused (unit 2 names a PLC that file lacks). The
// line's device is re-pointed between two ptys of the same network again and again, so that its
// VPI starts over and over while the reloads are checked. Each start must take the line's own
// routes: P1's register always reads as P1's, and P2 is never addressed.
TEST(ReloadCheck, CandidateInitFileNeverReachesARunningLine) {
    TempDir dir;
    SimLine first = StartSimLine(kOwnDrops, dir, "plant.int");
    SimLine second = StartSimLine(kOwnDrops, dir, "spare.int");
    for (SimLine *sim : {&first, &second}) {
        sim->sim->SetRegister("P1", 1, 111);
        sim->sim->SetRegister("P2", 1, 222);
    }
    // Blanks after a blank line, which ends the file for the driver, make each check read a
    // while in the candidate's directory.
    const std::string candidateInit =
        dir.Write("candidate.int", "P1=6+23\nQ1=6+21\n\n" + std::string(1 << 18, ' ') + "\n");
    DeviceLink device(first.port);
    Gateway gateway(dir,
                    LineToml("north", device.path(), 1, first.init) + UnitToml(1, "north", "P1"));
    Client client = Connect(gateway.port(), 1);
    ASSERT_TRUE(client);
    // Thirty more lines of that file, each checked in turn.
    std::string candidate = "[gateway]\nlisten = \"127.0.0.1:0\"\n\n" +
                            LineToml("north", device.path(), 1, candidateInit);
    for (int vpi = 2; vpi <= 31; ++vpi) {
        char port[16];
        std::snprintf(port, sizeof port, "ttyV%02d", vpi);
        candidate += LineToml("extra" + std::to_string(vpi), port, vpi, candidateInit);
    }
    dir.Write("gateway.toml", candidate + UnitToml(1, "north", "P1") + UnitToml(2, "north", "Q9"));

    std::atomic<bool> stop{false};
    std::thread reloads([&] {
        while (!stop) {
            gateway.process().Signal(SIGHUP);
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    });
    std::thread repoint([&] {
        for (int n = 1; !stop; ++n) {
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
            device.PointAt(n % 2 == 1 ? second.port : first.port);
        }
    });
    int answered = 0;
    int wrong = 0;
    const auto end = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < end) {
        uint16_t value = 0;
        if (modbus_read_registers(client.get(), 0, 1, &value) == 1) {
            ++answered;
            wrong += value != 111;
        }
    }
    stop = true;
    reloads.join();
    repoint.join();
    // Another program on a simulator's pty speaks to its PLCs too: name it, so that its frames
    // are not taken for this gateway's.
    std::string strangers;
    for (const SimLine *sim : {&first, &second})
        strangers += OtherProcessesOnPort(*sim, {gateway.process().pid()});
    SCOPED_TRACE(strangers.empty() ? "no other process on the simulators' ptys"
                                   : "other processes on the simulators' ptys:\n" + strangers);

    const ChildResult result = gateway.Stop();
    std::printf("%zu reloads refused, %zu reopens, %d reads of P1 answered\n",
                Occurrences(result.err, "not reloaded"),
                Occurrences(result.err, "[north] line back"), answered);
    EXPECT_EQ(wrong, 0) << "of " << answered << " reads of P1";
    for (SimLine *sim : {&first, &second}) {
        for (const auto &[name, count] : sim->sim->GetStats().counters)
            EXPECT_FALSE(name.rfind("requests.P2.", 0) == 0) << name << " " << count;
    }
    // The stress happened: reloads refused, and the line opened again many times.
    EXPECT_GE(Occurrences(result.err, "not reloaded"), 5u) << result.err;
    EXPECT_GE(Occurrences(result.err, "[north] line back"), 5u) << result.err;
    EXPECT_GT(answered, 0);
}

} // namespace
} // namespace vpisd::gateway::test
