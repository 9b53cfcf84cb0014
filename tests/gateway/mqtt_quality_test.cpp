// A read that fails is told once with its quality, and the value comes back good afterwards.
#include <gtest/gtest.h>

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
        plant.StartGateway("[[poll]]\nline = \"north\"\nplc = \"P1\"\nregisters = \"100\"\n"
                           "interval_ms = 50\npublish = \"always\"\n");
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

} // namespace
} // namespace vpisd::gateway::mqtt_test
