// The gateway as a systemd service: the notify messages (ready, status, watchdog, reloading,
// stopping), the watchdog kept through a slow transaction, and the configuration as the
// package installs it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "gateway_on_sim.h"

namespace vpisd::gateway::test {
namespace {

TEST(Notify, ReadyStatusWatchdogReloadingStopping) {
    const OneLine north;
    const TempDir &dir = north.dir;
    const std::string &body = north.body;
    NotifySocket notify(dir);
    ChildOptions options;
    options.env = {"NOTIFY_SOCKET=" + notify.path(), "WATCHDOG_USEC=600000"};
    Gateway gateway(dir, body, "", options);
    const std::string ready = notify.WaitFor("READY=1", 10000);
    EXPECT_NE(ready, "");
    EXPECT_NE(notify.WaitFor("STATUS=1 line up, 0 down, 0 Modbus clients", 5000), "");
    EXPECT_NE(notify.WaitFor("WATCHDOG=1", 2000), "");
    Client client = Connect(gateway.port(), 1);
    ASSERT_TRUE(client);
    EXPECT_NE(notify.WaitFor("STATUS=1 line up, 0 down, 1 Modbus clients", 5000), "");
    dir.Write("gateway.toml", GatewayToml(body));
    gateway.process().Signal(SIGHUP);
    const std::string reload = notify.WaitFor("READY=1", 10000);
    EXPECT_NE(reload.find("RELOADING=1"), std::string::npos) << reload;
    gateway.process().Signal(SIGTERM);
    EXPECT_NE(notify.WaitFor("STOPPING=1", 10000), "");
}

// /etc/vpisd/gateway.toml as the package installs it has no [[line]]: it checks good, and the
// service runs, serves nothing, names the file to edit in its log and its status, and serves
// the line added there at the next reload.
TEST(Notify, TheInstalledConfigurationServesNothingUntilALineIsAdded) {
    const OneLine north;
    const TempDir &dir = north.dir;
    std::ifstream file(VPISD_INSTALLED_CONFIG);
    std::stringstream installed;
    installed << file.rdbuf();
    ASSERT_NE(installed.str(), "") << VPISD_INSTALLED_CONFIG;
    const std::string path = dir.Write("gateway.toml", installed.str());
    const ChildResult check =
        RunChild(VPISD_GATEWAY_PATH, {"--config", path, "--lib", VPISD_LIBRARY_PATH, "--check"});
    EXPECT_EQ(check.exitCode, 0) << check.err;
    EXPECT_NE(check.out.find(": 0 lines, 0 units, good; no [[line]]"), std::string::npos)
        << check.out;

    NotifySocket notify(dir);
    ChildOptions options;
    options.env = {"NOTIFY_SOCKET=" + notify.path(), "WATCHDOG_USEC=600000"};
    ChildProcess gateway(VPISD_GATEWAY_PATH, {"--config", path, "--lib", VPISD_LIBRARY_PATH},
                         options);
    EXPECT_NE(notify.WaitFor("READY=1", 10000), "") << gateway.sofar().err;
    EXPECT_NE(notify.WaitFor("STATUS=no [[line]] configured: edit " + path, 5000), "");
    // With no line to make progress the watchdog is still kicked: systemd does not restart it.
    EXPECT_NE(notify.WaitFor("WATCHDOG=1", 2000), "");
    EXPECT_TRUE(gateway.WaitForError("no [[line]] configured: nothing is served; add a [[line]] "
                                     "and its [[unit]]s to " +
                                         path + ", then reload",
                                     5000))
        << gateway.sofar().err;

    dir.Write("gateway.toml", installed.str() + GatewayToml(north.body));
    gateway.Signal(SIGHUP);
    ASSERT_TRUE(gateway.WaitForError("0 lines kept, 1 started, 0 stopped, 1 units", 15000))
        << gateway.sofar().err;
    const std::string log = gateway.sofar().err;
    std::smatch port;
    ASSERT_TRUE(std::regex_search(log, port, std::regex("listening on 127\\.0\\.0\\.1:([0-9]+)")))
        << log;
    Client client = Connect(static_cast<uint16_t>(std::stoi(port[1])), 1);
    ASSERT_TRUE(client);
    uint16_t value = 1;
    EXPECT_EQ(modbus_read_registers(client.get(), 0, 1, &value), 1) << modbus_strerror(errno);
    gateway.Signal(SIGTERM);
    const ChildResult result = gateway.Finish(15000);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(Occurrences(result.err, "nothing is served"), 1U) << result.err;
}

// Slow, but alive: the watchdog is kicked all along, and the worker is not called stuck.
TEST(Notify, WatchdogKeepsComingThroughASlowTransaction) {
    TempDir dir;
    const SimLine routes = StartSimLine(kTwoPlcs, dir, "north.int"); // for its init file
    const SilentPty silent;
    ASSERT_FALSE(silent.path().empty());
    NotifySocket notify(dir);
    ChildOptions options;
    options.env = {"NOTIFY_SOCKET=" + notify.path(), "WATCHDOG_USEC=3000000"};
    Gateway gateway(dir,
                    LineToml("north", silent.path(), 1, routes.init, "timeout_ms = 1000\n") +
                        UnitToml(1, "north", "P1"),
                    "", options);
    ASSERT_NE(notify.WaitFor("READY=1", 10000), "");
    const auto began = std::chrono::steady_clock::now();
    std::atomic<bool> answered{false};
    std::thread reader([&] {
        Client client = Connect(gateway.port(), 1, 120000);
        uint16_t value = 0;
        if (client)
            modbus_read_registers(client.get(), 0, 1, &value);
        answered = true;
    });
    // Every gap between two kicks stays under the 3 s the service manager would allow.
    size_t kicks = 0;
    while (!answered && std::chrono::steady_clock::now() - began < std::chrono::seconds(120)) {
        if (notify.WaitFor("WATCHDOG=1", 3000).empty())
            break;
        ++kicks;
    }
    const bool kept = answered;
    reader.join();
    const auto took = std::chrono::steady_clock::now() - began;
    EXPECT_TRUE(kept) << "a gap of 3 s without WATCHDOG=1 after " << kicks << " kicks";
    std::printf("the silent transaction took %.1f s\n",
                std::chrono::duration<double>(took).count());
    const ChildResult result = gateway.Stop();
    EXPECT_EQ(result.err.find("stuck"), std::string::npos) << result.err;
}

} // namespace
} // namespace vpisd::gateway::test
