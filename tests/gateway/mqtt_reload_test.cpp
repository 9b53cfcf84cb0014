// SIGHUP with an [mqtt] table: the broker connections stay up when nothing of the MQTT side
// changed, a changed poll group takes effect, and rebuilding the MQTT side never waits for the
// jobs it left on a line.
#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

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

    // A unit changed: the line and the broker connection are kept, and P2's unit made
    // read-only refuses MQTT writes to P2 at once.
    EXPECT_EQ(ResultOf(subscriber, "vpisd/north/P2/120/set", "3"), "ok");
    ASSERT_TRUE(plant.ReloadGateway(poll, "read_only = true\n",
                                    "1 lines kept, 0 started, 0 stopped, 2 units"))
        << plant.GatewayLog();
    EXPECT_FALSE(subscriber.WaitFor("vpisd/north/status", IsPayload("offline"), 2s));
    EXPECT_EQ(ResultOf(subscriber, "vpisd/north/P2/120/set", "4"), "read_only");
    EXPECT_EQ(plant.sim().Register("P2", 120), 3);

    // A poll group changed: its new register is published.
    const std::string other = "[[poll]]\nline = \"north\"\nplc = \"P1\"\nregisters = \"101\"\n";
    ASSERT_TRUE(plant.ReloadGateway(other, "", "reloaded ")) << plant.GatewayLog();
    EXPECT_TRUE(subscriber.WaitFor("vpisd/north/P1/101", IsValue(8))) << plant.GatewayLog();
    EXPECT_EQ(plant.StopGateway(), 0);
}

// Ten poll groups of a silent PLC keep ten jobs on the line, each a few seconds of tries. A
// reload that changes [[poll]] rebuilds the MQTT side at once and leaves those jobs to the line:
// the main loop is back to its signals within seconds, not after every job.
TEST(MqttReload, ChangedPollsReloadAtOnceWhileThePlcIsSilent) {
    Plant plant;
    plant.SetLineKeys("demote_s = 0\n"); // a demoted PLC's polls would be answered at once
    std::string polls;
    for (int i = 0; i < 10; ++i)
        polls += "[[poll]]\nline = \"north\"\nplc = \"P1\"\nregisters = \"" +
                 std::to_string(100 + 500 * i) + "\"\ninterval_ms = 100\n\n";
    plant.StartGateway(polls);
    Subscriber subscriber(plant.broker().port(), "vpisd/#");
    ASSERT_TRUE(subscriber.WaitFor("vpisd/north/P1/100", IsValue(0))) << plant.GatewayLog();
    ASSERT_EQ(plant.sim().Control("fault P1 any silence").rfind("OK", 0), 0U);
    // The polls are on the line, one of them (each takes about 5 s) answered no_answer.
    const auto noAnswer = IsValue(std::nullopt, "no_answer");
    const auto told = [&] {
        for (int i = 0; i < 10; ++i) {
            for (const Message &message :
                 subscriber.On("vpisd/north/P1/" + std::to_string(100 + 500 * i))) {
                if (noAnswer(message))
                    return true;
            }
        }
        return false;
    };
    const auto until = std::chrono::steady_clock::now() + 30s;
    while (!told() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(told()) << plant.GatewayLog();

    const auto began = std::chrono::steady_clock::now();
    ASSERT_TRUE(plant.ReloadGateway(polls + "[[poll]]\nline = \"north\"\nplc = \"P2\"\n"
                                            "registers = \"1\"\n",
                                    "", "reloaded "))
        << plant.GatewayLog();
    std::printf("reload with ten silent polls on the line: %.1f s\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());
    EXPECT_EQ(plant.StopGateway(), 0);
}

} // namespace
} // namespace vpisd::gateway::mqtt_test
