// Lines work side by side: a silent PLC holds up only its own line, many clients share a line,
// and a line whose device disappears or is replaced behind its path comes back by itself; a
// port held by another program is named in the status.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <regex>
#include <thread>

#include "gateway_on_sim.h"

namespace vpisd::gateway::test {
namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

TEST(Lines, SilentPlcHoldsUpOnlyItsOwnLine) {
    TempDir dir;
    SimLine quiet = StartSimLine(kTwoPlcs, dir, "quiet.int");
    SimLine busy = StartSimLine(kTwoPlcs, dir, "busy.int");
    quiet.sim->Control("fault P1 any silence");
    busy.sim->SetRegister("P1", 100, 4321);
    Gateway gateway(dir, LineToml("quiet", quiet.port, 1, quiet.init) +
                             LineToml("busy", busy.port, 2, busy.init) +
                             UnitToml(1, "quiet", "P1") + UnitToml(2, "busy", "P1"));
    std::atomic<bool> silentDone{false};
    int silentException = -2;
    std::thread silent([&] {
        Client client = Connect(gateway.port(), 1);
        if (client)
            silentException = RawException(client.get(), {0x03, 0, 99, 0, 1});
        silentDone = true;
    });
    Client client = Connect(gateway.port(), 2);
    ASSERT_TRUE(client);
    int served = 0;
    int failed = 0;
    while (!silentDone) {
        uint16_t value = 0;
        if (modbus_read_registers(client.get(), 99, 1, &value) == 1 && value == 4321)
            ++served;
        else
            ++failed;
    }
    silent.join();
    EXPECT_EQ(silentException, 0x0B);
    EXPECT_EQ(failed, 0);
    // Ten silent tries on one line against whole reads on the other.
    EXPECT_GE(served, 3);
}

TEST(Lines, EightClientsAtOnce) {
    TempDir dir;
    SimLine line = StartSimLine(kTwoPlcs, dir, "plant.int");
    Gateway gateway(dir, LineToml("north", line.port, 1, line.init) + UnitToml(1, "north", "P1") +
                             UnitToml(2, "north", "P2"));
    constexpr int kClients = 8;
    constexpr int kRounds = 2;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < kClients; ++c) {
        threads.emplace_back([&, c] {
            Client client = Connect(gateway.port(), 1 + c % 2);
            if (!client) {
                ++failures;
                return;
            }
            for (int round = 0; round < kRounds; ++round) {
                const auto value = static_cast<uint16_t>(1000 * c + round);
                uint16_t back = 0;
                if (modbus_write_register(client.get(), 10 + c, value) != 1 ||
                    modbus_read_registers(client.get(), 10 + c, 1, &back) != 1 || back != value)
                    ++failures;
            }
        });
    }
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(failures, 0);
    for (int c = 0; c < kClients; ++c)
        EXPECT_EQ(line.sim->Register(c % 2 == 0 ? "P1" : "P2", static_cast<size_t>(11 + c)),
                  1000 * c + kRounds - 1);
}

// Reads unit register 0 every 200 ms until it is answered or `wait` is over.
bool ReadsAgainWithin(modbus_t *client, std::chrono::seconds wait, uint16_t &value) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (std::chrono::steady_clock::now() < deadline) {
        if (modbus_read_registers(client, 0, 1, &value) == 1)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return false;
}

TEST(Lines, DeviceThatVanishesAndComesBack) {
    TempDir dir;
    SimLine line = StartSimLine(kTwoPlcs, dir, "plant.int");
    SimLine other = StartSimLine(kTwoPlcs, dir, "other.int");
    DeviceLink device(line.port);
    Gateway gateway(dir, LineToml("usb", device.path(), 1, line.init) +
                             LineToml("other", other.port, 2, other.init) +
                             UnitToml(1, "usb", "P1") + UnitToml(2, "other", "P1"));
    Client client = Connect(gateway.port(), 1);
    Client otherClient = Connect(gateway.port(), 2);
    ASSERT_TRUE(client && otherClient);
    uint16_t value = 0;
    ASSERT_EQ(modbus_read_registers(client.get(), 0, 1, &value), 1) << modbus_strerror(errno);

    // Unplugged: the pty and its name are gone.
    line.sim.reset();
    device.Remove();
    EXPECT_EQ(modbus_read_registers(client.get(), 0, 1, &value), -1);
    EXPECT_EQ(LastException(), 0x0B);
    EXPECT_EQ(modbus_read_registers(client.get(), 0, 1, &value), -1);
    EXPECT_EQ(LastException(), 0x0B);
    EXPECT_EQ(modbus_read_registers(otherClient.get(), 0, 1, &value), 1);

    // Plugged in again (as a new pty under the same name).
    SimLine back = StartSimLine(kTwoPlcs, dir, "plant.int");
    back.sim->SetRegister("P1", 1, 777);
    device.PointAt(back.port);
    EXPECT_TRUE(ReadsAgainWithin(client.get(), std::chrono::seconds(20), value));
    EXPECT_EQ(value, 777);
    const ChildResult result = gateway.Stop();
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_NE(result.err.find("warning [usb] line lost"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("[usb] line back"), std::string::npos) << result.err;
}

// status.json's first line once `done` accepts it, within `timeoutMs`; null when it never did.
Json LineStatusWhen(uint16_t httpPort, const std::function<bool(const Json &)> &done,
                    int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
        const HttpAnswer answer = HttpRequest(httpPort, "GET", "/status.json");
        const Json status = Json::parse(answer.body, nullptr, false);
        if (answer.status == 200 && !status.is_discarded() && done(status["lines"][0]))
            return status["lines"][0];
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return nullptr;
}

// The simulator restarted behind the same path while the line is open (a USB adapter
// replugged, a udev link re-pointed): the old pty hangs up and the path names a new one. The
// line goes down with a dated cause, then opens the new device once another program lets go
// of it.
TEST(Lines, DeviceReplacedWhileOpenIsReopened) {
    TempDir dir;
    SimLine line = StartSimLine(kTwoPlcs, dir, "plant.int");
    DeviceLink device(line.port);
    Gateway gateway(dir, HttpToml() + LineToml("usb", device.path(), 1, line.init) +
                             UnitToml(1, "usb", "P1"));
    Client client = Connect(gateway.port(), 1);
    ASSERT_TRUE(client);
    uint16_t value = 0;
    ASSERT_EQ(modbus_read_registers(client.get(), 0, 1, &value), 1) << modbus_strerror(errno);

    SimLine back = StartSimLine(kTwoPlcs, dir, "plant.int");
    back.sim->SetRegister("P1", 1, 777);
    // Held for a while, so that the line stays down long enough to be seen down.
    PortHolder holder(back.port, "holder");
    ASSERT_TRUE(holder.holding());
    line.sim.reset();
    device.PointAt(back.port);
    EXPECT_EQ(modbus_read_registers(client.get(), 0, 1, &value), -1);
    EXPECT_EQ(LastException(), 0x0B);
    const Json down = LineStatusWhen(
        gateway.httpPort(), [](const Json &l) { return l["state"] != "up"; }, 20000);
    ASSERT_FALSE(down.is_null()) << "the line stayed up on the old device";
    EXPECT_NE(down["last_error"].get<std::string>().find("line lost: " + device.path()),
              std::string::npos)
        << down;
    EXPECT_TRUE(std::regex_match(down["last_error_at"].get<std::string>(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")))
        << down;
    const HttpAnswer metrics = HttpRequest(gateway.httpPort(), "GET", "/metrics");
    EXPECT_NE(metrics.body.find("vpisd_line_up{line=\"usb\"} 0"), std::string::npos)
        << metrics.body;

    holder.Release();
    EXPECT_TRUE(ReadsAgainWithin(client.get(), std::chrono::seconds(30), value));
    EXPECT_EQ(value, 777);
    const ChildResult result = gateway.Stop();
    EXPECT_NE(result.err.find("warning [usb] line lost: " + device.path()), std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("[usb] line back"), std::string::npos) << result.err;
}

// A program whose name is not UTF-8 holds the line's port: status.json still answers, with the
// name's bytes shown escaped, and the gateway's own look at the port is not counted a holder.
TEST(Lines, PortHolderWithAnyNameIsNamedInStatusJson) {
    TempDir dir;
    SimLine line = StartSimLine(kTwoPlcs, dir, "plant.int");
    PortHolder holder(line.port, "\xff\xfeheld\x01");
    ASSERT_TRUE(holder.holding());
    Gateway gateway(dir, HttpToml() + LineToml("north", line.port, 1, line.init) +
                             UnitToml(1, "north", "P1"));
    const HttpAnswer answer = HttpRequest(gateway.httpPort(), "GET", "/status.json");
    ASSERT_EQ(answer.status, 200) << answer.body;
    const Json status = Json::parse(answer.body, nullptr, false);
    ASSERT_FALSE(status.is_discarded()) << answer.body;
    const std::string error = status["lines"][0]["last_error"].get<std::string>();
    // The simulator in this process keeps the pty open too: it is named with the holder.
    EXPECT_NE(error.find("process " + std::to_string(holder.pid()) + " (\\xff\\xfeheld\\x01)"),
              std::string::npos)
        << error;
    EXPECT_EQ(error.find("process " + std::to_string(gateway.process().pid())), std::string::npos)
        << error;
}

} // namespace
} // namespace vpisd::gateway::test
