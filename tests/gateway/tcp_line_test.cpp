// Lines behind a terminal server: socat serves the simulator's pty on a loopback TCP port, and
// both hosts reach it as port "tcp:127.0.0.1:PORT".
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "gateway_on_sim.h"
#include "support/free_port.h"

namespace vpisd::gateway::test {
namespace {

using Clock = std::chrono::steady_clock;

using vpisd::test::FreePort;

// socat as the terminal server of one pty; it serves one connection and is killed at the end.
std::unique_ptr<ChildProcess> ServePty(const std::string &pty, uint16_t port) {
    auto socat = std::make_unique<ChildProcess>(
        "socat",
        std::vector<std::string>{"TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr",
                                 "FILE:" + pty + ",rawer"});
    vpisd::test::WaitForListener(port, 5000);
    return socat;
}

TEST(TcpLine, CliReadsThroughATerminalServer) {
    TempDir dir;
    SimLine line = StartSimLine(kTwoPlcs, dir, "plant.int");
    line.sim->SetRegister("P2", 42, 4242);
    const uint16_t port = FreePort();
    auto socat = ServePty(line.port, port);
    const ChildResult cli = RunChild(VPISD_CLI_PATH, {"--lib", VPISD_LIBRARY_PATH, "--port",
                                                      "tcp:127.0.0.1:" + std::to_string(port),
                                                      "--init", line.init, "read", "P20042"});
    EXPECT_EQ(cli.exitCode, 0) << cli.err;
    EXPECT_NE(cli.out.find("P20042 = 4242"), std::string::npos) << cli.out;
}

TEST(TcpLine, GatewayReconnectsWhenTheTcpSideDrops) {
    TempDir dir;
    SimLine line = StartSimLine(kTwoPlcs, dir, "plant.int");
    line.sim->SetRegister("P1", 7, 77);
    const uint16_t port = FreePort();
    auto socat = ServePty(line.port, port);
    Gateway gateway(dir, LineToml("remote", "tcp:127.0.0.1:" + std::to_string(port), 1, line.init) +
                             UnitToml(1, "remote", "P1"));
    Client client = Connect(gateway.port(), 1);
    ASSERT_TRUE(client);
    uint16_t value = 0;
    ASSERT_EQ(modbus_read_registers(client.get(), 6, 1, &value), 1) << modbus_strerror(errno);
    EXPECT_EQ(value, 77);

    socat.reset(); // the terminal server goes away
    ASSERT_TRUE(gateway.process().WaitForError("lost the connection", 5000));
    EXPECT_EQ(modbus_read_registers(client.get(), 6, 1, &value), -1);
    EXPECT_EQ(LastException(), 0x0B);

    socat = ServePty(line.port, port);
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    bool served = false;
    while (!served && Clock::now() < deadline) {
        served = modbus_read_registers(client.get(), 6, 1, &value) == 1;
        if (!served)
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    EXPECT_TRUE(served);
    EXPECT_EQ(value, 77);
}

} // namespace
} // namespace vpisd::gateway::test
