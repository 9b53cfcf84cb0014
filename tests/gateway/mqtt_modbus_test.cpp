// Modbus clients and MQTT polling on one line at once: both are served, and a write from
// either side shows on the other.
#include <gtest/gtest.h>
#include <modbus/modbus.h>

#include <regex>
#include <thread>

#include "mqtt_fixture.h"

namespace vpisd::gateway::mqtt_test {
namespace {

modbus_t *ConnectModbus(uint16_t port) {
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
    modbus_set_slave(ctx, 1);
    modbus_set_response_timeout(ctx, 20, 0);
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (modbus_connect(ctx) != 0) {
        if (std::chrono::steady_clock::now() >= until) {
            modbus_free(ctx);
            return nullptr;
        }
        std::this_thread::sleep_for(50ms);
    }
    return ctx;
}

TEST(MqttWithModbus, BothSidesServedOnOneLine) {
    Plant plant;
    plant.sim().SetRegister("P1", 100, 10);
    plant.sim().SetRegister("P1", 101, 11);
    Subscriber subscriber(plant.broker().port(), "vpisd/#");
    // Polling as fast as the line goes: the Modbus requests must still get their turns.
    std::string polls;
    for (const char *registers : {"100:2", "200", "201", "202", "203"})
        polls += std::string("[[poll]]\nline = \"north\"\nplc = \"P1\"\nregisters = \"") +
                 registers + "\"\ninterval_ms = 10\npublish = \"always\"\n";
    plant.StartGateway(polls);
    ASSERT_TRUE(subscriber.WaitFor("vpisd/north/P1/100", IsValue(10))) << plant.GatewayLog();
    modbus_t *ctx = ConnectModbus(plant.modbusPort());
    ASSERT_NE(ctx, nullptr) << plant.GatewayLog();

    constexpr int kReads = 10;
    const auto polled = [&] {
        size_t n = 0;
        for (const char *topic : {"vpisd/north/P1/200", "vpisd/north/P1/201", "vpisd/north/P1/202",
                                  "vpisd/north/P1/203"})
            n += subscriber.On(topic).size();
        return n;
    };
    const size_t mqttBefore = polled();
    int good = 0;
    for (int i = 0; i < kReads; ++i) {
        uint16_t words[2] = {};
        if (modbus_read_registers(ctx, 99, 2, words) == 2 && words[0] == 10 && words[1] == 11)
            ++good;
    }
    EXPECT_EQ(good, kReads) << plant.GatewayLog();
    EXPECT_GE(polled(), mqttBefore + 3) << "polling went on between the Modbus requests";

    // A Modbus write is seen on MQTT, an MQTT write on Modbus.
    ASSERT_EQ(modbus_write_register(ctx, 99, 555), 1);
    EXPECT_TRUE(subscriber.WaitFor("vpisd/north/P1/100", IsValue(555)));
    const size_t from = subscriber.Count();
    subscriber.Publish("vpisd/north/P1/101/set", "666");
    EXPECT_TRUE(subscriber.WaitFor("vpisd/north/P1/101/set/result", IsPayload("ok"), 15s, from));
    uint16_t word = 0;
    EXPECT_EQ(modbus_read_registers(ctx, 100, 1, &word), 1);
    EXPECT_EQ(word, 666);
    modbus_close(ctx);
    modbus_free(ctx);

    // The four single-register polls 200-203 wait together each round: they share block reads.
    EXPECT_EQ(plant.StopGateway(), 0);
    const std::string log = plant.GatewayLog();
    std::smatch counted;
    ASSERT_TRUE(std::regex_search(
        log, counted,
        std::regex("line time: transactions ([0-9]+) answered ([0-9]+) merged ([0-9]+)")))
        << log;
    EXPECT_LT(std::stoull(counted[1]), std::stoull(counted[2]));
    EXPECT_GT(std::stoull(counted[3]), 0u);
}

} // namespace
} // namespace vpisd::gateway::mqtt_test
