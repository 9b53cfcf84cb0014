// What MQTT commands leave in the gateway's log: a flood of writes costs a few lines, and a
// payload's control characters never reach the log as they are.
#include <gtest/gtest.h>

#include <sstream>

#include "mqtt_fixture.h"

namespace vpisd::gateway::mqtt_test {
namespace {

bool WaitForResults(const Subscriber &subscriber, const std::string &topic, size_t count,
                    std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (subscriber.On(topic).size() < count) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

// 300 writes at once to a slow PLC: most find the line's queue full. Each has its result on its
// topic; the log has one line per kind of failure and a count of the others.
TEST(MqttLog, WritesAtOnceCostAFewLines) {
    Plant plant;
    plant.sim().Control("fault P1 any delay 50");
    Subscriber subscriber(plant.broker().port(), "vpisd/#");
    plant.StartGateway("");
    ASSERT_TRUE(subscriber.WaitFor("vpisd/north/status", IsPayload("online")))
        << plant.GatewayLog();
    constexpr size_t kWrites = 300;
    for (size_t i = 0; i < kWrites; ++i)
        subscriber.Publish("vpisd/north/P1/150/set", std::to_string(i));
    ASSERT_TRUE(WaitForResults(subscriber, "vpisd/north/P1/150/set/result", kWrites, 120s))
        << subscriber.On("vpisd/north/P1/150/set/result").size() << " results";
    size_t refused = 0;
    for (const Message &result : subscriber.On("vpisd/north/P1/150/set/result"))
        refused += result.payload == "refused" ? 1u : 0u;
    ASSERT_GT(refused, 1u) << "the queue never filled up";
    plant.StopGateway();
    const std::string log = plant.GatewayLog();
    EXPECT_EQ(Occurrences(log, ": refused (the line's queue is full)"), 1u) << log;
    EXPECT_EQ(Occurrences(log, "mqtt write refused (the line's queue is full): " +
                                   std::to_string(refused - 1) + " more to P1 in the last minute"),
              1u)
        << log;
    EXPECT_LE(Occurrences(log, " warning "), 4u) << log;
}

// A payload that would start a forged emergency line under journald, and a terminal escape,
// reach the log escaped, on the write's own line.
TEST(MqttLog, ControlCharactersInAPayloadAreEscaped) {
    Plant plant;
    Subscriber subscriber(plant.broker().port(), "vpisd/#");
    plant.StartGateway("");
    ASSERT_TRUE(subscriber.WaitFor("vpisd/north/status", IsPayload("online")))
        << plant.GatewayLog();
    subscriber.Publish("vpisd/north/P1/150/set", "x\n<0>emerg forged\x1b[2J\x7f");
    ASSERT_TRUE(subscriber.WaitFor("vpisd/north/P1/150/set/result", IsPayload("refused")));
    plant.StopGateway();
    const std::string log = plant.GatewayLog();
    std::istringstream lines(log);
    size_t escaped = 0;
    for (std::string line; std::getline(lines, line);) {
        // The payload never starts a line of its own (journald would read "<0>" as a priority).
        EXPECT_FALSE(line.starts_with("<0>emerg")) << log;
        if (line.find("mqtt write P1/150") != std::string::npos &&
            line.find("\"x\\n<0>emerg forged\\x1b[2J\\x7f\" is not a number") != std::string::npos)
            ++escaped;
    }
    EXPECT_EQ(escaped, 1u) << log;
    EXPECT_EQ(log.find('\x1b'), std::string::npos);
}

} // namespace
} // namespace vpisd::gateway::mqtt_test
