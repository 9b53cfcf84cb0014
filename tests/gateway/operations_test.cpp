// Running the gateway: stopping on SIGTERM, statistics on SIGUSR1, who may connect, bad input
// from the network, port failures named by their cause once, and the log level.
#include <gtest/gtest.h>
#include <sys/file.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>

#include "gateway_on_sim.h"

namespace vpisd::gateway::test {
namespace {

TEST(Operations, SigtermFinishesTheTransactionAndClosesEveryVpi) {
    OneLine net;
    net.line.sim->SetRegister("P1", 5, 55);
    net.line.sim->Control("fault P1 any delay 800 count=1");
    Gateway gateway(net.dir, net.body);
    Client client = Connect(gateway.port(), 1);
    ASSERT_TRUE(client);
    const uint8_t read[] = {1, 0x03, 0, 4, 0, 1};
    ASSERT_GT(modbus_send_raw_request(client.get(), read, sizeof read), 0);
    // Stop once the request is on the line and its reply held up.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (net.line.sim->GetStats().Get("frames") == 0 &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    gateway.process().Signal(SIGTERM);
    uint16_t answer[MODBUS_TCP_MAX_ADU_LENGTH / 2];
    ASSERT_EQ(modbus_receive_confirmation(client.get(), reinterpret_cast<uint8_t *>(answer)), 11)
        << modbus_strerror(errno);
    const ChildResult result = gateway.process().Finish(20000);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_NE(result.err.find("statistics: unit 1 (P1): requests 1 ok 1"), std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("stopped; every VPI closed"), std::string::npos);
    // The port is free again: the CLI can open it (opens are exclusive).
    const ChildResult cli =
        RunChild(VPISD_CLI_PATH, {"--lib", VPISD_LIBRARY_PATH, "--port", net.line.port, "--init",
                                  net.line.init, "read", "P10005"});
    EXPECT_EQ(cli.exitCode, 0) << cli.err;
    EXPECT_NE(cli.out.find("55"), std::string::npos);
}

TEST(Operations, Sigusr1ReportsPerLineAndUnit) {
    OneLine net;
    Gateway gateway(net.dir, net.body);
    Client client = Connect(gateway.port(), 1);
    ASSERT_TRUE(client);
    uint16_t value = 0;
    ASSERT_EQ(modbus_read_registers(client.get(), 0, 1, &value), 1);
    modbus_set_slave(client.get(), 9);
    EXPECT_EQ(modbus_read_registers(client.get(), 0, 1, &value), -1);
    gateway.process().Signal(SIGUSR1);
    EXPECT_TRUE(gateway.process().WaitForError("unknown units", 5000));
    const std::string err = gateway.process().sofar().err;
    EXPECT_NE(err.find("notice [north] statistics: line: requests 1 ok 1 refused 0 no_answer 0 "
                       "busy 0 rejected 0 median_ms"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("statistics: unknown units: requests 1 ok 0 refused 0 no_answer 0 busy 0 "
                       "rejected 1"),
              std::string::npos)
        << err;
}

TEST(Operations, ClientsOutsideTheAllowListOrOverTheLimitAreRefused) {
    OneLine net;
    {
        Gateway gateway(net.dir, net.body, "allow = [\"10.0.0.0/8\"]\n");
        RawConnection outsider(gateway.port());
        ASSERT_TRUE(outsider.connected());
        EXPECT_TRUE(outsider.ClosedByPeer(5000));
        EXPECT_TRUE(gateway.process().WaitForError("refused 127.0.0.1", 5000));
    }
    Gateway gateway(net.dir, net.body, "max_clients = 1\n");
    Client first = Connect(gateway.port(), 1);
    ASSERT_TRUE(first);
    uint16_t value = 0;
    ASSERT_EQ(modbus_read_registers(first.get(), 0, 1, &value), 1);
    RawConnection second(gateway.port());
    EXPECT_TRUE(second.ClosedByPeer(5000));
    EXPECT_EQ(modbus_read_registers(first.get(), 0, 1, &value), 1);
}

TEST(Operations, BadInputClosesOnlyThatConnection) {
    OneLine net;
    Gateway gateway(net.dir, net.body);
    struct Case {
        const char *what;
        std::vector<uint8_t> bytes;
        bool closes; // else: nothing happens, the gateway waits for the rest
    };
    const Case cases[] = {
        {"protocol identifier not 0", {0, 1, 0, 7, 0, 6, 1, 3, 0, 0, 0, 1}, true},
        {"length 0", {0, 1, 0, 0, 0, 0, 1}, true},
        {"length past the largest frame", {0, 1, 0, 0, 0x10, 0, 1, 3}, true},
        {"half a request", {0, 1, 0, 0, 0, 6, 1, 3}, false},
        {"nothing at all", {}, false},
    };
    std::vector<std::unique_ptr<RawConnection>> left;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        auto connection = std::make_unique<RawConnection>(gateway.port());
        ASSERT_TRUE(connection->connected());
        connection->Send(c.bytes);
        EXPECT_EQ(connection->ClosedByPeer(c.closes ? 5000 : 300), c.closes);
        left.push_back(std::move(connection));
    }
    // Half requests still pending, a client that vanishes mid-request: others are served.
    left.back()->Send({0, 9, 0, 0, 0, 6, 1});
    left.pop_back();
    Client client = Connect(gateway.port(), 1);
    ASSERT_TRUE(client);
    uint16_t value = 0;
    EXPECT_EQ(modbus_read_registers(client.get(), 0, 1, &value), 1) << modbus_strerror(errno);
    // A request that never finishes costs its connection after a while, not the gateway.
    EXPECT_TRUE(left[3]->ClosedByPeer(10000));
    EXPECT_EQ(modbus_read_registers(client.get(), 0, 1, &value), 1);
    const ChildResult result = gateway.Stop();
    EXPECT_EQ(result.exitCode, 0);
}

TEST(PortFailure, EachCauseIsLoggedOnceWithTheDriversLine) {
    TempDir dir;
    SimLine held = StartSimLine(kTwoPlcs, dir, "held.int");
    // The test holds the device as another program would.
    const int holder = open(held.port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    struct Case {
        std::string port;
        std::string cause;
        size_t driverLines; // the driver is not asked to open a device that is not there
    };
    const Case cases[] = {
        {"ttyNOSUCH", "cannot open ttyNOSUCH: no such device /dev/ttyNOSUCH", 0},
        {held.port, "is in use by process " + std::to_string(getpid()), 1},
    };
    for (const auto &[port, cause, driverLines] : cases) {
        Gateway gateway(dir, LineToml("north", port, 1, held.init) + UnitToml(1, "north", "P1"));
        // Several retries (250 ms, then 500, 1000, 2000) go by.
        std::this_thread::sleep_for(std::chrono::milliseconds(4000));
        const ChildResult result = gateway.Stop();
        EXPECT_EQ(Occurrences(result.err, cause), 1U) << result.err;
        EXPECT_EQ(Occurrences(result.err, "Fail to open"), driverLines) << result.err;
    }
    close(holder);
}

TEST(LogLevel, EachLevelLeavesOutTheOnesBelowIt) {
    TempDir dir;
    SimLine north = StartSimLine(kTwoPlcs, dir, "north.int");
    const std::string config =
        dir.Write("gateway.toml", GatewayToml(LineToml("north", north.port, 1, north.init) +
                                              UnitToml(1, "north", "P1")));
    const std::pair<std::string, bool> cases[] = {{"info", true}, {"notice", false}};
    for (const auto &[level, infoShown] : cases) {
        ChildProcess gateway(VPISD_GATEWAY_PATH, {"--config", config, "--lib", VPISD_LIBRARY_PATH,
                                                  "--log-level", level});
        ASSERT_TRUE(gateway.WaitForError("notice listening on", 10000)) << gateway.sofar().err;
        std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the line opens
        gateway.Signal(SIGTERM);
        const ChildResult result = gateway.Finish(20000);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.err.find(" info ") != std::string::npos, infoShown) << result.err;
        EXPECT_NE(result.err.find("notice stopped; every VPI closed"), std::string::npos);
    }
}

} // namespace
} // namespace vpisd::gateway::test
