// What --check says a good file serves: lines and units always, then poll groups, the MQTT
// broker and the HTTP endpoint only when the file has them.
#include "gateway/config/config.h"

#include <gtest/gtest.h>

#include <functional>

namespace vpisd::gateway {
namespace {

TEST(ConfigSummary, NamesWhatTheFileServes) {
    struct Case {
        const char *name;
        std::function<void(Config &)> make;
        const char *summary;
    };
    const auto lines = [](Config &c, size_t n) { c.lines.resize(n); };
    const auto units = [](Config &c, size_t n) { c.units.resize(n); };
    const Case cases[] = {
        {"as installed", [](Config &) {}, "0 lines, 0 units"},
        {"one of each",
         [&](Config &c) {
             lines(c, 1);
             units(c, 1);
         },
         "1 line, 1 unit"},
        {"Modbus only",
         [&](Config &c) {
             lines(c, 2);
             units(c, 3);
         },
         "2 lines, 3 units"},
        {"MQTT without units",
         [&](Config &c) {
             lines(c, 1);
             c.polls.resize(3);
             c.mqtt = MqttConfig{};
         },
         "1 line, 0 units, 3 poll groups, MQTT to 127.0.0.1:1883"},
        {"one poll group, the broker over TLS on IPv6",
         [&](Config &c) {
             lines(c, 1);
             c.polls.resize(1);
             c.mqtt.emplace();
             c.mqtt->host = "::1";
             c.mqtt->port = 8883;
             c.mqtt->cafile = "/etc/vpisd/ca.pem";
         },
         "1 line, 0 units, 1 poll group, MQTT to [::1]:8883 over TLS"},
        {"MQTT and HTTP",
         [&](Config &c) {
             lines(c, 2);
             units(c, 2);
             c.polls.resize(2);
             c.mqtt.emplace();
             c.mqtt->host = "broker.plant";
             c.http.emplace();
             c.http->listenHost = "0.0.0.0";
         },
         "2 lines, 2 units, 2 poll groups, MQTT to broker.plant:1883, HTTP on 0.0.0.0:8080"},
        {"Sparkplug B beside MQTT",
         [&](Config &c) {
             lines(c, 1);
             c.polls.resize(2);
             c.mqtt.emplace();
             c.sparkplug.emplace();
             c.sparkplug->groupId = "plant";
             c.sparkplug->edgeNodeId = "gw1";
             c.sparkplug->host = "broker.plant";
             c.sparkplug->port = 8883;
             c.sparkplug->cafile = "/etc/vpisd/ca.pem";
         },
         "1 line, 0 units, 2 poll groups, MQTT to 127.0.0.1:1883, Sparkplug B edge node plant/gw1 "
         "to broker.plant:8883 over TLS"},
        {"HTTP on any free port",
         [&](Config &c) {
             lines(c, 1);
             units(c, 1);
             c.http.emplace();
             c.http->listenHost = "::";
             c.http->listenPort = 0;
         },
         "1 line, 1 unit, HTTP on [::]:0 (any free port)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Config config;
        c.make(config);
        EXPECT_EQ(Summary(config), c.summary);
    }
}

} // namespace
} // namespace vpisd::gateway
