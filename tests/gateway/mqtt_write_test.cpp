// Writes from /set topics: each value form reaches the PLC's registers, malformed payloads and
// read-only PLCs are refused before anything is sent, and the result tells a write the PLC refused
// from one that may have landed.
#include <gtest/gtest.h>

#include "mqtt_fixture.h"

namespace vpisd::gateway::mqtt_test {
namespace {

TEST(MqttWrites, ReachTheRegisters) {
    struct Case {
        const char *topic;
        const char *payload;
        size_t reg;
        std::vector<uint16_t> expected; // from `reg` on
    };
    const Case cases[] = {
        {"P1/110", "1234", 110, {1234}},
        {"P1/111", "-2", 111, {65534}},
        {"P1/112", "{\"value\": 9}", 112, {9}},
        {"P1/113", " 0x1F ", 113, {31}},
        {"P1/115F", "70000", 115, {1, 4464}}, // the odd register holds the high word
        {"P1/120/3", "1", 120, {0x00F4}},     // one masked bit: the others stay as they were
        {"P1/121/16", "true", 121, {0x8000}},
        {"P2/130", "65535", 130, {65535}},
        {"P2/131", "2.5", 131, {3}}, // integer types round to the nearest, halves away from 0
    };
    Plant plant;
    plant.sim().SetRegister("P1", 120, 0x00F0);
    Subscriber subscriber(plant.broker().port(), "vpisd/#");
    plant.StartGateway("");
    ASSERT_TRUE(subscriber.WaitFor("vpisd/north/status", IsPayload("online")))
        << plant.GatewayLog();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.topic);
        EXPECT_EQ(ResultOf(subscriber, std::string("vpisd/north/") + c.topic + "/set", c.payload),
                  "ok");
        for (size_t i = 0; i < c.expected.size(); ++i)
            EXPECT_EQ(plant.sim().Register(c.topic[1] == '1' ? "P1" : "P2", c.reg + i),
                      c.expected[i]);
    }
    EXPECT_TRUE(plant.WaitForCount("writes_ok ", std::size(cases), 10s));
}

TEST(MqttWrites, MalformedPayloadRefusedWithReasonNeverWritten) {
    struct Case {
        const char *topic;
        std::string_view payload;
        const char *reason; // a part of it
    };
    const Case cases[] = {
        {"P1/140", "abc", "not a number"},
        {"P1/140", "", "empty"},
        {"P1/140/2", "0.5", "not a whole number"},
        {"P1/140", "70000", "out of range"},
        {"P1/140", "-32769", "out of range"},
        {"P1/140", "[1]", "not a number"},
        {"P1/140", "{\"val\": 1}", "not a number"},
        {"P1/141F", "4294967296", "out of range"},
        {"P1/140/3", "2", "out of range"},
        {"P1/140/17", "1", "names no value"},
        {"P1/142F", "1", "names no value"}, // a pair begins at an odd register
        {"P1/0", "1", "names no value"},
        {"P1/140", std::string_view("7\0{garbage", 10), "not a number"}, // a NUL ends no parse
        {"P1/140", std::string_view("7\0", 2), "not a number"},
    };
    Plant plant;
    plant.sim().SetRegister("P1", 140, 77);
    Subscriber subscriber(plant.broker().port(), "vpisd/#");
    plant.StartGateway("");
    ASSERT_TRUE(subscriber.WaitFor("vpisd/north/status", IsPayload("online")))
        << plant.GatewayLog();
    const auto writes = [&] {
        const sim::Stats stats = plant.sim().GetStats();
        return stats.Get("writes") + stats.Get("masked_writes");
    };
    const uint64_t writesBefore = writes();
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.topic) + " <- \"" + std::string(c.payload) + "\"");
        const std::string set = std::string("vpisd/north/") + c.topic + "/set";
        const size_t from = subscriber.Count();
        EXPECT_EQ(ResultOf(subscriber, set, std::string(c.payload)), "refused");
        const auto reason = subscriber.WaitFor(
            set + "/reason", [](const Message &) { return true; }, 1s, from);
        ASSERT_TRUE(reason);
        EXPECT_NE(reason->payload.find(c.reason), std::string::npos) << reason->payload;
    }
    EXPECT_EQ(plant.sim().Register("P1", 140), 77);
    EXPECT_EQ(writes(), writesBefore);
}

// A PLC name is matched as the driver matches it, in upper case: a /set topic or a [[poll]] that
// spells it "p2" reaches P2, and P2's read-only unit protects it under every spelling.
TEST(MqttWrites, ReadOnlyGatewayOrUnitRefusesBeforeTheLine) {
    struct Case {
        const char *gatewayKeys;
        const char *unitKeys; // added to unit 2 (P2)
        const char *p1;
        const char *p2;
    };
    const Case cases[] = {
        {"", "read_only = true\n", "ok", "read_only"},
        {"read_only = true\n", "", "read_only", "read_only"},
    };
    const std::string namedOnP2 = "[[poll]]\nline = \"north\"\nplc = \"p2\"\nregisters = "
                                  "\"152\"\nnames = { \"152\" = \"tank\" }\n";
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.gatewayKeys) + c.unitKeys);
        Plant plant;
        Subscriber subscriber(plant.broker().port(), "vpisd/#");
        plant.StartGateway(namedOnP2, c.gatewayKeys, c.unitKeys);
        ASSERT_TRUE(subscriber.WaitFor("vpisd/north/status", IsPayload("online")))
            << plant.GatewayLog();
        for (const char *topic : {"P1/150", "p1/151"}) {
            SCOPED_TRACE(topic);
            EXPECT_EQ(ResultOf(subscriber, std::string("vpisd/north/") + topic + "/set", "5"),
                      c.p1);
        }
        for (const char *topic : {"P2/150", "p2/151", "P2/tank", "p2/tank"}) {
            SCOPED_TRACE(topic);
            EXPECT_EQ(ResultOf(subscriber, std::string("vpisd/north/") + topic + "/set", "5"),
                      c.p2);
        }
        const uint16_t p1 = std::string(c.p1) == "ok" ? 5 : 0;
        EXPECT_EQ(plant.sim().Register("P1", 150), p1);
        EXPECT_EQ(plant.sim().Register("P1", 151), p1);
        for (const size_t reg : {size_t{150}, size_t{151}, size_t{152}})
            EXPECT_EQ(plant.sim().Register("P2", reg), 0) << reg;
    }
}

// What the line made of a write. A PLC that refuses it (an error reply to every try) leaves the
// register alone: refused. Replies that come late, or that answer an earlier request (a stale
// sequence byte, as a late reply looks to the next try), make the driver try again while the
// write lands, even several times: unanswered, never refused.
TEST(MqttWrites, ResultSaysWhetherTheWriteMayHaveLanded) {
    struct Case {
        const char *fault;
        const char *result;
        const char *reason; // a part of it
        uint16_t landed;    // register 160 afterwards
    };
    const Case cases[] = {
        {"fault P1 any error 03", "refused", "refused by the PLC", 0},
        {"fault P1 any delay 900", "no_answer", "may have been applied", 7}, // timeout 300 ms
        {"fault P1 any stale", "no_answer", "may have been applied", 7},
        // P1 silent on its normal route, then on its backup route, is demoted: the next write
        // is answered at once and never sent, not even later.
        {"fault P1 any silence", "no_answer", "may have been applied", 0},
        {"fault P1 any silence", "no_answer", "may have been applied", 0},
        {"fault P1 any silence", "no_answer", "demoted: not written", 0},
    };
    Plant plant;
    // An error reply later than the timeout would be tried again and change the verdict: room
    // for a loaded machine.
    plant.SetTimeoutMs(300);
    Subscriber subscriber(plant.broker().port(), "vpisd/#");
    plant.StartGateway("");
    ASSERT_TRUE(subscriber.WaitFor("vpisd/north/status", IsPayload("online")))
        << plant.GatewayLog();
    const std::string set = "vpisd/north/P1/160/set";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fault);
        plant.sim().SetRegister("P1", 160, 0);
        ASSERT_EQ(plant.sim().Control(c.fault).rfind("OK", 0), 0u);
        const size_t from = subscriber.Count();
        // Ten tries of up to a second each.
        EXPECT_EQ(ResultOf(subscriber, set, "7", 60s), c.result) << plant.GatewayLog();
        const auto reason = subscriber.WaitFor(
            set + "/reason", [](const Message &) { return true; }, 1s, from);
        ASSERT_TRUE(reason);
        EXPECT_NE(reason->payload.find(c.reason), std::string::npos) << reason->payload;
        plant.sim().ClearFaults();
        EXPECT_EQ(plant.sim().Register("P1", 160), c.landed);
    }
}

} // namespace
} // namespace vpisd::gateway::mqtt_test
