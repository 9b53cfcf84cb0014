// A read that fails is told once with its quality, and the value comes back good afterwards.
#include <gtest/gtest.h>

#include <algorithm>

#include "mqtt_fixture.h"

namespace vpisd::gateway::mqtt_test {
namespace {

TEST(MqttQuality, FailureToldOnceThenGoodAgain) {
    struct Case {
        const char *fault;
        const char *quality;
    };
    const Case cases[] = {
        {"fault P1 any silence", "no_answer"},
        {"fault P1 any error 03", "refused"}, // an error reply: the PLC refuses the read
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fault);
        Plant plant;
        plant.sim().SetRegister("P1", 100, 42);
        Subscriber subscriber(plant.broker().port(), "vpisd/#");
        // The poll takes P1's hold from its units: 500 ms, the shorter of two, so that the good
        // value is back soon after the fault is gone.
        plant.StartGateway("[[poll]]\nline = \"north\"\nplc = \"P1\"\nregisters = \"100\"\n"
                           "interval_ms = 50\npublish = \"always\"\n",
                           "",
                           "[[unit]]\nid = 3\nline = \"north\"\nplc = \"P1\"\n"
                           "refused_hold_ms = 500\n");
        const std::string topic = "vpisd/north/P1/100";
        ASSERT_TRUE(subscriber.WaitFor(topic, IsValue(42))) << plant.GatewayLog();
        ASSERT_EQ(plant.sim().Control(c.fault).rfind("OK", 0), 0u);
        const auto failed = subscriber.WaitFor(topic, IsValue(std::nullopt, c.quality), 30s);
        ASSERT_TRUE(failed) << plant.GatewayLog();
        EXPECT_EQ(failed->json()["value"], 42) << "the last good value stays with the quality";

        // One more failed round of P1, told nowhere (the gateway counts its rounds).
        const std::string counter = std::string("polls_") + c.quality + " ";
        ASSERT_TRUE(plant.WaitForCount(counter, 2, 40s)) << plant.GatewayLog();
        size_t told = 0;
        for (const Message &message : subscriber.On(topic))
            told += IsValue(std::nullopt, c.quality)(message) ? 1u : 0u;
        EXPECT_EQ(told, 1u);

        const size_t from = subscriber.Count();
        plant.sim().ClearFaults();
        EXPECT_TRUE(subscriber.WaitFor(topic, IsValue(42), 30s, from)) << plant.GatewayLog();
    }
}

TEST(MqttQuality, RouteFollowsTheSwitchToTheBackup) {
    Plant plant;
    plant.sim().SetRegister("P1", 100, 42);
    Subscriber subscriber(plant.broker().port(), "vpisd/#");
    plant.StartGateway("[[poll]]\nline = \"north\"\nplc = \"P1\"\nregisters = \"100\"\n"
                       "interval_ms = 50\n");
    const auto route = [](const char *name) {
        return [name](const Message &m) { return m.json().value("route", "") == name; };
    };
    ASSERT_TRUE(subscriber.WaitFor("vpisd/north/P1/route", route("normal"))) << plant.GatewayLog();
    ASSERT_EQ(plant.sim().Control("fault P1 normal dead").rfind("OK", 0), 0u);
    // The read that finds the normal path dead fails; the driver takes the backup route.
    const std::string value = "vpisd/north/P1/100";
    ASSERT_TRUE(subscriber.WaitFor(value, IsValue(42, "no_answer"), 30s)) << plant.GatewayLog();
    const auto backup = subscriber.WaitFor("vpisd/north/P1/route", route("backup"), 30s);
    ASSERT_TRUE(backup) << plant.GatewayLog();
    EXPECT_EQ(backup->json()["value"], 1);
    // The next rounds, over the backup, are good again (told before or after the route).
    const std::vector<Message> all = subscriber.Since();
    const auto failed = std::find_if(all.begin(), all.end(), [&](const Message &m) {
        return m.topic == value && IsValue(42, "no_answer")(m);
    });
    const auto after = static_cast<size_t>(failed - all.begin()) + 1;
    EXPECT_TRUE(subscriber.WaitFor(value, IsValue(42), 30s, after));
}

} // namespace
} // namespace vpisd::gateway::mqtt_test
