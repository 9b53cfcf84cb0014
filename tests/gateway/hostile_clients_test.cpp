// The gateway under careless and hostile clients: sockets numbered past 1024, peers that leave
// mid-frame, no descriptors left, idle connections, refusal floods, odd function codes,
// half-closed clients and a stop during a long coil write.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "gateway_on_sim.h"

namespace vpisd::gateway::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// MBAP (transaction 1) and PDU for unit 1.
std::vector<uint8_t> Adu(std::vector<uint8_t> pdu) {
    std::vector<uint8_t> adu{0, 1, 0, 0, 0, static_cast<uint8_t>(pdu.size() + 1), 1};
    adu.insert(adu.end(), pdu.begin(), pdu.end());
    return adu;
}

TEST(HostileClients, SocketsNumberedPast1024AreServed) {
    OneLine net;
    rlimit before{};
    getrlimit(RLIMIT_NOFILE, &before);
    rlimit raised = before;
    raised.rlim_cur = std::min<rlim_t>(before.rlim_max, 4096);
    ASSERT_GE(raised.rlim_cur, 1200u) << "the hard limit leaves no room for the test";
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    // 1100 descriptors the gateway inherits, so that every socket it opens is numbered higher.
    std::vector<int> filler;
    const int null = open("/dev/null", O_RDONLY);
    for (int i = 0; i < 1100; ++i)
        filler.push_back(dup(null));
    close(null);
    std::unique_ptr<Gateway> gateway;
    try {
        ChildOptions inherit;
        inherit.inheritDescriptors = true;
        gateway = std::make_unique<Gateway>(net.dir, net.body, "max_clients = 1024\n", inherit);
    } catch (...) {
    }
    // The test's own clients wait with select(): they must stay below 1024.
    for (int fd : filler)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &before);
    ASSERT_TRUE(gateway);
    std::vector<Client> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(Connect(gateway->port(), 1));
        ASSERT_TRUE(clients.back());
        uint16_t value = 0;
        ASSERT_EQ(modbus_read_registers(clients.back().get(), 4, 1, &value), 1)
            << modbus_strerror(errno);
        EXPECT_EQ(value, 55);
    }
    EXPECT_GT(OpenDescriptors(gateway->process().pid()), 1100);
    const ChildResult result = gateway->Stop();
    EXPECT_EQ(result.exitCode, 0) << result.err;
}

// Each case runs for 5 s against an idle line; the gateway may not spend a core on it.
TEST(HostileClients, NoBusyLoop) {
    struct Case {
        const char *what;
        // Runs while the CPU time is measured; returns what the gateway must have logged.
        std::function<std::string(Gateway &, std::vector<std::unique_ptr<RawConnection>> &)> act;
    };
    const auto halfFrames = [](bool halfClose) {
        return [halfClose](Gateway &gateway, auto &) {
            for (int i = 0; i < 10; ++i) {
                RawConnection connection(gateway.port());
                connection.Send({0, 1, 0, 0, 0, 6, 1, 3});
                if (halfClose) {
                    shutdown(connection.fd(), SHUT_WR);
                    EXPECT_TRUE(connection.ClosedByPeer(1000));
                }
                std::this_thread::sleep_for(milliseconds(500));
            }
            return std::string("disconnected in the middle of a request");
        };
    };
    const Case cases[] = {
        {"closed with half a frame sent", halfFrames(false)},
        {"half-closed with half a frame sent", halfFrames(true)},
        {"out of descriptors at accept",
         [](Gateway &gateway, auto &connections) {
             const pid_t pid = gateway.process().pid();
             rlimit low{};
             prlimit(pid, RLIMIT_NOFILE, nullptr, &low);
             low.rlim_cur = static_cast<rlim_t>(OpenDescriptors(pid) + 4);
             EXPECT_EQ(prlimit(pid, RLIMIT_NOFILE, &low, nullptr), 0);
             for (int i = 0; i < 20; ++i)
                 connections.push_back(std::make_unique<RawConnection>(gateway.port()));
             std::this_thread::sleep_for(seconds(5));
             return std::string("cannot accept clients: Too many open files");
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        OneLine net;
        Gateway gateway(net.dir, net.body, "max_clients = 1024\n");
        std::vector<std::unique_ptr<RawConnection>> connections;
        const double before = CpuSeconds(gateway.process().pid());
        const std::string expected = c.act(gateway, connections);
        const double used = CpuSeconds(gateway.process().pid()) - before;
        EXPECT_LE(used, 0.1) << "CPU seconds over 5 s";
        ASSERT_TRUE(gateway.process().WaitForError(expected, 2000))
            << gateway.process().sofar().err;
        EXPECT_EQ(Occurrences(gateway.process().sofar().err, "cannot accept"),
                  expected.find("accept") != std::string::npos ? 1u : 0u);
        if (connections.empty())
            continue;
        // Descriptors free again: a client that waited is served.
        std::thread waiting([&] {
            Client client = Connect(gateway.port(), 1);
            uint16_t value = 0;
            EXPECT_TRUE(client && modbus_read_registers(client.get(), 4, 1, &value) == 1);
            EXPECT_EQ(value, 55);
        });
        std::this_thread::sleep_for(milliseconds(300));
        connections.clear();
        waiting.join();
        EXPECT_TRUE(gateway.process().WaitForError("descriptors free again", 5000));
    }
}

TEST(HostileClients, IdleConnectionsAreClosed) {
    OneLine net;
    Gateway gateway(net.dir, net.body, "idle_timeout_s = 1\n");
    RawConnection idle(gateway.port());
    Client busy = Connect(gateway.port(), 1);
    ASSERT_TRUE(busy);
    const auto until = std::chrono::steady_clock::now() + milliseconds(2500);
    while (std::chrono::steady_clock::now() < until) {
        uint16_t value = 0;
        ASSERT_EQ(modbus_read_registers(busy.get(), 4, 1, &value), 1) << modbus_strerror(errno);
        std::this_thread::sleep_for(milliseconds(300));
    }
    EXPECT_TRUE(idle.ClosedByPeer(100));
    EXPECT_TRUE(gateway.process().WaitForError("sent no request for 1 s; connection closed", 100));
}

TEST(HostileClients, AtTheLimitTheLongestIdleGivesWayAfterTenSeconds) {
    OneLine net;
    Gateway gateway(net.dir, net.body, "max_clients = 2\nidle_timeout_s = 0\n");
    RawConnection idle(gateway.port());
    Client busy = Connect(gateway.port(), 1);
    ASSERT_TRUE(busy);
    uint16_t value = 0;
    ASSERT_EQ(modbus_read_registers(busy.get(), 4, 1, &value), 1);
    RawConnection early(gateway.port()); // nobody idle for 10 s yet: refused
    EXPECT_TRUE(early.ClosedByPeer(2000));
    const auto until = std::chrono::steady_clock::now() + milliseconds(10500);
    while (std::chrono::steady_clock::now() < until) {
        ASSERT_EQ(modbus_read_registers(busy.get(), 4, 1, &value), 1);
        std::this_thread::sleep_for(milliseconds(500));
    }
    Client late = Connect(gateway.port(), 1);
    ASSERT_TRUE(late);
    EXPECT_EQ(modbus_read_registers(late.get(), 4, 1, &value), 1) << modbus_strerror(errno);
    EXPECT_TRUE(idle.ClosedByPeer(1000));
    EXPECT_EQ(modbus_read_registers(busy.get(), 4, 1, &value), 1);
    EXPECT_TRUE(gateway.process().WaitForError("closed to make room for a new client", 1000));
}

TEST(HostileClients, RefusalsAreLoggedOncePerAddressAndCounted) {
    OneLine net;
    Gateway gateway(net.dir, net.body, "allow = [\"10.0.0.0/8\"]\n");
    for (int i = 0; i < 1200; ++i) {
        RawConnection outsider(gateway.port());
        ASSERT_TRUE(outsider.ClosedByPeer(5000));
    }
    const ChildResult result = gateway.Stop();
    EXPECT_EQ(Occurrences(result.err, "refused 127.0.0.1:"), 1u) << result.err;
    EXPECT_EQ(Occurrences(result.err, "refused 1,199 more from 127.0.0.1 in the last minute"), 1u)
        << result.err;
}

TEST(HostileClients, ExceptionsCarryTheFunctionWithItsHighBit) {
    OneLine net;
    Gateway gateway(net.dir, net.body);
    const uint8_t functions[] = {0x07, 0x2B, 0x80, 0x83, 0x90, 0xFF};
    for (uint8_t function : functions) {
        SCOPED_TRACE(static_cast<int>(function));
        RawConnection connection(gateway.port());
        connection.Send(Adu({function, 0, 4, 0, 1}));
        const std::vector<uint8_t> expected{
            0, 1, 0, 0, 0, 3, 1, static_cast<uint8_t>(function | 0x80), 0x01};
        EXPECT_EQ(connection.Receive(expected.size(), 2000), expected);
    }
}

TEST(HostileClients, HalfClosedClientGetsItsAnswer) {
    OneLine net;
    net.line.sim->Control("fault P1 any delay 50 count=1"); // the answer comes after the FIN
    Gateway gateway(net.dir, net.body);
    RawConnection connection(gateway.port());
    connection.Send(Adu({0x03, 0, 4, 0, 1}));
    shutdown(connection.fd(), SHUT_WR);
    const std::vector<uint8_t> expected{0, 1, 0, 0, 0, 5, 1, 0x03, 2, 0, 55};
    EXPECT_EQ(connection.Receive(expected.size() + 1, 5000), expected);
    EXPECT_TRUE(connection.ClosedByPeer(1000));
}

// 20 coils from 16k+5 are 20 bit writes; the stop lets one finish and answers 06.
TEST(HostileClients, StopEndsALongCoilWriteAfterTheTransactionInProgress) {
    OneLine net("timeout_ms = 2000\n");
    net.line.sim->Control("fault P1 any delay 300");
    Gateway gateway(net.dir, net.body);
    Client client = Connect(gateway.port(), 1);
    ASSERT_TRUE(client);
    std::vector<uint8_t> pdu{0x0F, 0, 16 * 10 + 5, 0, 20, 3, 0xFF, 0xFF, 0x0F};
    std::vector<uint8_t> request{1};
    request.insert(request.end(), pdu.begin(), pdu.end());
    ASSERT_GT(
        modbus_send_raw_request(client.get(), request.data(), static_cast<int>(request.size())), 0);
    const auto deadline = std::chrono::steady_clock::now() + seconds(5);
    while (net.line.sim->GetStats().Get("masked_writes") == 0 &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(10));
    gateway.process().Signal(SIGTERM);
    uint8_t answer[MODBUS_TCP_MAX_ADU_LENGTH];
    ASSERT_EQ(modbus_receive_confirmation(client.get(), answer), 9) << modbus_strerror(errno);
    EXPECT_EQ(answer[7], 0x8F);
    EXPECT_EQ(answer[8], MODBUS_EXCEPTION_SLAVE_OR_SERVER_BUSY);
    const ChildResult result = gateway.process().Finish(20000);
    EXPECT_EQ(result.exitCode, 0);
    const uint64_t written = net.line.sim->GetStats().Get("masked_writes");
    EXPECT_GE(written, 1u);
    EXPECT_LE(written, 2u);
    // What was written stays written; nothing past it.
    EXPECT_EQ(net.line.sim->Register("P1", 11) & 0x0020, 0x0020);
    EXPECT_EQ(net.line.sim->Register("P1", 12), 0);
}

} // namespace
} // namespace vpisd::gateway::test
