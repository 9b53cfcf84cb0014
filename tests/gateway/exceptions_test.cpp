// Each exception the gateway answers with, and the edges that are still served.
#include <gtest/gtest.h>

#include "gateway_on_sim.h"

namespace vpisd::gateway::test {
namespace {

// P3 answers every request with an error reply, P2 not at all, P4 too late for the line's timeout.
constexpr const char *kFourPlcs = "[plc P1]\nroute = 1+5\n[plc P2]\nroute = 1+7\n[plc P3]\nroute = "
                                  "1+9\n[plc P4]\nroute = 1+11\n";

// Function code, then 16-bit fields high byte first, then raw bytes.
std::vector<uint8_t> Pdu(uint8_t function, std::initializer_list<uint16_t> words,
                         std::initializer_list<uint8_t> bytes = {}) {
    std::vector<uint8_t> pdu{function};
    for (uint16_t w : words) {
        pdu.push_back(static_cast<uint8_t>(w >> 8));
        pdu.push_back(static_cast<uint8_t>(w & 0xFF));
    }
    pdu.insert(pdu.end(), bytes.begin(), bytes.end());
    return pdu;
}

TEST(Exceptions, EachCauseGetsItsCode) {
    TempDir dir;
    SimLine line = StartSimLine(kFourPlcs, dir, "plant.int");
    line.sim->Control("fault P2 any silence");
    line.sim->Control("fault P3 any error 03");
    line.sim->Control("fault P4 any delay 300");
    Gateway gateway(dir, LineToml("north", line.port, 1, line.init) + UnitToml(1, "north", "P1") +
                             UnitToml(2, "north", "P1", "read_only = true") +
                             UnitToml(3, "north", "P2") + UnitToml(4, "north", "P3") +
                             UnitToml(5, "north", "P4"));
    struct Case {
        const char *what;
        int unit;
        std::vector<uint8_t> pdu;
        int exception; // 0: a normal answer
        int timeoutMs = kClientTimeoutMs;
    };
    const Case cases[] = {
        {"unknown function 07", 1, Pdu(0x07, {}), 0x01},
        {"unknown function 17", 1, Pdu(0x17, {0, 1, 0, 1}, {2, 0, 0}), 0x01},
        {"unknown function 2B", 1, Pdu(0x2B, {}, {0x0E, 0x01, 0x00}), 0x01},
        {"read of 126 registers", 1, Pdu(0x03, {0, 126}), 0x03},
        {"read of 0 registers", 1, Pdu(0x04, {0, 0}), 0x03},
        {"read of 2001 coils", 1, Pdu(0x01, {0, 2001}), 0x03},
        {"write of 124 registers", 1, Pdu(0x10, {0, 124}, {248}), 0x03},
        {"write with a wrong byte count", 1, Pdu(0x10, {0, 2}, {3, 0, 1, 0, 2, 0}), 0x03},
        {"coil value neither on nor off", 1, Pdu(0x05, {0, 0x1234}), 0x03},
        {"a request cut short", 1, Pdu(0x03, {0}), 0x03},
        {"unit not configured", 9, Pdu(0x03, {0, 1}), 0x0A},
        {"unit 0", 0, Pdu(0x03, {0, 1}), 0x0A},
        {"registers past 9999", 1, Pdu(0x03, {9998, 2}), 0x02},
        {"register 9999 itself", 1, Pdu(0x03, {9998, 1}), 0},
        {"write to register 10000", 1, Pdu(0x06, {9999, 7}), 0x02},
        {"coils past address 65535", 1, Pdu(0x01, {65000, 2000}), 0x02},
        {"coil 65535 (register 4096)", 1, Pdu(0x05, {65535, 0xFF00}), 0},
        {"write on a read-only unit", 2, Pdu(0x06, {10, 7}), 0x01},
        {"coil write on a read-only unit", 2, Pdu(0x0F, {0, 1}, {1, 1}), 0x01},
        {"read on a read-only unit", 2, Pdu(0x03, {10, 1}), 0},
        {"refused by the PLC (write)", 4, Pdu(0x06, {10, 7}), 0x04},
        {"refused by the PLC (read)", 4, Pdu(0x03, {10, 4}), 0x04},
        {"silent PLC", 3, Pdu(0x03, {10, 1}), 0x0B},
        // Retried after late replies: it may have landed, even several times; not refused.
        {"late replies to a write", 5, Pdu(0x06, {10, 7}), 0x0B, 60000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Client client = Connect(gateway.port(), c.unit, c.timeoutMs);
        ASSERT_TRUE(client);
        EXPECT_EQ(RawException(client.get(), c.pdu), c.exception);
    }
    // Nothing that was refused before traffic reached the line.
    EXPECT_EQ(line.sim->Register("P1", 11), 0);
    EXPECT_EQ(line.sim->Register("P1", 4096), 0x8000);
    EXPECT_EQ(line.sim->Register("P4", 11), 7); // the write answered 0B landed
}

TEST(Exceptions, ReadOnlyGatewayRefusesEveryWrite) {
    TempDir dir;
    SimLine line = StartSimLine(kTwoPlcs, dir, "plant.int");
    Gateway gateway(dir, LineToml("north", line.port, 1, line.init) + UnitToml(1, "north", "P1"),
                    "read_only = true\n");
    Client client = Connect(gateway.port(), 1);
    ASSERT_TRUE(client);
    EXPECT_EQ(RawException(client.get(), Pdu(0x06, {10, 7})), 0x01);
    EXPECT_EQ(RawException(client.get(), Pdu(0x10, {10, 1}, {2, 0, 7})), 0x01);
    EXPECT_EQ(RawException(client.get(), Pdu(0x05, {10, 0xFF00})), 0x01);
    EXPECT_EQ(RawException(client.get(), Pdu(0x03, {10, 1})), 0);
    EXPECT_EQ(line.sim->Register("P1", 11), 0);
}

TEST(Exceptions, FullQueueAnswersBusy) {
    TempDir dir;
    SimLine line = StartSimLine(kTwoPlcs, dir, "plant.int");
    line.sim->Control("fault P1 any delay 1500 count=1");
    Gateway gateway(dir,
                    LineToml("north", line.port, 1, line.init, "queue = 1\ntimeout_ms = 3000") +
                        UnitToml(1, "north", "P1"));
    // Five requests at once from one connection: one on the line (held up by the slow reply),
    // one waiting, and the connection's share of the queue has room for no more.
    constexpr int kRequests = 5;
    Client client = Connect(gateway.port(), 1);
    ASSERT_TRUE(client);
    const std::vector<uint8_t> read{1, 0x03, 0, 10, 0, 1};
    for (int i = 0; i < kRequests; ++i)
        ASSERT_GT(modbus_send_raw_request(client.get(), read.data(), 6), 0);
    int busy = 0;
    int served = 0;
    for (int i = 0; i < kRequests; ++i) {
        uint8_t answer[MODBUS_TCP_MAX_ADU_LENGTH];
        ASSERT_GT(modbus_receive_confirmation(client.get(), answer), 0) << modbus_strerror(errno);
        const int header = modbus_get_header_length(client.get());
        if ((answer[header] & 0x80) != 0) {
            EXPECT_EQ(answer[header + 1], 0x06);
            ++busy;
        } else {
            ++served;
        }
    }
    EXPECT_GE(busy, kRequests - 2);
    EXPECT_GE(served, 1);
    const ChildResult result = gateway.Stop();
    EXPECT_NE(result.err.find("queue full"), std::string::npos);
}

} // namespace
} // namespace vpisd::gateway::test
