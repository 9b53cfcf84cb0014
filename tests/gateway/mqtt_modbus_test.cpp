// Modbus clients and MQTT polling on one line at once: both are served, and a write from
// either side shows on the other; a gateway without [[unit]] serves MQTT alone.
#include <gtest/gtest.h>
#include <modbus/modbus.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

// A write through MQTT replaces what the line keeps for `max_age_ms`, whatever case its topic
// spells the PLC name in: the next Modbus read answers the written value, not the stored one.
TEST(MqttWithModbus, WriteFromMqttReplacesStoredValues) {
    Plant plant;
    plant.sim().SetRegister("P2", 160, 1);
    Subscriber subscriber(plant.broker().port(), "vpisd/#");
    plant.StartGateway("", "", "max_age_ms = 600000\n"); // unit 2, P2
    ASSERT_TRUE(subscriber.WaitFor("vpisd/north/status", IsPayload("online")))
        << plant.GatewayLog();
    modbus_t *ctx = ConnectModbus(plant.modbusPort());
    ASSERT_NE(ctx, nullptr) << plant.GatewayLog();
    modbus_set_slave(ctx, 2);
    uint16_t word = 0;
    EXPECT_EQ(modbus_read_registers(ctx, 159, 1, &word), 1);
    EXPECT_EQ(word, 1);
    const std::pair<const char *, uint16_t> writes[] = {{"p2", 7}, {"P2", 8}};
    for (const auto &[plc, value] : writes) {
        SCOPED_TRACE(plc);
        const std::string set = std::string("vpisd/north/") + plc + "/160/set";
        const size_t from = subscriber.Count();
        subscriber.Publish(set, std::to_string(value));
        EXPECT_TRUE(subscriber.WaitFor(set + "/result", IsPayload("ok"), 15s, from))
            << plant.GatewayLog();
        EXPECT_EQ(plant.sim().Register("P2", 160), value);
        word = 0;
        EXPECT_EQ(modbus_read_registers(ctx, 159, 1, &word), 1);
        EXPECT_EQ(word, value);
    }
    modbus_close(ctx);
    modbus_free(ctx);
}

// Whether something accepts TCP connections on 127.0.0.1:`port`.
bool Listening(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

// `config` without its [[unit]] tables.
std::string WithoutUnits(std::string config) {
    const size_t units = config.find("\n[[unit]]");
    if (units != std::string::npos)
        config.erase(units, config.find("\n[mqtt]") - units);
    return config;
}

// Without [[unit]] the gateway opens no Modbus port (the listen address stays free), says so
// at start, and still polls for MQTT; at exit it reports the MQTT statistics alone.
TEST(MqttWithModbus, NoUnitsOpensNoModbusPort) {
    Plant plant;
    plant.sim().SetRegister("P1", 100, 42);
    Subscriber subscriber(plant.broker().port(), "vpisd/#");
    const std::string config = WithoutUnits(
        plant.ConfigText("[[poll]]\nline = \"north\"\nplc = \"P1\"\nregisters = \"100\"\n"));
    const std::string path = plant.dir().Write("mqtt-only.toml", config);
    ChildProcess gateway(VPISD_GATEWAY_PATH,
                         std::vector<std::string>{"--lib", VPISD_LIBRARY_PATH, "--config", path});
    const auto log = [&] { return gateway.sofar().err; };

    ASSERT_TRUE(subscriber.WaitFor("vpisd/north/P1/100", IsValue(42))) << log();
    EXPECT_FALSE(Listening(plant.modbusPort())) << log();
    EXPECT_TRUE(gateway.WaitForError("no [[unit]]: Modbus TCP is not served, no port opened", 5000))
        << log();
    gateway.Signal(SIGTERM);
    const vpisd::test::ChildResult result = gateway.Finish(15000);
    EXPECT_EQ(result.exitCode, 0);
    const std::string text = result.err;
    EXPECT_EQ(text.find("listening on"), std::string::npos) << text;
    EXPECT_NE(text.find("statistics: mqtt: publishes"), std::string::npos) << text;
    EXPECT_EQ(text.find("statistics: line:"), std::string::npos) << text;
}

// A reload that removes every [[unit]] closes the Modbus port and its connections while MQTT
// goes on; one that brings a unit back opens the port again.
TEST(MqttWithModbus, ReloadOpensTheModbusPortOnlyWhileAUnitIsConfigured) {
    Plant plant;
    plant.sim().SetRegister("P1", 100, 42);
    const std::string with =
        plant.ConfigText("[[poll]]\nline = \"north\"\nplc = \"P1\"\nregisters = \"100\"\n");
    const std::string path = plant.dir().Write("reload.toml", with);
    ChildProcess gateway(VPISD_GATEWAY_PATH,
                         std::vector<std::string>{"--lib", VPISD_LIBRARY_PATH, "--config", path});
    const auto reload = [&](const std::string &config, const std::string &logged) {
        plant.dir().Write("reload.toml", config);
        gateway.Signal(SIGHUP);
        return gateway.WaitForError(logged, 15000);
    };
    const auto readsBack = [&] {
        modbus_t *ctx = ConnectModbus(plant.modbusPort());
        uint16_t value = 0;
        const bool read = ctx != nullptr && modbus_read_registers(ctx, 99, 1, &value) == 1;
        if (ctx != nullptr) {
            modbus_close(ctx);
            modbus_free(ctx);
        }
        return read && value == 42;
    };
    modbus_t *kept = ConnectModbus(plant.modbusPort());
    ASSERT_NE(kept, nullptr) << gateway.sofar().err;
    uint16_t value = 0;
    EXPECT_EQ(modbus_read_registers(kept, 99, 1, &value), 1);

    ASSERT_TRUE(reload(WithoutUnits(with), "0 units")) << gateway.sofar().err;
    EXPECT_NE(gateway.sofar().err.find("no [[unit]]: Modbus TCP is no longer served"),
              std::string::npos);
    // Closed by the gateway, not left to the client's timeout.
    EXPECT_EQ(modbus_read_registers(kept, 99, 1, &value), -1);
    EXPECT_NE(errno, ETIMEDOUT) << modbus_strerror(errno);
    modbus_close(kept);
    modbus_free(kept);
    EXPECT_FALSE(Listening(plant.modbusPort()));

    ASSERT_TRUE(reload(with, "2 units")) << gateway.sofar().err;
    EXPECT_TRUE(readsBack()) << gateway.sofar().err;
    gateway.Signal(SIGTERM);
    EXPECT_EQ(gateway.Finish(15000).exitCode, 0);
}

} // namespace
} // namespace vpisd::gateway::mqtt_test
