// Whole exchanges with the running simulator over a real pty, played by a hand-written driver side.
#include "sim/simulator.h"

#include "driver_side.h"
#include "support/pty.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace vpisd::sim {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::DriverSide;
using test::WireFrame;
using vpisd::test::Hex;
using vpisd::test::ToHex;

constexpr const char *kNetwork = R"(
[plc P1]
route = 10+3
backup = 2+3
100 = 0x1234
[plc P2]
route = 10+4
100 = 0x2222
[plc P3]
route = 10+5+9
100 = 0x3333
[plc P0]
direct = yes
registers = 200
100 = 0x1234
)";

std::string Ack(uint8_t toggle) {
    return toggle == 0x11 ? "10 11" : "10 12";
}

std::string Reply(uint8_t toggle, const std::string &route, const std::string &body) {
    return Ack(toggle) + " " + ToHex(WireFrame(toggle, route, Hex(body), false));
}

class ExchangeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim.Start();
        driver = std::make_unique<DriverSide>(sim.PortPath());
    }
    // Statistics move on the simulator's thread; wait a bounded while for a counter to get there.
    uint64_t WaitStat(const char *name, uint64_t want) {
        uint64_t value = 0;
        for (int i = 0; i < 300 && (value = sim.GetStats().Get(name)) < want; ++i) {
            std::this_thread::sleep_for(10ms);
        }
        return value;
    }

    Simulator sim{ParseNetwork(kNetwork)};
    std::unique_ptr<DriverSide> driver;
};

TEST_F(ExchangeTest, WorkedReadOfTheDirectPlc) {
    EXPECT_LE(sim.PortPath().size(), 11u);
    EXPECT_EQ(ToHex(driver->Enquire()), "10 12");
    driver->Write({0x10, 0x15});
    driver->Write(Hex("10 01 11 10 02 00 05 00 C6 00 00 10 03 FF FE"));
    EXPECT_EQ(ToHex(driver->Read(2, 1000)), "10 11");
    EXPECT_EQ(ToHex(driver->Read(14, 1000)), "10 01 11 10 02 86 05 00 00 12 34 10 03 F9");
    driver->Write({0x10, 0x11});
    EXPECT_EQ(WaitStat("reply_acks", 1), 1u);
    EXPECT_EQ(ToHex(driver->Drain(100)), "") << "nothing follows the reply";
    EXPECT_EQ(ToHex(driver->Enquire()), "10 11") << "the next frame must carry 0x12";
}

TEST_F(ExchangeTest, WritesReachTheRegisters) {
    driver->Enquire();
    EXPECT_EQ(ToHex(driver->Request(0x11, "0A03", Hex("02 01 00 C6 00 01 00 02 00 03 FF FF"))),
              Reply(0x11, "030A", "80 01"));
    EXPECT_EQ(sim.Register("P1", 100), 1);
    EXPECT_EQ(sim.Register("P1", 102), 3);
    EXPECT_EQ(ToHex(driver->Request(0x12, "0A03", Hex("02 02 00 C6 80 00 80 00"))),
              Reply(0x12, "030A", "80 02"));
    EXPECT_EQ(sim.Register("P1", 100), 0x8001);
    sim.SetRegister("P1", 101, 0x10);
    EXPECT_EQ(ToHex(driver->Request(0x11, "0A03", Hex("00 03 00 C6 00 01"))),
              Reply(0x11, "030A", "86 03 00 00 80 01 00 10"));
    EXPECT_EQ(ToHex(driver->Request(0x12, "", Hex("00 04 01 8E 00 01"))),
              Reply(0x12, "", "A2 04 03"))
        << "P0 has 200 registers";
    EXPECT_EQ(sim.GetStats().Get("writes"), 1u);
    EXPECT_EQ(sim.GetStats().Get("masked_writes"), 1u);
}

TEST_F(ExchangeTest, SeveralPlcsShareTheLine) {
    driver->Enquire();
    uint8_t toggle = 0x11;
    const std::pair<const char *, const char *> plcs[] = {{"0A04", "86 01 00 00 22 22"},
                                                          {"0A0509", "86 01 00 00 33 33"},
                                                          {"0A03", "86 01 00 00 12 34"},
                                                          {"", "86 01 00 00 12 34"}};
    for (const auto &[route, body] : plcs) {
        const std::string reversed = ReverseRouteGroups(route);
        EXPECT_EQ(ToHex(driver->Request(toggle, route, Hex("00 01 00 C6 00 00"))),
                  Reply(toggle, reversed, body))
            << route;
        toggle = toggle == 0x11 ? 0x12 : 0x11;
    }
    const Stats stats = sim.GetStats();
    EXPECT_EQ(stats.Get("requests.P2.normal"), 1u);
    EXPECT_EQ(stats.Get("requests.P3.normal"), 1u);
    EXPECT_EQ(stats.Get("requests.P0.direct"), 1u);
}

TEST_F(ExchangeTest, DeadNormalPathLeavesTheBackupWorking) {
    EXPECT_EQ(sim.Control("fault P1 normal dead"), "OK fault 1\n");
    EXPECT_EQ(ToHex(driver->Request(0x11, "0A03", Hex("00 07 00 C6 00 00"))),
              Reply(0x11, "030A", "A2 07 11"));
    EXPECT_EQ(ToHex(driver->Request(0x11, "0203", Hex("00 07 00 C6 00 00"))),
              Reply(0x11, "0302", "86 07 00 00 12 34"));
    EXPECT_EQ(sim.Control("clear"), "OK cleared 1\n");
    EXPECT_EQ(ToHex(driver->Request(0x12, "0A03", Hex("00 08 00 C6 00 00"))),
              Reply(0x12, "030A", "86 08 00 00 12 34"));
}

TEST_F(ExchangeTest, FaultExpiresAfterItsSeconds) {
    sim.AddFault("* any silence seconds=0.3");
    const Bytes body = Hex("00 09 00 C6 00 00");
    EXPECT_EQ(ToHex(driver->Request(0x11, "0A04", body, 100, 300)), "");
    std::this_thread::sleep_for(350ms);
    EXPECT_EQ(ToHex(driver->Request(0x11, "0A04", body)), Reply(0x11, "040A", "86 09 00 00 22 22"));
    EXPECT_EQ(sim.Control("faults"), "OK\n");
}

TEST_F(ExchangeTest, DelayedReplyComesAfterAPromptAcknowledgement) {
    sim.AddFault("P2 normal delay 400");
    driver->Write({0x10, 0x15});
    const auto sent = std::chrono::steady_clock::now();
    driver->Write(WireFrame(0x12, "0A04", Hex("00 0A 00 C6 00 00")));
    EXPECT_EQ(ToHex(driver->Read(2, 1000)), "10 12");
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 300ms);
    EXPECT_EQ(ToHex(driver->Read(2, 200)), "") << "reply must not come early";
    const Bytes reply = driver->Read(18, 1000);
    EXPECT_GE(std::chrono::steady_clock::now() - sent, 400ms);
    EXPECT_EQ(ToHex(reply), ToHex(WireFrame(0x12, "040A", Hex("86 0A 00 00 22 22"), false)));
}

TEST_F(ExchangeTest, StalledFrameIsDroppedAndTheLineRecovers) {
    const Bytes frame = WireFrame(0x11, "0A03", Hex("00 0C 00 C6 00 00"));
    driver->Write(Bytes(frame.begin(), frame.begin() + 8));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(sim.GetStats().Get("frames_stalled"), 0u) << "a second must pass first";
    EXPECT_EQ(WaitStat("frames_stalled", 1), 1u);
    EXPECT_EQ(ToHex(driver->Request(0x11, "0A03", Hex("00 0C 00 C6 00 00"))),
              Reply(0x11, "030A", "86 0C 00 00 12 34"));
}

TEST_F(ExchangeTest, LineStaysUpWhileTheDriverReopens) {
    EXPECT_EQ(ToHex(driver->Enquire()), "10 12");
    driver.reset();
    driver = std::make_unique<DriverSide>(sim.PortPath());
    EXPECT_EQ(ToHex(driver->Request(0x11, "", Hex("00 0D 00 C6 00 00"))),
              Reply(0x11, "", "86 0D 00 00 12 34"));
}

TEST_F(ExchangeTest, ControlCommands) {
    EXPECT_EQ(sim.Control("set P2 5 1 0x10 65535"), "OK\n");
    EXPECT_EQ(sim.Control("get P2 5 3"), "VALUE P2 5 1 16 65535\nOK\n");
    EXPECT_EQ(sim.Control("set P0 200 1 2").substr(0, 4), "ERR ");
    EXPECT_EQ(sim.Register("P0", 200), 0) << "a refused set writes nothing";
    EXPECT_EQ(sim.Control("set P2 5 65536").substr(0, 4), "ERR ");
    EXPECT_EQ(sim.Control("get PX 5").substr(0, 4), "ERR ");
    EXPECT_EQ(sim.Control("fault PX normal silence").substr(0, 4), "ERR ");
    EXPECT_EQ(sim.Control("fault P1 normal").substr(0, 4), "ERR ");
    EXPECT_EQ(sim.Control("launch").substr(0, 4), "ERR ");
    EXPECT_EQ(sim.Control(""), "ERR empty command\n");

    EXPECT_EQ(sim.Control("fault P1 normal stale count=1"), "OK fault 1\n");
    EXPECT_EQ(sim.Control("fault P2 any delay 10"), "OK fault 2\n");
    EXPECT_EQ(sim.Control("faults"),
              "FAULT 1 P1 normal stale count=1\nFAULT 2 P2 any delay 10\nOK\n");
    EXPECT_EQ(sim.Control("clear 2"), "OK cleared 1\n");
    EXPECT_EQ(sim.Control("clear P1"), "OK cleared 1\n");

    driver->Enquire();
    const std::string stats = sim.Control("stats");
    EXPECT_NE(stats.find("STAT enquiries 1\n"), std::string::npos) << stats;
    EXPECT_EQ(stats.substr(stats.size() - 3), "OK\n");
    EXPECT_EQ(sim.Control("reset-stats"), "OK\n");
    EXPECT_EQ(sim.GetStats().Get("enquiries"), 0u);
    EXPECT_FALSE(sim.QuitRequested());
    EXPECT_EQ(sim.Control("quit"), "OK\n");
    EXPECT_TRUE(sim.QuitRequested());
}

TEST(ExchangeTrace, EveryByteBothWays) {
    Simulator sim(ParseNetwork("[plc P0]\ndirect = yes\n"));
    std::mutex mutex;
    std::vector<std::string> lines;
    sim.SetTrace([&](const std::string &line) {
        std::lock_guard lock(mutex);
        lines.push_back(line);
    });
    sim.Start();
    DriverSide driver(sim.PortPath());
    EXPECT_EQ(ToHex(driver.Enquire()), "10 12");
    sim.Stop();
    std::lock_guard lock(mutex);
    std::string received, sent;
    for (const std::string &line : lines) {
        ASSERT_TRUE(line.starts_with("RX ") || line.starts_with("TX ")) << line;
        (line[0] == 'R' ? received : sent) += line.substr(2);
    }
    EXPECT_EQ(received, " FE FE FE FE FE FE FE FE FE FE 10 05");
    EXPECT_EQ(sent, " 10 12");
}

TEST(ExchangePacing, RepliesTakeTheirCharacterTimes) {
    NetworkConfig config = ParseNetwork("[plc P0]\ndirect = yes\n");
    config.baud = 9600;
    config.bitsPerChar = 11;
    Simulator sim(config);
    sim.Start();
    DriverSide driver(sim.PortPath());
    // 100 registers: a reply of 4 + 200 body bytes plus 8 of framing, 212 characters = 243 ms.
    driver.Write(WireFrame(0x11, "", Hex("00 01 00 00 00 63")));
    const auto sent = std::chrono::steady_clock::now();
    const Bytes answer = driver.Read(2 + 212, 2000);
    const auto took = std::chrono::steady_clock::now() - sent;
    EXPECT_EQ(answer.size(), 214u);
    EXPECT_GE(took, 230ms);
    EXPECT_LT(took, 1500ms);
}

} // namespace
} // namespace vpisd::sim
