// The Modbus side under floods and odd pacing: pipelined requests beyond the queue, refusals
// from many addresses, a client that always stops mid-frame, answers that must keep their
// requests' order, and a storm of connections that open and close at once.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "gateway_on_sim.h"

namespace vpisd::gateway::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// A read of one holding register of unit 1, as transaction `transaction`.
std::vector<uint8_t> ReadRequest(uint16_t transaction, uint16_t reg) {
    return {static_cast<uint8_t>(transaction >> 8),
            static_cast<uint8_t>(transaction & 0xFF),
            0,
            0,
            0,
            6,
            1,
            0x03,
            static_cast<uint8_t>(reg >> 8),
            static_cast<uint8_t>(reg & 0xFF),
            0,
            1};
}

// The transactions of the answers that came within `timeoutMs`, in their order, until `count`.
std::vector<uint16_t> AnswerTransactions(const RawConnection &connection, size_t count,
                                         int timeoutMs) {
    std::vector<uint16_t> transactions;
    std::vector<uint8_t> bytes;
    const auto deadline = std::chrono::steady_clock::now() + milliseconds(timeoutMs);
    while (transactions.size() < count && std::chrono::steady_clock::now() < deadline) {
        const std::vector<uint8_t> more = connection.Receive(4096, 200);
        bytes.insert(bytes.end(), more.begin(), more.end());
        while (bytes.size() >= 6 &&
               bytes.size() >= 6u + static_cast<unsigned>((bytes[4] << 8) | bytes[5])) {
            transactions.push_back(static_cast<uint16_t>((bytes[0] << 8) | bytes[1]));
            bytes.erase(bytes.begin(), bytes.begin() + 6 + ((bytes[4] << 8) | bytes[5]));
        }
    }
    return transactions;
}

// 1000 requests in one go on a queue of 4: most are answered busy (06), every one is answered,
// in the order sent, and the log says "queue full" once with a count of the others.
TEST(ClientFloods, PipelinedRequestsBeyondTheQueueCostAFewLines) {
    OneLine net("queue = 4\n");
    net.line.sim->Control("fault P1 any delay 20");
    Gateway gateway(net.dir, net.body);
    RawConnection connection(gateway.port());
    constexpr uint16_t kRequests = 1000;
    std::vector<uint8_t> all;
    for (uint16_t i = 1; i <= kRequests; ++i) {
        const std::vector<uint8_t> request = ReadRequest(i, static_cast<uint16_t>(4 + i % 50));
        all.insert(all.end(), request.begin(), request.end());
    }
    connection.Send(all);
    const std::vector<uint16_t> answered = AnswerTransactions(connection, kRequests, 120000);
    ASSERT_EQ(answered.size(), kRequests);
    for (uint16_t i = 0; i < kRequests; ++i)
        ASSERT_EQ(answered[i], i + 1) << "answer " << i << " out of order";
    const ChildResult result = gateway.Stop();
    EXPECT_EQ(Occurrences(result.err, "queue full: unit 1 answered busy (06)"), 1u) << result.err;
    EXPECT_EQ(Occurrences(result.err, "more for unit 1 answered busy (06) in the last minute"), 1u)
        << result.err;
    EXPECT_LE(Occurrences(result.err, " warning "), 3u) << result.err;
}

// A silent PLC read again and again: the driver's failure is logged once, the others counted.
TEST(ClientFloods, TheDriversRepeatedFailureCostsALine) {
    OneLine net("demote_s = 0\n"); // every request goes to the line
    net.line.sim->Control("fault P1 any silence");
    Gateway gateway(net.dir, net.body);
    Client client = Connect(gateway.port(), 1);
    ASSERT_TRUE(client);
    for (int reg = 10; reg < 12; ++reg) {
        uint16_t value = 0;
        EXPECT_EQ(modbus_read_registers(client.get(), reg, 1, &value), -1);
        EXPECT_EQ(LastException(), 0x0B);
    }
    const ChildResult result = gateway.Stop();
    EXPECT_EQ(Occurrences(result.err, "driver: VPISD: Read Failed!"), 1u) << result.err;
    EXPECT_EQ(Occurrences(result.err, "driver: 1 more like \"VPISD: Read Failed! GAS = P10011 "
                                      "rc = 2\" for P1 in the last minute"),
              1u)
        << result.err;
}

// 300 addresses refused: a line for each of the first 32, then one count for the others.
TEST(ClientFloods, RefusalsFromManyAddressesAreCappedPerMinute) {
    OneLine net;
    Gateway gateway(net.dir, net.body, "allow = [\"10.0.0.0/8\"]\n");
    constexpr int kAddresses = 300;
    for (int i = 0; i < kAddresses; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl(0x7F000000u | static_cast<uint32_t>(0x10000 + i));
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from), 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(gateway.port());
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
        uint8_t byte = 0;
        timeval wait{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        EXPECT_LE(recv(fd, &byte, 1, 0), 0); // closed at accept
        close(fd);
    }
    const ChildResult result = gateway.Stop();
    EXPECT_EQ(Occurrences(result.err, ": not in the allow-list"), 32u) << result.err;
    EXPECT_EQ(Occurrences(result.err, "refused " + std::to_string(kAddresses - 32) +
                                          " more from other addresses in the last minute"),
              1u)
        << result.err;
}

// Every send ends three bytes into the next request and completes the one before: for 8 s each
// request is answered, and the connection is not taken for a stalled one.
TEST(ClientFloods, AClientThatAlwaysStopsMidFrameIsServed) {
    OneLine net;
    Gateway gateway(net.dir, net.body);
    RawConnection connection(gateway.port());
    std::vector<uint8_t> rest;
    for (uint16_t i = 1; i <= 9; ++i) {
        const std::vector<uint8_t> request = ReadRequest(i, 4);
        std::vector<uint8_t> send = rest;
        send.insert(send.end(), request.begin(), request.begin() + 3);
        rest.assign(request.begin() + 3, request.end());
        connection.Send(send);
        if (i > 1) {
            const std::vector<uint16_t> answered = AnswerTransactions(connection, 1, 5000);
            ASSERT_EQ(answered, std::vector<uint16_t>{static_cast<uint16_t>(i - 1)})
                << gateway.process().sofar().err;
        }
        std::this_thread::sleep_for(seconds(1));
    }
    connection.Send(rest);
    EXPECT_EQ(AnswerTransactions(connection, 1, 5000), std::vector<uint16_t>{9});
    EXPECT_EQ(Occurrences(gateway.process().sofar().err, "left a request unfinished"), 0u);
}

// A read still on the line and a request answered at once (an unknown function, an unknown
// unit) sent behind it: the answers come in the order of the requests.
TEST(ClientFloods, AnswersKeepTheOrderOfTheirRequests) {
    OneLine net;
    net.line.sim->Control("fault P1 any delay 300 count=1");
    Gateway gateway(net.dir, net.body);
    RawConnection connection(gateway.port());
    std::vector<uint8_t> requests = ReadRequest(1, 4);
    const std::vector<uint8_t> unknownFunction{0, 2, 0, 0, 0, 2, 1, 0x07};
    const std::vector<uint8_t> unknownUnit{0, 3, 0, 0, 0, 6, 9, 0x03, 0, 4, 0, 1};
    requests.insert(requests.end(), unknownFunction.begin(), unknownFunction.end());
    requests.insert(requests.end(), unknownUnit.begin(), unknownUnit.end());
    connection.Send(requests);
    EXPECT_EQ(AnswerTransactions(connection, 3, 10000), (std::vector<uint16_t>{1, 2, 3}));
}

// max_clients 32 and 1000 connections that open and close at once, while a client that polls
// every 12 s has been idle over 10 s: the storm's closed sockets never count as clients, so
// nobody is evicted and the client is served.
TEST(ClientFloods, AConnectStormDoesNotEvictALiveClient) {
    OneLine net;
    Gateway gateway(net.dir, net.body, "max_clients = 32\nidle_timeout_s = 0\n");
    Client live = Connect(gateway.port(), 1);
    ASSERT_TRUE(live);
    uint16_t value = 0;
    ASSERT_EQ(modbus_read_registers(live.get(), 4, 1, &value), 1) << modbus_strerror(errno);
    std::this_thread::sleep_for(milliseconds(10500));
    std::atomic<int> connected{0};
    std::vector<std::thread> storm;
    for (int t = 0; t < 8; ++t) {
        storm.emplace_back([&] {
            for (int i = 0; i < 125; ++i) {
                const RawConnection passing(gateway.port());
                connected += passing.connected() ? 1 : 0;
            }
        });
    }
    for (std::thread &thread : storm)
        thread.join();
    EXPECT_EQ(connected, 1000);
    std::this_thread::sleep_for(milliseconds(1500)); // the client's 12 s
    EXPECT_EQ(modbus_read_registers(live.get(), 4, 1, &value), 1) << modbus_strerror(errno);
    const ChildResult result = gateway.Stop();
    EXPECT_EQ(Occurrences(result.err, "closed to make room"), 0u) << result.err;
}

} // namespace
} // namespace vpisd::gateway::test
