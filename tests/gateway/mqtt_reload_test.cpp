// SIGHUP with an [mqtt] table: the broker connections stay up when nothing of the MQTT side
// changed, and a changed poll group takes effect.
#include <gtest/gtest.h>

#include "mqtt_fixture.h"

namespace vpisd::gateway::mqtt_test {
namespace {

TEST(MqttReload, StaysOnlineUnlessTheMqttSideChanged) {
    Plant plant;
    plant.sim().SetRegister("P1", 100, 7);
    plant.sim().SetRegister("P1", 101, 8);
    const std::string poll = "[[poll]]\nline = \"north\"\nplc = \"P1\"\nregisters = \"100\"\n";
    plant.StartGateway(poll);
    Subscriber subscriber(plant.broker().port(), "vpisd/#");
    ASSERT_TRUE(subscriber.WaitFor("vpisd/north/status", IsPayload("online")));
    ASSERT_TRUE(subscriber.WaitFor("vpisd/north/P1/100", IsValue(7)));

    // A unit changed: the line and the broker connection are kept.
    ASSERT_TRUE(plant.ReloadGateway(poll, "read_only = true\n",
                                    "1 lines kept, 0 started, 0 stopped, 2 units"))
        << plant.GatewayLog();
    EXPECT_FALSE(subscriber.WaitFor("vpisd/north/status", IsPayload("offline"), 2s));

    // A poll group changed: its new register is published.
    const std::string other = "[[poll]]\nline = \"north\"\nplc = \"P1\"\nregisters = \"101\"\n";
    ASSERT_TRUE(plant.ReloadGateway(other, "", "reloaded ")) << plant.GatewayLog();
    EXPECT_TRUE(subscriber.WaitFor("vpisd/north/P1/101", IsValue(8))) << plant.GatewayLog();
    EXPECT_EQ(plant.StopGateway(), 0);
}

} // namespace
} // namespace vpisd::gateway::mqtt_test
