// Each polled PLC's health on MQTT and in /metrics: <plc>/status follows a PLC that falls silent
// and comes back while its neighbour stays online, a demoted PLC's /set is answered at once and
// never written later, the polls and writes are counted per PLC, and the statuses are retained
// and published again when the broker comes back.
#include <gtest/gtest.h>

#include <thread>

#include "mqtt_fixture.h"

namespace vpisd::gateway::mqtt_test {
namespace {

using test::HttpRequest;
using test::MetricSample;

const std::string kP1 = "vpisd/north/P1/status";
const std::string kP2 = "vpisd/north/P2/status";

std::vector<std::string> Payloads(const Subscriber &subscriber, const std::string &topic) {
    std::vector<std::string> payloads;
    for (const Message &message : subscriber.On(topic))
        payloads.push_back(message.payload);
    return payloads;
}

TEST(MqttPlcStatus, SilentPlcGoesOfflineAloneAndComesBack) {
    Plant plant;
    plant.sim().SetRegister("P1", 100, 11);
    plant.sim().SetRegister("P2", 200, 22);
    const uint16_t http = FreePort();
    // A hold of 3 s: long enough for the /set below to arrive within it on a loaded machine,
    // short enough for the recovery.
    plant.SetLineKeys("demote_s = 3\n");
    Subscriber first(plant.broker().port(), "vpisd/#");
    plant.StartGateway("discovery_prefix = \"homeassistant\"\n"
                       "[[poll]]\nline = \"north\"\nplc = \"P1\"\nregisters = \"100\"\n"
                       "interval_ms = 100\n"
                       "[[poll]]\nline = \"north\"\nplc = \"P2\"\nregisters = \"200\"\n"
                       "interval_ms = 100\n"
                       "\n[http]\nlisten = \"127.0.0.1:" +
                       std::to_string(http) + "\"\n");
    ASSERT_TRUE(first.WaitFor(kP1, IsPayload("online"))) << plant.GatewayLog();
    ASSERT_TRUE(first.WaitFor(kP2, IsPayload("online"))) << plant.GatewayLog();

    ASSERT_EQ(plant.sim().Control("fault P2 any silence").rfind("OK", 0), 0u);
    ASSERT_TRUE(first.WaitFor(kP2, IsPayload("offline"), 60s)) << plant.GatewayLog();
    EXPECT_TRUE(first.WaitFor("vpisd/north/P2/200", IsValue(22, "no_answer"), 5s));

    // Demoted: the write is answered at once, without the line.
    const auto asked = std::chrono::steady_clock::now();
    first.Publish("vpisd/north/P2/200/set", "77");
    const auto result = first.WaitFor(
        "vpisd/north/P2/200/set/result", [](const Message &) { return true; }, 30s);
    ASSERT_TRUE(result) << plant.GatewayLog();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - asked);
    EXPECT_EQ(result->payload, "no_answer");
    const std::vector<std::string> reason = Payloads(first, "vpisd/north/P2/200/set/reason");
    ASSERT_EQ(reason.size(), 1u);
    EXPECT_NE(reason[0].find("demoted"), std::string::npos)
        << reason[0] << " (answered after " << took.count() << " ms)";

    const std::string metrics = HttpRequest(http, "GET", "/metrics").body;
    EXPECT_EQ(test::PromtoolProblems(plant.dir(), metrics), "");
    struct Count {
        const char *series;
        double least;
        double most;
    };
    const Count counts[] = {
        {R"(vpisd_mqtt_polls_total{line="north",plc="P1",quality="good"})", 1, 1e9},
        {R"(vpisd_mqtt_polls_total{line="north",plc="P1",quality="no_answer"})", 0, 0},
        {R"(vpisd_mqtt_polls_total{line="north",plc="P2",quality="good"})", 1, 1e9},
        {R"(vpisd_mqtt_polls_total{line="north",plc="P2",quality="no_answer"})", 1, 1e9},
        {R"(vpisd_mqtt_polls_total{line="north",plc="P2",quality="refused"})", 0, 0},
        {R"(vpisd_mqtt_writes_total{line="north",plc="P2",result="no_answer"})", 1, 1},
        {R"(vpisd_mqtt_writes_total{line="north",plc="P2",result="ok"})", 0, 0},
    };
    for (const Count &count : counts) {
        const std::optional<double> value = MetricSample(metrics, count.series);
        ASSERT_TRUE(value) << count.series << "\n" << metrics;
        EXPECT_GE(*value, count.least) << count.series;
        EXPECT_LE(*value, count.most) << count.series;
    }
    // Told once each: no "offline" before the first answer, nothing more while P2 stays silent.
    EXPECT_EQ(Payloads(first, kP1), std::vector<std::string>{"online"});
    EXPECT_EQ(Payloads(first, kP2), (std::vector<std::string>{"online", "offline"}));

    // A broker that lost everything gets the statuses again at the gateway's reconnect, kept
    // for a subscriber that comes later.
    plant.broker().Stop();
    plant.broker().Start();
    Subscriber second(plant.broker().port(), "vpisd/#");
    ASSERT_TRUE(second.WaitFor(kP2, IsPayload("offline"), 60s)) << plant.GatewayLog();
    {
        Subscriber late(plant.broker().port(), "vpisd/+/+/status");
        for (const auto &[topic, payload] : {std::pair{kP1, "online"}, std::pair{kP2, "offline"}}) {
            const auto kept = late.WaitFor(topic, IsPayload(payload), 10s);
            ASSERT_TRUE(kept) << topic;
            EXPECT_TRUE(kept->retained) << topic;
        }
    }

    // Back within the hold in force and one transaction; the write was never made.
    const size_t from = second.Count();
    plant.sim().ClearFaults();
    ASSERT_TRUE(second.WaitFor(kP2, IsPayload("online"), 60s, from)) << plant.GatewayLog();
    EXPECT_TRUE(second.WaitFor("vpisd/north/P2/200", IsValue(22), 30s, from));
    EXPECT_EQ(plant.sim().Register("P2", 200), 22);

    // The gateway's stop leaves every status offline.
    ASSERT_EQ(plant.StopGateway(), 0);
    EXPECT_TRUE(second.WaitFor(kP1, IsPayload("offline"), 15s));
    EXPECT_TRUE(second.WaitFor(kP2, IsPayload("offline"), 15s, from));
}

} // namespace
} // namespace vpisd::gateway::mqtt_test
