// Poll groups published as retained JSON values, changes followed, on_change against always.
#include <gtest/gtest.h>

#include <regex>

#include "mqtt_fixture.h"

namespace vpisd::gateway::mqtt_test {
namespace {

TEST(MqttValues, EachFormPublishedRetainedAndFollowsChanges) {
    Plant plant;
    plant.sim().SetRegister("P1", 100, 1234);
    plant.sim().SetRegister("P1", 101, 5);
    plant.sim().SetRegister("P1", 103, 0x0001); // 103F: high word first
    plant.sim().SetRegister("P1", 104, 0x0002);
    plant.sim().SetRegister("P2", 200, 0x0004); // bit 3 set
    Subscriber subscriber(plant.broker().port(), "vpisd/#");
    plant.StartGateway("[[poll]]\nline = \"north\"\nplc = \"P1\"\nregisters = \"100:2\"\n"
                       "interval_ms = 100\n"
                       "[[poll]]\nline = \"north\"\nplc = \"P1\"\nregisters = \"103F\"\n"
                       "interval_ms = 100\n"
                       "[[poll]]\nline = \"north\"\nplc = \"P2\"\nregisters = \"200/3\"\n"
                       "interval_ms = 100\n");
    struct Case {
        const char *topic;
        int64_t first;
        const char *plc;
        size_t reg;
        uint16_t next;
        int64_t changed;
    };
    const Case cases[] = {
        {"vpisd/north/P1/100", 1234, "P1", 100, 4321, 4321},
        {"vpisd/north/P1/101", 5, "P1", 101, 65535, 65535},
        {"vpisd/north/P1/103F", 0x00010002, "P1", 103, 0x8000, 0x80000002},
        {"vpisd/north/P2/200/3", 1, "P2", 200, 0x0003, 0},
    };
    ASSERT_TRUE(subscriber.WaitFor("vpisd/north/status", IsPayload("online")))
        << plant.GatewayLog();
    const std::regex payloadShape(R"(\{"value":\d+,"ts":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z",)"
                                  R"("quality":"good"\})");
    for (const Case &c : cases) {
        const auto first = subscriber.WaitFor(c.topic, IsValue(c.first));
        ASSERT_TRUE(first) << c.topic << "\n" << plant.GatewayLog();
        // {"value":1234,"ts":"2026-12-07T10:15:02.120Z","quality":"good"}: UTC, milliseconds
        EXPECT_TRUE(std::regex_match(first->payload, payloadShape)) << first->payload;
    }
    for (const char *route : {"vpisd/north/P1/route", "vpisd/north/P2/route"}) {
        const auto normal = subscriber.WaitFor(
            route, [](const Message &m) { return m.json().value("route", "") == "normal"; });
        EXPECT_TRUE(normal) << route;
    }

    // A subscriber that comes later finds the values kept by the broker.
    Subscriber late(plant.broker().port(), "vpisd/#");
    for (const Case &c : cases) {
        const auto kept = late.WaitFor(c.topic, IsValue(c.first));
        ASSERT_TRUE(kept) << c.topic;
        EXPECT_TRUE(kept->retained) << c.topic;
    }
    EXPECT_TRUE(late.WaitFor("vpisd/north/status", IsPayload("online")));

    for (const Case &c : cases) {
        const size_t from = subscriber.Count();
        plant.sim().SetRegister(c.plc, c.reg, c.next);
        EXPECT_TRUE(subscriber.WaitFor(c.topic, IsValue(c.changed), 15s, from)) << c.topic;
    }
    EXPECT_EQ(plant.StopGateway(), 0);
    EXPECT_TRUE(subscriber.WaitFor("vpisd/north/status", IsPayload("offline")));
}

TEST(MqttValues, OnChangePublishesChangesAlwaysEveryRound) {
    Plant plant;
    Subscriber subscriber(plant.broker().port(), "vpisd/#");
    plant.StartGateway("[[poll]]\nline = \"north\"\nplc = \"P1\"\nregisters = \"300\"\n"
                       "interval_ms = 50\npublish = \"on_change\"\n"
                       "[[poll]]\nline = \"north\"\nplc = \"P1\"\nregisters = \"301\"\n"
                       "interval_ms = 50\npublish = \"always\"\n");
    const auto rounds = [&](size_t atLeast) {
        const auto until = std::chrono::steady_clock::now() + 15s;
        while (subscriber.On("vpisd/north/P1/301").size() < atLeast &&
               std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(20ms);
        return subscriber.On("vpisd/north/P1/301").size() >= atLeast;
    };
    ASSERT_TRUE(rounds(6)) << plant.GatewayLog();
    EXPECT_EQ(subscriber.On("vpisd/north/P1/300").size(), 1u);

    plant.sim().SetRegister("P1", 300, 7);
    ASSERT_TRUE(subscriber.WaitFor("vpisd/north/P1/300", IsValue(7)));
    const size_t always = subscriber.On("vpisd/north/P1/301").size();
    ASSERT_TRUE(rounds(always + 6));
    EXPECT_EQ(subscriber.On("vpisd/north/P1/300").size(), 2u);
    for (const Message &message : subscriber.On("vpisd/north/P1/301"))
        EXPECT_TRUE(IsValue(0)(message)) << message.payload;
}

} // namespace
} // namespace vpisd::gateway::mqtt_test
