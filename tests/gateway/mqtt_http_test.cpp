// The MQTT side on the HTTP status endpoint: each line's broker connection and publishes in
// /metrics and status.json, the Sparkplug edge node on the status page, following the broker as
// it goes away.
#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "mqtt_fixture.h"

namespace vpisd::gateway::mqtt_test {
namespace {

using test::CellsFrom;
using test::HttpRequest;
using test::RenderedPage;

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

// The Sparkplug row of the status page as headless Chromium renders it: the broker, the "up"
// badge, the session's bdSeq and the messages by type; then "down" with the reason once the
// broker has gone, the births counted kept (bdSeq goes on with each attempt to connect again).
TEST(MqttHttp, StatusPageShowsTheSparkplugEdgeNode) {
    Plant plant;
    plant.WithoutMqtt();
    const uint16_t http = FreePort();
    const std::string broker = "127.0.0.1:" + std::to_string(plant.broker().port());
    plant.StartGateway("[sparkplug]\nbroker = \"" + broker +
                       "\"\ngroup_id = \"plant\"\nedge_node_id = \"gw1\"\n\n"
                       "[[poll]]\nline = \"north\"\nplc = \"P1\"\nregisters = \"100\"\n"
                       "interval_ms = 100\n\n[http]\nlisten = \"127.0.0.1:" +
                       std::to_string(http) + "\"\n");
    struct Phase {
        const char *what;
        std::function<void()> before;
        bool connected;
        std::string bdSeq;     // the cell, as a regex
        std::string lastError; // the cell, as a regex
    };
    const std::string port = std::to_string(plant.broker().port());
    const Phase phases[] = {
        {"connected", [] {}, true, "bdSeq 0", ""},
        {"broker stopped", [&] { plant.broker().Stop(); }, false, R"(bdSeq \d+)",
         R"(last error: (connection to the broker lost|broker 127\.0\.0\.1:)" + port +
             R"( not reached \(.+\)))"},
    };
    for (const Phase &phase : phases) {
        SCOPED_TRACE(phase.what);
        phase.before();
        const Json status = WaitForStatus(
            http,
            [&](const Json &s) {
                return s.is_object() && s["sparkplug"].is_object() &&
                       s["sparkplug"]["connected"] == phase.connected &&
                       s["sparkplug"]["messages"].value("DBIRTH", 0) > 0 &&
                       s["sparkplug"]["last_error"].is_string() != phase.connected;
            },
            15s);
        ASSERT_FALSE(status.is_null()) << plant.GatewayLog();
        const std::string dom = RenderedPage(plant.dir(), http);
        // broker, badge, bdSeq, messages, last error
        const auto cells = CellsFrom(dom, "<div id=\"sparkplug\"");
        ASSERT_EQ(cells.size(), 5U) << dom;
        EXPECT_EQ(cells[0], "broker " + broker);
        EXPECT_EQ(cells[1], phase.connected ? "up" : "down");
        const std::string badge =
            std::string("<span class=\"state ") + (phase.connected ? "up" : "down") + "\"";
        EXPECT_NE(dom.find(badge, dom.find("<div id=\"sparkplug\"")), std::string::npos)
            << "the badge in its colour";
        EXPECT_TRUE(std::regex_match(cells[2], std::regex(phase.bdSeq))) << cells[2];
        for (const char *birth : {"NBIRTH 1", "DBIRTH 1"}) { // the node's and P1's, once each
            EXPECT_TRUE(
                std::regex_search(cells[3], std::regex(std::string("(^|, )") + birth + "(, |$)")))
                << cells[3];
        }
        EXPECT_TRUE(std::regex_match(cells[4], std::regex(phase.lastError))) << cells[4];
    }
}

} // namespace
} // namespace vpisd::gateway::mqtt_test
