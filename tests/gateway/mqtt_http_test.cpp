// The MQTT side on the HTTP status endpoint: each line's broker connection and publishes in
// /metrics and status.json, following the broker as it goes away.
#include <gtest/gtest.h>

#include <thread>

#include "mqtt_fixture.h"

namespace vpisd::gateway::mqtt_test {
namespace {

using test::HttpRequest;

// status.json once `test` accepts it; null when it never does within `timeout`.
Json WaitForStatus(uint16_t port, const std::function<bool(const Json &)> &test,
                   std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < until) {
        const test::HttpAnswer answer = HttpRequest(port, "GET", "/status.json", 5000);
        if (answer.status == 200) {
            Json status = Json::parse(answer.body, nullptr, false);
            if (test(status))
                return status;
        }
        std::this_thread::sleep_for(100ms);
    }
    return nullptr;
}

TEST(MqttHttp, BrokerConnectionAndPublishesInMetricsAndStatus) {
    Plant plant;
    const uint16_t http = FreePort();
    plant.StartGateway("[[poll]]\nline = \"north\"\nplc = \"P1\"\nregisters = \"100\"\n"
                       "interval_ms = 100\n\n[http]\nlisten = \"127.0.0.1:" +
                       std::to_string(http) + "\"\n");
    const auto connected = [](bool up) {
        return [up](const Json &s) { return s.is_object() && s["mqtt"]["connected"] == up; };
    };
    Json status = WaitForStatus(http, connected(true), 15s);
    ASSERT_FALSE(status.is_null()) << plant.GatewayLog();
    EXPECT_EQ(status["mqtt"]["broker"], "127.0.0.1:" + std::to_string(plant.broker().port()));
    EXPECT_EQ(status["mqtt"]["last_error"], nullptr);

    std::string metrics = HttpRequest(http, "GET", "/metrics").body;
    EXPECT_EQ(test::PromtoolProblems(plant.dir(), metrics), "");
    EXPECT_NE(metrics.find("vpisd_mqtt_connected{line=\"north\"} 1\n"), std::string::npos)
        << metrics;
    const std::string publishes = "vpisd_mqtt_publishes_total{line=\"north\"} ";
    ASSERT_NE(metrics.find(publishes), std::string::npos) << metrics;
    EXPECT_GT(std::stoull(metrics.substr(metrics.find(publishes) + publishes.size())), 0U);

    plant.broker().Stop();
    status = WaitForStatus(http, connected(false), 15s);
    ASSERT_FALSE(status.is_null()) << plant.GatewayLog();
    EXPECT_TRUE(status["mqtt"]["last_error"].is_string());
    metrics = HttpRequest(http, "GET", "/metrics").body;
    EXPECT_NE(metrics.find("vpisd_mqtt_connected{line=\"north\"} 0\n"), std::string::npos)
        << metrics;
}

} // namespace
} // namespace vpisd::gateway::mqtt_test
