// SIGHUP reloads without dropping what did not change: lines, units, the [gateway] keys and the
// faces each take their part, a file with problems changes nothing, and a line held up in a
// long transaction holds up no reload.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "gateway_on_sim.h"
#include "support/free_port.h"

namespace vpisd::gateway::test {
namespace {

// OneLine with a gateway serving it and a client of unit 1.
struct NorthServed : OneLine {
    Gateway gateway{dir, body};
    Client client = Connect(gateway.port(), 1);
};

// Rewrites the file and sends SIGHUP; true once the gateway logged `outcome`.
bool Reload(Gateway &gateway, const TempDir &dir, const std::string &body,
            const std::string &outcome) {
    dir.Write("gateway.toml", GatewayToml(body));
    gateway.process().Signal(SIGHUP);
    return gateway.process().WaitForError(outcome, 15000);
}

// Started from its configuration's folder as `--config gateway.toml`, with the init file named
// relative to it: every reload still reads both, though the process works elsewhere.
TEST(Reload, RelativeConfigReloadsFromTheFolderItStartedIn) {
    OneLine net;
    const std::string relative = LineToml("north", net.line.port, 1, "plant.int");
    ChildOptions options;
    options.cwd = net.dir.path();
    Gateway gateway(net.dir, relative + UnitToml(1, "north", "P1"), "", options);
    ASSERT_TRUE(Reload(gateway, net.dir, relative + UnitToml(2, "north", "P2"), "reloaded "))
        << gateway.process().sofar().err;
    Client client = Connect(gateway.port(), 2);
    uint16_t value = 0;
    EXPECT_EQ(modbus_read_registers(client.get(), 0, 1, &value), 1)
        << gateway.process().sofar().err;
    EXPECT_EQ(Occurrences(gateway.process().sofar().err, "cannot read"), 0U)
        << gateway.process().sofar().err;
}

TEST(Reload, KeepsUnchangedLinesAndTheirClientsStartsAndStopsTheOthers) {
    TempDir dir;
    SimLine north = StartSimLine(kTwoPlcs, dir, "north.int");
    SimLine south = StartSimLine(kTwoPlcs, dir, "south.int");
    north.sim->SetRegister("P1", 1, 11);
    south.sim->SetRegister("P2", 1, 22);
    const std::string northLine = LineToml("north", north.port, 1, north.init);
    const std::string southLine = LineToml("south", south.port, 2, south.init);
    Gateway gateway(dir, northLine + UnitToml(1, "north", "P1"));
    Client client = Connect(gateway.port(), 1);
    ASSERT_TRUE(client);
    uint16_t value = 0;
    ASSERT_EQ(modbus_read_registers(client.get(), 0, 1, &value), 1);

    struct Step {
        std::string body;
        std::string logged;
        int unit;
        uint16_t expect; // 0: the unit is gone
    };
    const Step steps[] = {
        {northLine + southLine + UnitToml(1, "north", "P1") + UnitToml(2, "south", "P2"),
         "1 lines kept, 1 started, 0 stopped, 2 units", 2, 22},
        {southLine + UnitToml(2, "south", "P2"), "1 lines kept, 0 started, 1 stopped, 1 units", 2,
         22},
        // A changed line gives its port back before its successor opens it.
        {LineToml("south", south.port, 2, south.init, "timeout_ms = 200\n") +
             UnitToml(2, "south", "P2"),
         "0 lines kept, 1 started, 1 stopped, 1 units", 2, 22},
    };
    for (const Step &step : steps) {
        ASSERT_TRUE(Reload(gateway, dir, step.body, step.logged)) << gateway.process().sofar().err;
        // The same connection, never reconnected, reaches the new map.
        modbus_set_slave(client.get(), step.unit);
        ASSERT_EQ(modbus_read_registers(client.get(), 0, 1, &value), 1) << modbus_strerror(errno);
        EXPECT_EQ(value, step.expect);
        if (&step == &steps[0]) {
            modbus_set_slave(client.get(), 1);
            ASSERT_EQ(modbus_read_registers(client.get(), 0, 1, &value), 1);
            EXPECT_EQ(value, 11);
            // north kept its worker: its counters run on from before the reload.
            gateway.process().Signal(SIGUSR1);
            ASSERT_TRUE(gateway.process().WaitForError("[north] statistics: line time", 5000));
            EXPECT_NE(gateway.process().sofar().err.find(
                          "[north] statistics: line time: transactions 2 "),
                      std::string::npos)
                << gateway.process().sofar().err;
        }
    }
    modbus_set_slave(client.get(), 1);
    EXPECT_EQ(modbus_read_registers(client.get(), 0, 1, &value), -1);
    EXPECT_NE(LastException(), 0);
    const ChildResult result = gateway.Stop();
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(Occurrences(result.err, "VPI 1 started"), 1U) << result.err;
}

TEST(Reload, AConfigWithProblemsChangesNothing) {
    NorthServed north;
    const TempDir &dir = north.dir;
    const std::string &body = north.body;
    Gateway &gateway = north.gateway;
    const Client &client = north.client;
    ASSERT_TRUE(client);
    const std::pair<std::string, std::string> cases[] = {
        {body + UnitToml(2, "nowhere", "P1"), "no [[line]] is named \"nowhere\""},
        {body + UnitToml(2, "north", "P9"), "\"P9\" is not a PLC of line \"north\""},
        {"[[line]\n", "syntax"},
    };
    for (const auto &[text, problem] : cases) {
        ASSERT_TRUE(Reload(gateway, dir, text, problem)) << gateway.process().sofar().err;
        uint16_t value = 0;
        EXPECT_EQ(modbus_read_registers(client.get(), 0, 1, &value), 1) << text;
    }
    // A file with a problem of its own and an unknown PLC: the reload names both, each as
    // --check names it.
    const std::string both = body + UnitToml(2, "north", "P9") + "[[unit]]\nid = 300\n";
    ASSERT_TRUE(Reload(gateway, dir, both, "3 problems; nothing changed"))
        << gateway.process().sofar().err;
    const ChildResult check =
        RunChild(VPISD_GATEWAY_PATH, {"--config", dir.path() + "/gateway.toml", "--lib",
                                      VPISD_LIBRARY_PATH, "--check"});
    EXPECT_EQ(check.exitCode, 2) << check.err;
    std::istringstream checkLines(check.err);
    size_t named = 0;
    for (std::string line; std::getline(checkLines, line);) {
        ++named;
        EXPECT_NE(gateway.process().sofar().err.find("error " + line), std::string::npos)
            << line << "\n"
            << gateway.process().sofar().err;
    }
    EXPECT_EQ(named, 3U) << check.err;
    const ChildResult result = gateway.Stop();
    EXPECT_EQ(Occurrences(result.err, "; nothing changed"), std::size(cases) + 1) << result.err;
    EXPECT_EQ(Occurrences(result.err, "VPI 1 started"), 1U) << result.err;
}

// [http] follows the file, the Modbus connection staying: added, its allow-list changed (the
// endpoint restarts on the same port), moved, removed, added back on its old port. Each time
// the port the file names answers and the one it no longer names is given back.
TEST(Reload, HttpTableTakesEffect) {
    NorthServed north;
    const TempDir &dir = north.dir;
    const std::string &body = north.body;
    Gateway &gateway = north.gateway;
    const Client &client = north.client;
    ASSERT_TRUE(client);
    const uint16_t first = vpisd::test::FreePort();
    const uint16_t second = vpisd::test::FreePort();
    const auto http = [](uint16_t port, const std::string &allow) {
        return "[http]\nlisten = \"127.0.0.1:" + std::to_string(port) + "\"\nallow = [\"" + allow +
               "\"]\n\n";
    };
    struct Step {
        const char *what;
        std::string table;
        uint16_t served; // 0: none
        uint16_t free;   // a port that nobody may answer on
    };
    const Step steps[] = {
        {"added", http(first, "127.0.0.0/8"), first, second},
        {"allow changed", http(first, "127.0.0.1/32"), first, second},
        {"moved", http(second, "127.0.0.1/32"), second, first},
        {"removed", "", 0, second},
        {"added back", http(second, "127.0.0.0/8"), second, first},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.what);
        const size_t from = gateway.process().errorSize();
        dir.Write("gateway.toml", GatewayToml(step.table + body));
        gateway.process().Signal(SIGHUP);
        ASSERT_TRUE(gateway.process().WaitForErrorFrom(from, "reloaded ", 15000))
            << gateway.process().sofar().err;
        EXPECT_EQ(gateway.process().sofar().err.find(" is down: ", from), std::string::npos)
            << gateway.process().sofar().err.substr(from);
        if (step.served != 0) {
            const HttpAnswer served = HttpRequest(step.served, "GET", "/metrics");
            EXPECT_EQ(served.status, 200);
            EXPECT_NE(served.body.find("vpisd_line_up{line=\"north\"}"), std::string::npos)
                << served.body;
        }
        EXPECT_EQ(HttpRequest(step.free, "GET", "/metrics", 2000).status, 0);
    }
    uint16_t value = 0;
    EXPECT_EQ(modbus_read_registers(client.get(), 0, 1, &value), 1);
}

// A face the file asks for that cannot start: the reload is logged as an error that names it
// down and why, status.json shows it not connected with that reason while --check finds the
// file good, and the next reload starts it once it can.
TEST(Reload, AFaceThatCannotStartIsLoggedDownAndShownSo) {
    NorthServed north;
    const TempDir &dir = north.dir;
    Gateway &gateway = north.gateway;
    const uint16_t httpPort = vpisd::test::FreePort();
    const uint16_t taken = vpisd::test::FreePort();
    const std::string emptyPassword = dir.Write("mqtt-password", "");
    const std::string mqtt =
        "[mqtt]\nbroker = \"127.0.0.1:" + std::to_string(vpisd::test::FreePort()) +
        "\"\nusername = \"gw\"\npassword_file = \"" + emptyPassword + "\"\n\n";
    const auto http = [](uint16_t port) {
        return "[http]\nlisten = \"127.0.0.1:" + std::to_string(port) + "\"\n\n";
    };
    const auto reload = [&](const std::string &text, const std::string &logged) {
        const size_t from = gateway.process().errorSize();
        dir.Write("gateway.toml", GatewayToml(text + north.body));
        gateway.process().Signal(SIGHUP);
        return gateway.process().WaitForErrorFrom(from, logged, 15000);
    };
    const std::string cannotRead =
        "MQTT is down: cannot read the MQTT password from " + emptyPassword;
    ASSERT_TRUE(reload(http(httpPort) + mqtt, "error reloaded ")) << gateway.process().sofar().err;
    EXPECT_TRUE(gateway.process().WaitForError(cannotRead, 100)) << gateway.process().sofar().err;
    const HttpAnswer status = HttpRequest(httpPort, "GET", "/status.json");
    const nlohmann::json shown = nlohmann::json::parse(status.body, nullptr, false);
    ASSERT_TRUE(shown.is_object()) << status.body;
    EXPECT_EQ(shown["mqtt"]["connected"], false) << status.body;
    EXPECT_NE(shown["mqtt"]["last_error"].get<std::string>().find("cannot read the MQTT password"),
              std::string::npos)
        << status.body;
    const ChildResult check =
        RunChild(VPISD_GATEWAY_PATH, {"--config", dir.path() + "/gateway.toml", "--lib",
                                      VPISD_LIBRARY_PATH, "--check"});
    EXPECT_EQ(check.exitCode, 0) << check.err;
    EXPECT_NE(check.out.find("MQTT"), std::string::npos) << check.out;

    // Its port held by another program: the endpoint is down, and its old port given back.
    const int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(taken);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(holder, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    ASSERT_TRUE(reload(http(taken), "HTTP is down: cannot listen for HTTP on 127.0.0.1:" +
                                        std::to_string(taken) + ": Address already in use"))
        << gateway.process().sofar().err;
    EXPECT_EQ(HttpRequest(httpPort, "GET", "/metrics", 2000).status, 0);
    close(holder);
    ASSERT_TRUE(reload(http(taken), "reloaded ")) << gateway.process().sofar().err;
    EXPECT_EQ(HttpRequest(taken, "GET", "/metrics").status, 200);
    const ChildResult result = gateway.Stop();
    EXPECT_EQ(Occurrences(result.err, "error reloaded "), 2U) << result.err;
    EXPECT_EQ(Occurrences(result.err, "notice reloaded "), 1U) << result.err;
}

// [gateway] changes: each closes only the connections it concerns.
TEST(Reload, GatewayKeysTakeEffectOnTheOpenConnections) {
    const OneLine north;
    const TempDir &dir = north.dir;
    const std::string &body = north.body;
    const uint16_t moved = vpisd::test::FreePort();
    struct Case {
        std::string serverKeys;
        bool closed;    // the open connection is closed by the reload
        int writeError; // the exception a write gets afterwards on a connection, 0 none
        uint16_t port;  // where new clients go (0: where the gateway listened first)
    };
    const Case cases[] = {
        {"read_only = true\n", false, MODBUS_EXCEPTION_ILLEGAL_FUNCTION, 0},
        {"allow = [\"10.0.0.0/8\"]\n", true, -1, 0},
        {"listen = \"127.0.0.1:" + std::to_string(moved) + "\"\n", true, 0, moved},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.serverKeys);
        Gateway gateway(dir, body);
        const RawConnection open(gateway.port());
        ASSERT_TRUE(open.connected());
        const bool listen = c.serverKeys.starts_with("listen");
        dir.Write("gateway.toml", "[gateway]\n" +
                                      std::string(listen ? "" : "listen = \"127.0.0.1:0\"\n") +
                                      c.serverKeys + body);
        gateway.process().Signal(SIGHUP);
        ASSERT_TRUE(gateway.process().WaitForError("notice reloaded ", 10000))
            << gateway.process().sofar().err;
        EXPECT_EQ(open.ClosedByPeer(1000), c.closed);
        Client client = Connect(c.port != 0 ? c.port : gateway.port(), 1, 2000);
        const uint16_t value = 5;
        const int written = client ? modbus_write_register(client.get(), 0, value) : -1;
        if (c.writeError < 0) {
            EXPECT_EQ(written, -1); // closed at accept: nothing answered
        } else if (c.writeError == 0) {
            EXPECT_EQ(written, 1) << modbus_strerror(errno);
        } else {
            EXPECT_EQ(written, -1);
            EXPECT_EQ(LastException(), c.writeError);
        }
    }
}

// A reload that changes a line while its worker is in such a transaction is done at once: the
// old worker finishes the transaction on its own thread and answers it.
TEST(Reload, AChangedLineInALongTransactionHoldsUpNothing) {
    TempDir dir;
    const SimLine routes = StartSimLine(kTwoPlcs, dir, "north.int");
    const SilentPty silent;
    ASSERT_FALSE(silent.path().empty());
    const auto body = [&](const char *timeout) {
        return LineToml("north", silent.path(), 1, routes.init, timeout) +
               UnitToml(1, "north", "P1");
    };
    Gateway gateway(dir, body("timeout_ms = 1000\n"));
    std::atomic<int> exception{-1};
    std::thread reader([&] {
        Client client = Connect(gateway.port(), 1, 120000);
        uint16_t value = 0;
        if (client && modbus_read_registers(client.get(), 0, 1, &value) == -1)
            exception = LastException();
    });
    std::this_thread::sleep_for(std::chrono::seconds(2)); // the read is on the line
    const auto began = std::chrono::steady_clock::now();
    EXPECT_TRUE(
        Reload(gateway, dir, body("timeout_ms = 900\n"), "0 lines kept, 1 started, 1 stopped"))
        << "the reload waits for the transaction\n"
        << gateway.process().sofar().err;
    std::printf("reloaded in %.1f s beside a silent transaction\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());
    reader.join();
    EXPECT_EQ(exception, 0x0B);
    EXPECT_EQ(gateway.Stop().exitCode, 0);
}

} // namespace
} // namespace vpisd::gateway::test
