// Home Assistant discovery: the config of each polled value field by field, and the configs of
// values no longer polled cleared at the next start, those of other gateways left alone.
#include <gtest/gtest.h>

#include <thread>

#include "mqtt_fixture.h"

namespace vpisd::gateway::mqtt_test {
namespace {

const std::string kDevice = "vpisd_vpisd-test_north_";

std::string Groups(bool withP2) {
    std::string groups =
        "[[poll]]\nline = \"north\"\nplc = \"P1\"\nregisters = \"100\"\ninterval_ms = 100\n"
        "type = \"int16\"\nscale = 0.1\nnames = { \"100\" = \"tank1/temp\" }\n"
        "unit_of_measurement = \"°C\"\ndevice_class = \"temperature\"\n"
        "[[poll]]\nline = \"north\"\nplc = \"P1\"\nregisters = \"101F\"\ninterval_ms = 100\n"
        "type = \"float32\"\n"
        "[[poll]]\nline = \"north\"\nplc = \"P1\"\nregisters = \"103/1\"\ninterval_ms = 100\n";
    if (withP2)
        groups +=
            "[[poll]]\nline = \"north\"\nplc = \"P2\"\nregisters = \"200\"\ninterval_ms = 100\n"
            "[[poll]]\nline = \"north\"\nplc = \"P2\"\nregisters = \"201/2\"\ninterval_ms = 100\n";
    return groups;
}

TEST(MqttDiscovery, ConfigOfEachValueFieldByField) {
    Plant plant;
    Subscriber subscriber(plant.broker().port(), "homeassistant/#");
    // P2 is served by a read-only unit: its values are a sensor and a binary_sensor.
    plant.StartGateway("discovery_prefix = \"homeassistant\"\n" + Groups(true), "",
                       "read_only = true\n");
    const Json device = {{"identifiers", Json::array({kDevice + "P1"})},
                         {"name", "north P1"},
                         {"manufacturer", "vpisd"},
                         {"model", "SY/MAX PLC"},
                         {"sw_version", VPISD_VERSION}};
    // Available while the line's connection is up and the value's PLC answers.
    const auto availability = [](const std::string &plc) {
        const auto entry = [](const std::string &topic) {
            return Json{{"topic", topic},
                        {"payload_available", "online"},
                        {"payload_not_available", "offline"}};
        };
        return Json{{"availability", Json::array({entry("vpisd/north/status"),
                                                  entry("vpisd/north/" + plc + "/status")})},
                    {"availability_mode", "all"},
                    {"value_template", "{{ value_json.value }}"},
                    {"origin", {{"name", "vpisd"}, {"sw", VPISD_VERSION}}}};
    };
    struct Case {
        std::string topic;
        Json fields; // besides `availability`, and `device` of P1 or P2
        bool p2;
    };
    const Case cases[] = {
        {"homeassistant/number/" + kDevice + "P1/tank1_temp/config",
         {{"name", "tank1/temp"},
          {"unique_id", kDevice + "P1_tank1_temp"},
          {"state_topic", "vpisd/north/P1/tank1/temp"},
          {"command_topic", "vpisd/north/P1/tank1/temp/set"},
          {"min", -3276.8},
          {"max", 3276.7},
          {"step", 0.1},
          {"unit_of_measurement", "°C"},
          {"device_class", "temperature"}},
         false},
        {"homeassistant/number/" + kDevice + "P1/101F/config",
         {{"name", "101F"},
          {"unique_id", kDevice + "P1_101F"},
          {"state_topic", "vpisd/north/P1/101F"},
          {"command_topic", "vpisd/north/P1/101F/set"},
          {"min", -3.4028234663852886e+38},
          {"max", 3.4028234663852886e+38},
          {"step", 0.001}},
         false},
        {"homeassistant/switch/" + kDevice + "P1/103_1/config",
         {{"name", "103/1"},
          {"unique_id", kDevice + "P1_103_1"},
          {"state_topic", "vpisd/north/P1/103/1"},
          {"command_topic", "vpisd/north/P1/103/1/set"},
          {"payload_on", "1"},
          {"payload_off", "0"},
          {"state_on", "1"},
          {"state_off", "0"}},
         false},
        {"homeassistant/sensor/" + kDevice + "P2/200/config",
         {{"name", "200"},
          {"unique_id", kDevice + "P2_200"},
          {"state_topic", "vpisd/north/P2/200"},
          {"state_class", "measurement"}},
         true},
        {"homeassistant/binary_sensor/" + kDevice + "P2/201_2/config",
         {{"name", "201/2"},
          {"unique_id", kDevice + "P2_201_2"},
          {"state_topic", "vpisd/north/P2/201/2"},
          {"payload_on", "1"},
          {"payload_off", "0"}},
         true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.topic);
        const auto config = subscriber.WaitFor(c.topic, [](const Message &) { return true; });
        ASSERT_TRUE(config) << plant.GatewayLog();
        Json expected = c.fields;
        expected.update(availability(c.p2 ? "P2" : "P1"));
        expected["device"] = device;
        expected["device"]["identifiers"] = Json::array({kDevice + (c.p2 ? "P2" : "P1")});
        expected["device"]["name"] = c.p2 ? "north P2" : "north P1";
        const Json got = config->json();
        ASSERT_TRUE(got.is_object()) << config->payload;
        for (const auto &[key, value] : expected.items())
            EXPECT_EQ(got.value(key, Json()), value) << key;
        EXPECT_EQ(got.size(), expected.size()) << config->payload;
    }
    // Every value found its config and no other config was published.
    size_t configs = 0;
    for (const Case &c : cases)
        configs += subscriber.On(c.topic).size();
    EXPECT_EQ(configs, std::size(cases));
    EXPECT_EQ(subscriber.Count(), std::size(cases));
    // Kept by the broker for a dashboard that comes later.
    Subscriber late(plant.broker().port(), "homeassistant/#");
    const auto kept = late.WaitFor(cases[0].topic, [](const Message &) { return true; });
    ASSERT_TRUE(kept);
    EXPECT_TRUE(kept->retained);
}

TEST(MqttDiscovery, ConfigOfAValueNoLongerPolledClearedAtTheNextStart) {
    Plant plant;
    // A gateway whose client_id begins the same way keeps its config.
    const std::string other = "homeassistant/sensor/vpisd_vpisd-test_2_north_P2/200/config";
    {
        Subscriber publisher(plant.broker().port(), "unused/#");
        publisher.Publish(other, R"({"availability_topic":"vpisd/north/status"})", true);
        publisher.Publish("homeassistant/sensor/elsewhere/x/config", "{}", true);
        std::this_thread::sleep_for(500ms);
    }
    plant.StartGateway("discovery_prefix = \"homeassistant\"\n" + Groups(true));
    const std::string p2 = "homeassistant/number/" + kDevice + "P2/200/config";
    {
        Subscriber first(plant.broker().port(), "homeassistant/#");
        ASSERT_TRUE(first.WaitFor(p2, [](const Message &m) { return !m.payload.empty(); }))
            << plant.GatewayLog();
    }
    ASSERT_EQ(plant.StopGateway(), 0);

    Subscriber subscriber(plant.broker().port(), "homeassistant/#");
    plant.StartGateway("discovery_prefix = \"homeassistant\"\n" + Groups(false));
    const auto cleared = subscriber.WaitFor(p2, IsPayload(""));
    ASSERT_TRUE(cleared) << plant.GatewayLog();
    EXPECT_TRUE(
        subscriber.WaitFor("homeassistant/switch/" + kDevice + "P2/201_2/config", IsPayload("")));
    const auto kept = subscriber.WaitFor("homeassistant/number/" + kDevice + "P1/tank1_temp/config",
                                         [](const Message &m) { return !m.payload.empty(); });
    EXPECT_TRUE(kept);
    // A later subscriber finds the configs of the values polled now, and the other gateway's.
    Subscriber late(plant.broker().port(), "homeassistant/#");
    EXPECT_TRUE(late.WaitFor(
        other, [](const Message &m) { return !m.payload.empty(); }, 5s));
    EXPECT_TRUE(late.WaitFor("homeassistant/sensor/elsewhere/x/config", IsPayload("{}"), 5s));
    EXPECT_TRUE(late.On(p2).empty());
    EXPECT_NE(plant.GatewayLog().find("mqtt discovery config " + p2 + " cleared"),
              std::string::npos);
}

} // namespace
} // namespace vpisd::gateway::mqtt_test
