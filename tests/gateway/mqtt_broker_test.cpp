// The broker lost and back: polling goes on, the gateway connects again and publishes the
// current values anew; a gateway that dies leaves its last will.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "mqtt_fixture.h"

namespace vpisd::gateway::mqtt_test {
namespace {

TEST(MqttBroker, RestartedBrokerGetsTheCurrentValuesAgain) {
    Plant plant;
    plant.sim().SetRegister("P1", 100, 1);
    plant.sim().SetRegister("P2", 100, 2);
    plant.StartGateway("[[poll]]\nline = \"north\"\nplc = \"P1\"\nregisters = \"100\"\n"
                       "interval_ms = 100\n"
                       "[[poll]]\nline = \"north\"\nplc = \"P2\"\nregisters = \"100\"\n"
                       "interval_ms = 100\n");
    {
        Subscriber subscriber(plant.broker().port(), "vpisd/#");
        ASSERT_TRUE(subscriber.WaitFor("vpisd/north/P1/100", IsValue(1))) << plant.GatewayLog();
        ASSERT_TRUE(subscriber.WaitFor("vpisd/north/P2/100", IsValue(2)));
    }
    plant.broker().Stop(); // a broker without persistence forgets every retained message
    ASSERT_TRUE(plant.WaitForCount("connections_lost ", 1, 10s)) << plant.GatewayLog();
    plant.sim().SetRegister("P1", 100, 11); // changes while the broker is away
    const uint64_t pollsOk = [&] {
        const std::string log = plant.GatewayLog();
        const std::string counter = "polls_ok ";
        return std::stoull(log.substr(log.rfind(counter) + counter.size()));
    }();
    ASSERT_TRUE(plant.WaitForCount("polls_ok ", pollsOk + 5, 10s)) << "polling goes on";

    plant.broker().Start();
    Subscriber subscriber(plant.broker().port(), "vpisd/#");
    const auto changed = subscriber.WaitFor("vpisd/north/P1/100", IsValue(11), 40s);
    ASSERT_TRUE(changed) << plant.GatewayLog();
    // P2's value did not change: only the republishing at the reconnect brings it back.
    EXPECT_TRUE(subscriber.WaitFor("vpisd/north/P2/100", IsValue(2)));
    EXPECT_TRUE(subscriber.WaitFor("vpisd/north/status", IsPayload("online")));
    EXPECT_TRUE(subscriber.WaitFor("vpisd/north/P1/route", [](const Message &) { return true; }));
    EXPECT_TRUE(plant.WaitForCount("reconnects ", 1, 5s));

    // Kept by the broker again: a later subscriber gets them too.
    Subscriber late(plant.broker().port(), "vpisd/#");
    const auto kept = late.WaitFor("vpisd/north/P2/100", IsValue(2), 5s);
    ASSERT_TRUE(kept);
    EXPECT_TRUE(kept->retained);
}

TEST(MqttBroker, BrokerStartedAfterTheGateway) {
    Plant plant;
    plant.sim().SetRegister("P1", 100, 3);
    plant.broker().Stop();
    plant.StartGateway("[[poll]]\nline = \"north\"\nplc = \"P1\"\nregisters = \"100\"\n"
                       "interval_ms = 100\n");
    ASSERT_TRUE(plant.WaitForLog("not reached")) << plant.GatewayLog();
    plant.broker().Start();
    Subscriber subscriber(plant.broker().port(), "vpisd/#");
    EXPECT_TRUE(subscriber.WaitFor("vpisd/north/status", IsPayload("online"), 20s))
        << plant.GatewayLog();
    EXPECT_TRUE(subscriber.WaitFor("vpisd/north/P1/100", IsValue(3)));
}

TEST(MqttBroker, PasswordFromItsFile) {
    struct Case {
        const char *password;
        const char *logged;
    };
    const Case cases[] = {
        {"s3cret\n", "connected to broker"},
        {"wrong\n", "refused the connection"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.password);
        TempDir users;
        const std::string file = users.path() + "/users";
        ASSERT_EQ(std::system(("mosquitto_passwd -c -b " + file + " gw s3cret").c_str()), 0);
        // mosquitto started as root reads it as the user it drops to.
        std::filesystem::permissions(users.path(), std::filesystem::perms::owner_all |
                                                       std::filesystem::perms::others_exec);
        std::filesystem::permissions(file, std::filesystem::perms::owner_read |
                                               std::filesystem::perms::owner_write |
                                               std::filesystem::perms::others_read);
        Plant plant("allow_anonymous false\npassword_file " + file + "\n");
        plant.dir().Write("mqtt.pass", c.password);
        plant.StartGateway("username = \"gw\"\npassword_file = \"mqtt.pass\"\n");
        EXPECT_TRUE(plant.WaitForLog(c.logged)) << plant.GatewayLog();
    }
}

TEST(MqttBroker, StatusOfflineWhenTheGatewayStopsOrDies) {
    for (const int signal : {SIGTERM, SIGKILL}) {
        SCOPED_TRACE(signal);
        Plant plant;
        Subscriber subscriber(plant.broker().port(), "vpisd/#");
        plant.StartGateway("[[poll]]\nline = \"north\"\nplc = \"P1\"\nregisters = \"100\"\n");
        ASSERT_TRUE(subscriber.WaitFor("vpisd/north/status", IsPayload("online")))
            << plant.GatewayLog();
        const size_t from = subscriber.Count();
        plant.StopGateway(signal);
        const auto offline =
            subscriber.WaitFor("vpisd/north/status", IsPayload("offline"), 15s, from);
        EXPECT_TRUE(offline);
        Subscriber late(plant.broker().port(), "vpisd/north/status");
        const auto kept = late.WaitFor("vpisd/north/status", IsPayload("offline"), 5s);
        ASSERT_TRUE(kept);
        EXPECT_TRUE(kept->retained);
    }
}

} // namespace
} // namespace vpisd::gateway::mqtt_test
