// A PLC that stops answering is demoted: its reads and writes are answered 0B at once without
// the line, one probe after each hold (doubling up to demote_max_s) tries it again, a write is
// never kept to land later, the good PLC beside it keeps answering, and the log says once that
// it stopped and once that it answers again. A PLC with a backup route is switched to it first
// and demoted only when both routes are silent; a reload that keeps the line keeps the demotion.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <optional>
#include <regex>
#include <thread>
#include <vector>

#include "gateway_on_sim.h"

namespace vpisd::gateway::test {
namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

constexpr double kAtOnceS = 1.0; // a demoted PLC's answer, generously (the aim is 10 ms)
constexpr auto kPoll = std::chrono::milliseconds(100);

// One Modbus request to a gateway unit: when it was sent and answered, and how.
struct Exchange {
    Clock::time_point sent;
    Clock::time_point answered;
    int exception = 0; // 0: answered normally; -1: no answer at all
    uint16_t value = 0;
    double seconds() const { return Seconds(answered - sent).count(); }
};

// Register `address` + 1 of the unit `client` addresses, read (or written with `write`).
Exchange Ask(modbus_t *client, int address, std::optional<uint16_t> write = std::nullopt) {
    Exchange e;
    e.sent = Clock::now();
    const int n = write ? modbus_write_register(client, address, *write)
                        : modbus_read_registers(client, address, 1, &e.value);
    e.answered = Clock::now();
    if (n != 1)
        e.exception = LastException() != 0 ? LastException() : -1;
    return e;
}

std::string Units() {
    return UnitToml(1, "north", "P1") + UnitToml(2, "north", "P2");
}

// P2 silent on a line of two PLCs, demote_s = 1, demote_max_s = 2: a reader and a writer of P2
// poll through three probes while a client of P1 polls all along, then the fault clears.
TEST(Demotion, SilentPlcAnsweredAtOnceProbedAfterEachHoldBackWithinOne) {
    TempDir dir;
    SimLine line = StartSimLine(kTwoPlcs, dir, "plant.int");
    line.sim->SetRegister("P1", 5, 55);
    line.sim->SetRegister("P2", 10, 7);
    Gateway gateway(dir,
                    LineToml("north", line.port, 1, line.init, "demote_s = 1\ndemote_max_s = 2\n") +
                        Units());
    Client good = Connect(gateway.port(), 1);
    Client reader = Connect(gateway.port(), 2);
    Client writer = Connect(gateway.port(), 2);
    ASSERT_TRUE(good && reader && writer);
    ASSERT_EQ(Ask(reader.get(), 9).value, 7);

    std::atomic<bool> stopGood{false};
    int goodOk = 0;
    int goodFailed = 0;
    std::thread goodPoller([&] {
        while (!stopGood) {
            const Exchange e = Ask(good.get(), 4);
            ++(e.exception == 0 && e.value == 55 ? goodOk : goodFailed);
            std::this_thread::sleep_for(kPoll);
        }
    });

    line.sim->Control("fault P2 any silence");
    const Exchange first = Ask(reader.get(), 9);
    EXPECT_EQ(first.exception, 0x0B);
    const double transaction = first.seconds();
    EXPECT_GT(transaction, kAtOnceS) << "the first read of a silent PLC is a whole transaction";
    std::printf("a silent transaction: %.2f s\n", transaction);

    // Reader and writer poll until three probes have come and gone.
    const std::vector<double> holds = {1, 2, 2}; // doubled, then at demote_max_s
    std::mutex mutex;
    std::vector<Exchange> seen; // every P2 exchange after the first
    std::atomic<bool> stopP2{false};
    const auto poll = [&](modbus_t *client, std::optional<uint16_t> write) {
        while (!stopP2) {
            const Exchange e = Ask(client, 9, write);
            {
                std::lock_guard lock(mutex);
                seen.push_back(e);
                if (std::count_if(seen.begin(), seen.end(), [](const Exchange &x) {
                        return x.seconds() >= kAtOnceS;
                    }) >= static_cast<long>(holds.size()))
                    stopP2 = true;
            }
            std::this_thread::sleep_for(kPoll);
        }
    };
    const auto deadline = Clock::now() + Seconds(10 * transaction + 60);
    std::thread readPoller(poll, reader.get(), std::nullopt);
    std::thread writePoller(poll, writer.get(), uint16_t{1234});
    while (!stopP2 && Clock::now() < deadline)
        std::this_thread::sleep_for(kPoll);
    stopP2 = true;
    readPoller.join();
    writePoller.join();

    // One probe at a time, each a hold after the last; everything else answered 0B at once.
    std::sort(seen.begin(), seen.end(),
              [](const Exchange &a, const Exchange &b) { return a.sent < b.sent; });
    std::vector<Exchange> probes;
    size_t atOnce = 0;
    for (const Exchange &e : seen) {
        EXPECT_EQ(e.exception, 0x0B);
        if (e.seconds() >= kAtOnceS)
            probes.push_back(e);
        else
            ++atOnce;
    }
    ASSERT_EQ(probes.size(), holds.size()) << "no probe within the deadline";
    Clock::time_point holdBegan = first.answered;
    for (size_t i = 0; i < probes.size(); ++i) {
        SCOPED_TRACE("probe " + std::to_string(i + 1));
        const double after = Seconds(probes[i].sent - holdBegan).count();
        EXPECT_GE(after, holds[i] - 0.25);
        EXPECT_LE(after, holds[i] + 1.0);
        for (const Exchange &e : seen) { // nothing else waited for the probe
            const bool during = e.sent < probes[i].answered && e.answered > probes[i].sent;
            if (during && e.sent != probes[i].sent) {
                EXPECT_LT(e.seconds(), kAtOnceS);
            }
        }
        holdBegan = probes[i].answered;
    }
    EXPECT_GE(atOnce, 10U);

    // The fault clears during a hold of 2 s: back within that hold and one transaction.
    line.sim->Control("clear");
    const auto cleared = Clock::now();
    Exchange back;
    do {
        back = Ask(reader.get(), 9);
        if (back.exception != 0)
            std::this_thread::sleep_for(kPoll);
    } while (back.exception != 0 &&
             Clock::now() < cleared + Seconds(holds.back() + 3 * transaction));
    ASSERT_EQ(back.exception, 0);
    EXPECT_LE(Seconds(back.answered - cleared).count(), holds.back() + transaction);
    EXPECT_EQ(back.value, 7) << "a write answered 0B landed later";
    EXPECT_EQ(line.sim->Register("P2", 10), 7);

    stopGood = true;
    goodPoller.join();
    EXPECT_EQ(goodFailed, 0);
    EXPECT_GE(goodOk, 10);

    ASSERT_TRUE(gateway.process().WaitForError("answering again", 5000))
        << gateway.process().sofar().err;
    const ChildResult stopped = gateway.Stop();
    EXPECT_EQ(stopped.exitCode, 0) << stopped.err;
    const std::string &log = stopped.err;
    EXPECT_EQ(Occurrences(log, "stopped answering"), 1U) << log;
    EXPECT_EQ(Occurrences(log, "PLC P2 stopped answering (no answer to a read of P20010); "
                               "demoted for 1 s"),
              1U)
        << log;
    EXPECT_EQ(Occurrences(log, "answering again"), 1U) << log;
    EXPECT_EQ(Occurrences(log, "PLC P2 answering again after "), 1U) << log;
    std::smatch demoted;
    ASSERT_TRUE(std::regex_search(log, demoted, std::regex("line time: .* demoted ([0-9]+)")))
        << log;
    EXPECT_GE(std::stoul(demoted[1].str()), atOnce) << "answered at once, counted as demoted";
}

// P1 with a backup route (2+5): what each request of a client of P1 gets, in turn.
TEST(Demotion, BackupRouteIsTriedBeforeDemotionAndAtEveryProbe) {
    enum class Do { Ask, Fault, Clear, WaitHold, Reload };
    enum class Answer { Value, SlowNoAnswer, AtOnceNoAnswer };
    struct Step {
        Do what;
        Answer expect = Answer::Value; // for Ask
        const char *fault = "";        // for Fault
    };
    struct Case {
        const char *name;
        std::vector<Step> steps;
        size_t demotions; // "demoted for" in the log
    };
    const Step slow{Do::Ask, Answer::SlowNoAnswer};
    const Step atOnce{Do::Ask, Answer::AtOnceNoAnswer};
    const Step value{Do::Ask, Answer::Value};
    const Case cases[] = {
        // The driver switches to the backup route after one silent transaction; the PLC
        // answers there and is never demoted.
        {"normal route silent",
         {{Do::Fault, {}, "fault P1 normal silence"}, slow, value, value, value},
         0},
        // Demoted only once both routes stayed silent; a reload that keeps the line keeps it.
        {"both routes silent",
         {{Do::Fault, {}, "fault P1 any silence"}, slow, slow, atOnce, {Do::Reload}, atOnce},
         1},
        // The backup comes back during the hold: the probe on the normal route fails, the next
        // request tries the backup route, not a doubled hold.
        {"backup back during the hold",
         {{Do::Fault, {}, "fault P1 any silence"},
          slow,
          slow,
          atOnce,
          {Do::Clear},
          {Do::Fault, {}, "fault P1 normal silence"},
          {Do::WaitHold},
          slow,
          value},
         1},
    };
    constexpr int kHoldS = 6; // long enough for a reload under a sanitizer
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        SimLine line = StartSimLine("[plc P1]\nroute = 1+5\nbackup = 2+5\n[plc P2]\nroute = 1+7\n",
                                    dir, "plant.int");
        line.sim->SetRegister("P1", 5, 55);
        const std::string body = LineToml("north", line.port, 1, line.init,
                                          "demote_s = " + std::to_string(kHoldS) + "\n") +
                                 Units();
        Gateway gateway(dir, body);
        Client client = Connect(gateway.port(), 1);
        ASSERT_TRUE(client);
        ASSERT_EQ(Ask(client.get(), 4).value, 55);
        for (size_t i = 0; i < c.steps.size(); ++i) {
            const Step &step = c.steps[i];
            SCOPED_TRACE("step " + std::to_string(i + 1));
            switch (step.what) {
            case Do::Fault:
                line.sim->Control(step.fault);
                break;
            case Do::Clear:
                line.sim->Control("clear");
                break;
            case Do::WaitHold:
                std::this_thread::sleep_for(std::chrono::seconds(kHoldS));
                break;
            case Do::Reload:
                dir.Write("gateway.toml", "[gateway]\nlisten = \"127.0.0.1:0\"\n" + body);
                gateway.process().Signal(SIGHUP);
                ASSERT_TRUE(gateway.process().WaitForError("1 lines kept", 15000))
                    << gateway.process().sofar().err;
                break;
            case Do::Ask: {
                const Exchange e = Ask(client.get(), 4);
                if (step.expect == Answer::Value) {
                    EXPECT_EQ(e.exception, 0);
                    EXPECT_EQ(e.value, 55);
                } else {
                    EXPECT_EQ(e.exception, 0x0B);
                    if (step.expect == Answer::AtOnceNoAnswer)
                        EXPECT_LT(e.seconds(), kAtOnceS);
                    else
                        EXPECT_GE(e.seconds(), kAtOnceS);
                }
                break;
            }
            }
        }
        const ChildResult stopped = gateway.Stop();
        EXPECT_EQ(stopped.exitCode, 0) << stopped.err;
        const std::string &log = stopped.err;
        EXPECT_EQ(Occurrences(log, "PLC P1 stopped answering"), 1U) << log;
        EXPECT_EQ(Occurrences(log, "PLC P1 demoted for"), c.demotions) << log;
    }
}

} // namespace
} // namespace vpisd::gateway::test
