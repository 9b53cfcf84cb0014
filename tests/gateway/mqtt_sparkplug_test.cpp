// The gateway as a Sparkplug B edge node, through the real vpisd-gateway, the simulator and a
// real mosquitto, every payload decoded by Eclipse Tahu's own codec: births in order with every
// metric typed, DDATA with only what changed, seq running and wrapping, a rebirth on NCMD, a
// DCMD write landing in the PLC, DDEATH and DBIRTH following a silent PLC, bdSeq across a broker
// restart, NDEATH on SIGTERM and as the will after SIGKILL, the primary host's STATE, one read of
// a group for both faces.
#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <thread>

#include "mqtt_fixture.h"
#include "sparkplug_wire.h"
#include "tahu_codec.h"

namespace vpisd::gateway::mqtt_test {
namespace {

using test::HttpRequest;
using test::MetricSample;

std::string NodeTopic(const std::string &type) {
    return "spBv1.0/plant/" + type + "/gw1";
}
std::string DeviceTopic(const std::string &type, const std::string &device) {
    return NodeTopic(type) + "/" + device;
}

// Metrics as their wire bytes, as a broker message carries them.
std::string WireText(const std::vector<vpisd::test::WireMetric> &metrics) {
    const std::vector<uint8_t> bytes = vpisd::test::WirePayload(metrics);
    return {bytes.begin(), bytes.end()};
}

std::string SparkplugTable(Plant &plant, const std::string &keys = "") {
    return "[sparkplug]\nbroker = \"127.0.0.1:" + std::to_string(plant.broker().port()) +
           "\"\ngroup_id = \"plant\"\nedge_node_id = \"gw1\"\n" + keys + "\n";
}

std::string Poll(const std::string &plc, const std::string &registers,
                 const std::string &keys = "") {
    return "[[poll]]\nline = \"north\"\nplc = \"" + plc + "\"\nregisters = \"" + registers +
           "\"\ninterval_ms = 50\n" + keys;
}

// A message and Tahu's JSON of its payload.
struct Decoded {
    Message message;
    Json payload;
    std::string type; // NBIRTH, DDATA, ...
    std::string device;
};

std::vector<Decoded> Decode(const std::vector<Message> &messages) {
    std::vector<std::vector<uint8_t>> payloads;
    std::vector<Message> sparkplug;
    for (const Message &m : messages) {
        if (m.topic.starts_with("spBv1.0/plant/")) {
            sparkplug.push_back(m);
            payloads.emplace_back(m.payload.begin(), m.payload.end());
        }
    }
    const std::vector<Json> json = vpisd::test::TahuDecode(payloads);
    std::vector<Decoded> out;
    for (size_t i = 0; i < sparkplug.size(); ++i) {
        Decoded d{sparkplug[i], i < json.size() ? json[i] : Json(), "", ""};
        const std::string rest = d.message.topic.substr(std::string("spBv1.0/plant/").size());
        d.type = rest.substr(0, rest.find('/'));
        const size_t node = rest.find("/gw1/");
        d.device = node == std::string::npos ? "" : rest.substr(node + 5);
        out.push_back(std::move(d));
    }
    return out;
}

const Json *MetricOf(const Json &payload, const std::string &name) {
    if (!payload.is_object() || !payload.contains("metrics"))
        return nullptr;
    for (const Json &metric : payload["metrics"]) {
        if (metric.value("name", "") == name)
            return &metric;
    }
    return nullptr;
}

std::vector<std::string> MetricNames(const Json &payload) {
    std::vector<std::string> names;
    if (payload.is_object() && payload.contains("metrics")) {
        for (const Json &metric : payload["metrics"])
            names.push_back(metric.value("name", ""));
    }
    return names;
}

// The bdSeq metric of an NBIRTH or NDEATH ("0", "1", ...), or "none".
std::string BdSeqOf(const Json &payload) {
    const Json *metric = MetricOf(payload, "bdSeq");
    if (metric == nullptr || !metric->contains("value"))
        return "none";
    return (*metric)["value"].is_string() ? (*metric)["value"].get<std::string>()
                                          : (*metric)["value"].dump();
}

std::string SeqOf(const Decoded &d) {
    return d.payload.is_object() && d.payload.contains("seq") ? d.payload["seq"].dump() : "none";
}

bool Any(const Message &) {
    return true;
}

// A command payload encoded by Tahu, as a host application would send it.
std::string Command(const Json &metrics) {
    const auto encoded = vpisd::test::TahuEncode({Json{{"timestamp", 1}, {"metrics", metrics}}});
    return encoded.empty() ? "" : std::string(encoded[0].begin(), encoded[0].end());
}

std::string Rebirth() {
    return Command(
        Json::array({{{"name", "Node Control/Rebirth"}, {"type", "Boolean"}, {"value", true}}}));
}

// seq of every message but NDEATH: 0 at each NBIRTH, then one more each time, 255 -> 0.
// Empty when the run holds, else where it broke.
std::string SeqBreak(const std::vector<Decoded> &messages) {
    std::optional<int> last;
    for (size_t i = 0; i < messages.size(); ++i) {
        const Decoded &d = messages[i];
        if (d.type == "NDEATH" || d.type == "NCMD" || d.type == "DCMD" || d.type == "STATE")
            continue;
        if (!d.payload.contains("seq"))
            return "message " + std::to_string(i) + " (" + d.type + ") has no seq";
        const int seq = std::stoi(d.payload["seq"].get<std::string>());
        const int expected = d.type == "NBIRTH" ? 0 : last ? (*last + 1) % 256 : -1;
        if (seq != expected)
            return "message " + std::to_string(i) + " (" + d.type + " " + d.device + ") seq " +
                   std::to_string(seq) + ", expected " + std::to_string(expected);
        last = seq;
    }
    return "";
}

// Every test here decodes what the gateway sent with Tahu's own codec: without it each fails,
// naming what is missing.
class Sparkplug : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const std::string missing = vpisd::test::TahuMissing(); !missing.empty())
            GTEST_FAIL() << missing;
    }
};

// One run from its births to a write: what each birth holds, DDATA with only what changed, a
// rebirth on request, a DCMD landing in the PLC and coming back in DDATA, seq running and
// wrapping, and the faces that show the session.
TEST_F(Sparkplug, BirthsDataRebirthWriteAndSeqInOrder) {
    Plant plant;
    plant.WithoutMqtt();
    plant.sim().SetRegister("P1", 100, 65531); // -5 as int16
    plant.sim().SetRegister("P1", 101, 7);
    plant.sim().SetRegister("P1", 102, 215);    // 21.5 scaled
    plant.sim().SetRegister("P1", 103, 0x0004); // bit 3 set
    plant.sim().SetRegister("P1", 104, 0xFFFF); // 104: high word first, -2 as int32
    plant.sim().SetRegister("P1", 105, 0xFFFE);
    plant.sim().SetRegister("P2", 200, 40000);
    const uint16_t http = FreePort();
    Subscriber subscriber(plant.broker().port(), "spBv1.0/#");
    plant.StartGateway(
        SparkplugTable(plant) +
        Poll("P1", "100:2", "type = \"int16\"\nnames = { \"101\" = \"tank/level\" }\n") +
        Poll("P1", "102", "scale = 0.1\n") + Poll("P1", "103/3") +
        Poll("P1", "104:2", "type = \"int32\"\n") + Poll("P2", "200") +
        "\n[http]\nlisten = \"127.0.0.1:" + std::to_string(http) + "\"\n");
    ASSERT_TRUE(subscriber.WaitFor(DeviceTopic("DBIRTH", "north.P2"), Any)) << plant.GatewayLog();
    ASSERT_TRUE(subscriber.WaitFor(DeviceTopic("DBIRTH", "north.P1"), Any)) << plant.GatewayLog();

    plant.sim().SetRegister("P1", 100, 65526); // -10: DDATA with that metric alone
    ASSERT_TRUE(subscriber.WaitFor(DeviceTopic("DDATA", "north.P1"), Any)) << plant.GatewayLog();
    const size_t rebirthFrom = subscriber.Count();
    subscriber.Publish(NodeTopic("NCMD"), Rebirth());
    ASSERT_TRUE(subscriber.WaitFor(DeviceTopic("DBIRTH", "north.P2"), Any, 15s, rebirthFrom))
        << plant.GatewayLog();
    ASSERT_TRUE(subscriber.WaitFor(DeviceTopic("DBIRTH", "north.P1"), Any, 15s, rebirthFrom))
        << plant.GatewayLog();

    // A write of the scaled metric in its published units and of the named one; before them,
    // a value in another field than its datatype's, refused: P2 200 keeps 40000.
    const size_t writeFrom = subscriber.Count();
    subscriber.Publish(DeviceTopic("DCMD", "north.P2"),
                       WireText({{.name = "200",
                                  .datatype = 6, // UInt16
                                  .field = sparkplug::ValueField::Double,
                                  .real = 55.0}}));
    subscriber.Publish(
        DeviceTopic("DCMD", "north.P1"),
        Command(Json::array({{{"name", "102"}, {"type", "Double"}, {"value", 30.2}},
                             {{"name", "tank/level"}, {"type", "Int16"}, {"value", -3}}})));
    for (const std::string name : {"102", "tank/level"}) {
        const auto isBack = [&](const Message &m) {
            const std::vector<Decoded> d = Decode({m});
            return !d.empty() && MetricOf(d[0].payload, name) != nullptr;
        };
        ASSERT_TRUE(subscriber.WaitFor(DeviceTopic("DDATA", "north.P1"), isBack, 15s, writeFrom))
            << name << "\n"
            << plant.GatewayLog();
    }
    EXPECT_EQ(plant.sim().Register("P1", 102), 302);
    EXPECT_EQ(plant.sim().Register("P1", 101), 65533);
    EXPECT_EQ(plant.sim().Register("P2", 200), 40000);
    EXPECT_NE(plant.GatewayLog().find(
                  "DCMD north.P2 200: not written (sent as UInt16 with its value in double_value)"),
              std::string::npos)
        << plant.GatewayLog();
    const std::vector<Message> afterWrite = subscriber.Since(writeFrom);

    // seq past 255: every polled value changes at every read until seq has wrapped since the
    // rebirth (its NBIRTH had seq 0).
    std::atomic<bool> stop{false};
    std::thread bump([&] {
        for (uint16_t v = 1; !stop; ++v) {
            for (const size_t reg : {size_t{100}, size_t{101}, size_t{102}, size_t{105}})
                plant.sim().SetRegister("P1", reg, v);
            plant.sim().SetRegister("P1", 103, (v & 1) != 0 ? 0x0004 : 0);
            plant.sim().SetRegister("P2", 200, v);
            std::this_thread::sleep_for(5ms);
        }
    });
    const size_t wrapped = rebirthFrom + 270;
    for (int i = 0; i < 1800 && subscriber.Count() < wrapped; ++i)
        std::this_thread::sleep_for(100ms);
    stop = true;
    bump.join();
    ASSERT_GE(subscriber.Count(), wrapped) << "seq did not get to wrap";

    const std::string metrics = HttpRequest(http, "GET", "/metrics").body;
    const Json status = Json::parse(HttpRequest(http, "GET", "/status.json").body, nullptr, false);
    const std::vector<Decoded> all = Decode(subscriber.Since());
    ASSERT_GE(all.size(), wrapped);

    // Births: NBIRTH first (seq 0, bdSeq 0, the rebirth control false), each device's DBIRTH
    // before its first DDATA.
    EXPECT_EQ(all[0].type, "NBIRTH");
    EXPECT_EQ(SeqOf(all[0]), "\"0\"");
    EXPECT_EQ(BdSeqOf(all[0].payload), "0");
    const Json *rebirth = MetricOf(all[0].payload, "Node Control/Rebirth");
    ASSERT_NE(rebirth, nullptr) << all[0].payload;
    EXPECT_EQ((*rebirth)["type"], "Boolean");
    EXPECT_EQ((*rebirth)["value"], false);
    EXPECT_EQ(SeqBreak(all), "");
    EXPECT_TRUE(std::any_of(all.begin(), all.end(), [](const Decoded &d) {
        return d.type != "NBIRTH" && SeqOf(d) == "\"0\"";
    })) << "seq went past 255 back to 0";
    for (const std::string device : {"north.P1", "north.P2"}) {
        const auto birth = std::find_if(all.begin(), all.end(), [&](const Decoded &d) {
            return d.type == "DBIRTH" && d.device == device;
        });
        const auto data = std::find_if(all.begin(), all.end(), [&](const Decoded &d) {
            return d.type == "DDATA" && d.device == device;
        });
        EXPECT_LT(birth - all.begin(), data - all.begin()) << device;
    }
    for (const Decoded &d : all) {
        if (d.type == "NCMD" || d.type == "DCMD")
            continue; // the test's own
        EXPECT_EQ(d.message.retained, false) << d.message.topic;
        if (d.type != "NDEATH") {
            EXPECT_EQ(d.message.qos, 0) << d.message.topic;
        }
    }

    struct MetricCase {
        const char *device;
        const char *name;
        const char *type;
        Json value; // in the first DBIRTH
    };
    const MetricCase births[] = {
        {"north.P1", "100", "Int16", -5},    {"north.P1", "tank/level", "Int16", 7},
        {"north.P1", "102", "Double", 21.5}, {"north.P1", "103/3", "Boolean", true},
        {"north.P1", "104", "Int32", -2},    {"north.P2", "200", "UInt16", 40000},
    };
    for (const MetricCase &c : births) {
        const auto birth = std::find_if(all.begin(), all.end(), [&](const Decoded &d) {
            return d.type == "DBIRTH" && d.device == c.device;
        });
        ASSERT_NE(birth, all.end()) << c.device;
        const Json *metric = MetricOf(birth->payload, c.name);
        ASSERT_NE(metric, nullptr) << c.name << " in " << birth->payload;
        EXPECT_EQ((*metric)["type"], c.type) << c.name;
        EXPECT_EQ((*metric)["value"], c.value) << c.name;
        EXPECT_TRUE(metric->contains("timestamp")) << c.name;
        EXPECT_EQ((*metric)["properties"]["Quality"]["value"], 192) << c.name;
    }
    const auto birthP1 = std::find_if(all.begin(), all.end(), [](const Decoded &d) {
        return d.type == "DBIRTH" && d.device == "north.P1";
    });
    EXPECT_EQ(MetricNames(birthP1->payload),
              (std::vector<std::string>{"100", "tank/level", "102", "103/3", "104"}));

    // The change: DDATA with metric 100 alone.
    const auto change = std::find_if(all.begin(), all.end(), [](const Decoded &d) {
        return d.type == "DDATA" && d.device == "north.P1";
    });
    ASSERT_NE(change, all.end());
    ASSERT_EQ(MetricNames(change->payload), std::vector<std::string>{"100"});
    EXPECT_EQ((*MetricOf(change->payload, "100"))["value"], -10);

    // The rebirth: NBIRTH with the same bdSeq at seq 0, then both DBIRTHs, P1's with -10.
    const auto again = std::find_if(all.begin() + 1, all.end(),
                                    [](const Decoded &d) { return d.type == "NBIRTH"; });
    ASSERT_NE(again, all.end());
    EXPECT_EQ(BdSeqOf(again->payload), "0");
    ASSERT_LT(again + 2, all.end());
    EXPECT_EQ(std::set<std::string>({(again + 1)->device, (again + 2)->device}),
              (std::set<std::string>{"north.P1", "north.P2"}));
    EXPECT_EQ(
        std::count_if(all.begin(), all.end(), [](const Decoded &d) { return d.type == "NBIRTH"; }),
        2);

    // The write came back: 102 = 30.2 and tank/level = -3 in DDATA.
    std::map<std::string, Json> back;
    for (const Decoded &d : Decode(afterWrite)) {
        if (d.type != "DDATA" || d.device != "north.P1")
            continue;
        for (const std::string name : {"102", "tank/level"}) {
            if (const Json *metric = MetricOf(d.payload, name))
                back[name] = (*metric)["value"];
        }
    }
    ASSERT_TRUE(back["102"].is_number());
    EXPECT_EQ(back["102"], 30.2) << "as the JSON side publishes it";
    EXPECT_EQ(back["tank/level"], -3);

    // The faces.
    EXPECT_EQ(test::PromtoolProblems(plant.dir(), metrics), "");
    EXPECT_EQ(MetricSample(metrics, "vpisd_sparkplug_connected"), 1.0) << metrics;
    EXPECT_EQ(MetricSample(metrics, R"(vpisd_sparkplug_messages_total{type="NBIRTH"})"), 2.0);
    EXPECT_EQ(MetricSample(metrics, R"(vpisd_sparkplug_messages_total{type="NCMD"})"), 1.0);
    EXPECT_EQ(MetricSample(metrics, R"(vpisd_sparkplug_messages_total{type="DCMD"})"), 2.0);
    ASSERT_TRUE(status.is_object());
    EXPECT_EQ(status["sparkplug"]["broker"], "127.0.0.1:" + std::to_string(plant.broker().port()));
    EXPECT_EQ(status["sparkplug"]["connected"], true);
    EXPECT_EQ(status["sparkplug"]["bdSeq"], 0);
    EXPECT_TRUE(status["sparkplug"]["last_error"].is_null());
    EXPECT_EQ(status["mqtt"], nullptr);
    EXPECT_NE(plant.GatewayLog().find("DCMD north.P1 tank/level = -3: ok"), std::string::npos)
        << plant.GatewayLog();

    // An NCMD of 2,000 rebirth requests (no datatype) and 100 unknown names, one of 1 MB: one
    // rebirth, one line for the names, none longer than a name cut to 200 characters.
    using sparkplug::ValueField;
    std::vector<vpisd::test::WireMetric> flood(
        2000, {.name = "Node Control/Rebirth", .field = ValueField::Boolean, .integer = 1});
    for (int i = 0; i < 100; ++i)
        flood.push_back({.name = i == 0 ? std::string(1 << 20, 'n') : "other" + std::to_string(i),
                         .field = ValueField::Boolean,
                         .integer = 1});
    const size_t floodFrom = subscriber.Count();
    subscriber.Publish(NodeTopic("NCMD"), WireText(flood));
    for (const std::string device : {"north.P1", "north.P2"})
        ASSERT_TRUE(subscriber.WaitFor(DeviceTopic("DBIRTH", device), Any, 15s, floodFrom))
            << plant.GatewayLog();

    // A flood of commands that cannot be carried out costs one line, the rest counted.
    Json unknown = Json::array();
    for (int i = 0; i < 20; ++i)
        unknown.push_back(
            {{"name", "nosuch" + std::to_string(i)}, {"type", "Int16"}, {"value", 1}});
    subscriber.Publish(DeviceTopic("DCMD", "north.P1"), Command(unknown));
    for (int i = 0; i < 600 && plant.GatewayLog().find("nosuch") == std::string::npos; ++i)
        std::this_thread::sleep_for(50ms);
    plant.StopGateway();
    ASSERT_TRUE(subscriber.WaitFor(NodeTopic("NDEATH"), Any, 15s, floodFrom));
    const std::vector<Message> afterFlood = subscriber.Since(floodFrom);
    EXPECT_EQ(std::count_if(afterFlood.begin(), afterFlood.end(),
                            [](const Message &m) { return m.topic == NodeTopic("NBIRTH"); }),
              1);
    const std::string log = plant.GatewayLog();
    EXPECT_EQ(Occurrences(log, "NCMD: 100 metrics ignored, the first \"" + std::string(200, 'n') +
                                   "...\": unknown"),
              1u);
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);)
        EXPECT_LT(line.size(), 600u) << line.substr(0, 300);
    EXPECT_EQ(Occurrences(log, "no such metric"), 1u) << log;
    EXPECT_NE(log.find("sparkplug commands: 19 more not written to north.P1"), std::string::npos)
        << log;
}

// A PLC that stops answering: its device dies alone (DDEATH), and is born again (DBIRTH with
// its values) when it answers; a write to it while it is silent is logged with its cause.
TEST_F(Sparkplug, DeviceDeathAndBirthFollowThePlc) {
    Plant plant;
    plant.WithoutMqtt();
    plant.SetLineKeys("demote_s = 1\n");
    plant.sim().SetRegister("P1", 100, 11);
    plant.sim().SetRegister("P2", 200, 22);
    Subscriber subscriber(plant.broker().port(), "spBv1.0/#");
    plant.StartGateway(SparkplugTable(plant) + Poll("P1", "100") + Poll("P2", "200"));
    ASSERT_TRUE(subscriber.WaitFor(DeviceTopic("DBIRTH", "north.P2"), Any)) << plant.GatewayLog();

    ASSERT_EQ(plant.sim().Control("fault P2 any silence").rfind("OK", 0), 0u);
    ASSERT_TRUE(subscriber.WaitFor(DeviceTopic("DDEATH", "north.P2"), Any, 60s))
        << plant.GatewayLog();
    subscriber.Publish(DeviceTopic("DCMD", "north.P2"),
                       Command(Json::array({{{"name", "200"}, {"type", "UInt16"}, {"value", 5}}})));
    const std::string refused = "DCMD north.P2 200 = 5: no_answer";
    for (int i = 0; i < 600 && plant.GatewayLog().find(refused) == std::string::npos; ++i)
        std::this_thread::sleep_for(50ms);
    EXPECT_NE(plant.GatewayLog().find(refused), std::string::npos) << plant.GatewayLog();
    const size_t deadAt = subscriber.Count();
    plant.sim().ClearFaults();
    const auto reborn = subscriber.WaitFor(DeviceTopic("DBIRTH", "north.P2"), Any, 60s, deadAt);
    ASSERT_TRUE(reborn) << plant.GatewayLog();

    const std::vector<Decoded> all = Decode(subscriber.Since());
    EXPECT_EQ(SeqBreak(all), "");
    size_t deaths = 0;
    for (const Decoded &d : all) {
        if (d.type == "DDEATH") {
            ++deaths;
            EXPECT_EQ(d.device, "north.P2");
            EXPECT_TRUE(d.payload.contains("timestamp"));
        }
    }
    EXPECT_EQ(deaths, 1u);
    const Json rebirth = Decode({*reborn})[0].payload;
    ASSERT_NE(MetricOf(rebirth, "200"), nullptr) << rebirth;
    EXPECT_EQ((*MetricOf(rebirth, "200"))["value"], 22);
    EXPECT_EQ(plant.sim().Register("P2", 200), 22) << "a write to a demoted PLC is never kept";
}

// NDEATH with the bdSeq of the session's NBIRTH: published on SIGTERM, and left to the broker as
// the will (QoS 1, not retained) after SIGKILL. A broker restart makes a new session with the
// next bdSeq, and so does a reload that changes [sparkplug].
TEST_F(Sparkplug, NodeDeathCarriesTheBdSeqOfItsBirth) {
    struct Case {
        int signal;
        bool reload; // [sparkplug] changed by a reload before the stop
        const char *bdSeq;
    };
    const Case cases[] = {{SIGTERM, true, "2"}, {SIGKILL, false, "1"}};
    const auto withBdSeq = [](const std::string &bdSeq) {
        return [bdSeq](const Message &m) {
            const std::vector<Decoded> d = Decode({m});
            return !d.empty() && BdSeqOf(d[0].payload) == bdSeq;
        };
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(strsignal(c.signal));
        Plant plant;
        plant.WithoutMqtt();
        auto subscriber = std::make_unique<Subscriber>(plant.broker().port(), "spBv1.0/#");
        plant.StartGateway(SparkplugTable(plant) + Poll("P1", "100"));
        ASSERT_TRUE(subscriber->WaitFor(DeviceTopic("DBIRTH", "north.P1"), Any))
            << plant.GatewayLog();

        plant.broker().Stop();
        plant.broker().Start();
        // The node's births after its reconnect may come before this subscriber is there:
        // a rebirth asked for until one with the next bdSeq is seen.
        subscriber = std::make_unique<Subscriber>(plant.broker().port(), "spBv1.0/#");
        std::optional<Message> born;
        for (int i = 0; i < 30 && !born; ++i) {
            subscriber->Publish(NodeTopic("NCMD"), Rebirth());
            born = subscriber->WaitFor(NodeTopic("NBIRTH"), withBdSeq("1"), 2s);
        }
        ASSERT_TRUE(born) << plant.GatewayLog();
        if (c.reload) {
            ASSERT_TRUE(plant.ReloadGateway(
                SparkplugTable(plant, "keepalive_s = 40\n") + Poll("P1", "100"), "", "reloaded"));
            EXPECT_TRUE(subscriber->WaitFor(NodeTopic("NDEATH"), withBdSeq("1")));
            EXPECT_TRUE(subscriber->WaitFor(NodeTopic("NBIRTH"), withBdSeq("2")))
                << plant.GatewayLog();
        }

        const size_t before = subscriber->Count();
        plant.StopGateway(c.signal);
        const auto death = subscriber->WaitFor(NodeTopic("NDEATH"), Any, 30s, before);
        ASSERT_TRUE(death);
        EXPECT_EQ(death->qos, 1);
        EXPECT_FALSE(death->retained);
        const std::vector<Decoded> decoded = Decode({*death});
        ASSERT_EQ(decoded.size(), 1u);
        EXPECT_EQ(BdSeqOf(decoded[0].payload), c.bdSeq) << decoded[0].payload;
        EXPECT_EQ(MetricNames(decoded[0].payload), std::vector<std::string>{"bdSeq"});
        EXPECT_EQ((*MetricOf(decoded[0].payload, "bdSeq"))["type"], "Int64");
        std::this_thread::sleep_for(500ms);
        const std::vector<Message> after = subscriber->Since(before);
        EXPECT_EQ(std::count_if(after.begin(), after.end(),
                                [](const Message &m) { return m.topic == NodeTopic("NDEATH"); }),
                  1)
            << "one NDEATH";
        if (c.signal == SIGTERM) {
            EXPECT_NE(plant.GatewayLog().find("NDEATH 1\n"), std::string::npos)
                << plant.GatewayLog();
        }
    }
}

// With primary_host_id: no birth until the host's STATE says online; an older STATE changes
// nothing; a newer offline makes the node publish NDEATH, connect again and wait, and the next
// online brings births with the next bdSeq.
TEST_F(Sparkplug, PrimaryHostStateGatesTheBirths) {
    Plant plant;
    plant.WithoutMqtt();
    Subscriber subscriber(plant.broker().port(), "spBv1.0/#");
    const std::string state = "spBv1.0/STATE/scada";
    plant.StartGateway(SparkplugTable(plant, "primary_host_id = \"scada\"\n") + Poll("P1", "100"));
    const auto connected = [&](size_t times) {
        for (int i = 0; i < 300; ++i) {
            if (Occurrences(plant.GatewayLog(), "connected to broker") >= times)
                return true;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    };
    ASSERT_TRUE(connected(1)) << plant.GatewayLog();
    // Connected and polling: still no birth after a while.
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(subscriber.On(NodeTopic("NBIRTH")).empty());

    subscriber.Publish(state, R"({"online": true, "timestamp": 1000})", true);
    ASSERT_TRUE(subscriber.WaitFor(DeviceTopic("DBIRTH", "north.P1"), Any)) << plant.GatewayLog();
    subscriber.Publish(state, R"({"online": false, "timestamp": 500})", true); // older
    subscriber.Publish(state, R"({"online": false, "timestamp": 2000})", true);
    ASSERT_TRUE(subscriber.WaitFor(NodeTopic("NDEATH"), Any)) << plant.GatewayLog();
    ASSERT_TRUE(connected(2)) << plant.GatewayLog();
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(subscriber.On(NodeTopic("NBIRTH")).size(), 1u) << "born again while offline";
    subscriber.Publish(state, R"({"online": true, "timestamp": 3000})", true);
    const auto again = [](const Message &m) {
        const std::vector<Decoded> d = Decode({m});
        return !d.empty() && BdSeqOf(d[0].payload) == "1";
    };
    ASSERT_TRUE(subscriber.WaitFor(NodeTopic("NBIRTH"), again)) << plant.GatewayLog();

    const std::vector<Decoded> all = Decode(subscriber.Since());
    std::vector<std::string> kinds;
    for (const Decoded &d : all) {
        if (d.type == "NBIRTH" || d.type == "NDEATH")
            kinds.push_back(d.type + " " + BdSeqOf(d.payload));
    }
    EXPECT_EQ(kinds, (std::vector<std::string>{"NBIRTH 0", "NDEATH 0", "NBIRTH 1"}));
    EXPECT_EQ(SeqBreak(all), "");
}

// With both [mqtt] and [sparkplug], a poll group is read from the PLC once per interval, not
// once per face, and both faces publish what that read got. The simulator counts the reads that
// reach P1 (the MQTT side's route reads put nothing on the line). A read for each face would come
// to 1.5 to 2 reads an interval: the line shares one read between the two only when both wait
// for it at once.
TEST_F(Sparkplug, GroupReadOncePerIntervalForBothFaces) {
    Plant plant;
    plant.SetTimeoutMs(1000); // no try again, which would be a read more, on a loaded machine
    plant.sim().SetRegister("P1", 100, 1111);
    Subscriber subscriber(plant.broker().port(), "#");
    constexpr auto kInterval = 500ms;
    plant.StartGateway(SparkplugTable(plant) +
                       "[[poll]]\nline = \"north\"\nplc = \"P1\"\nregisters = \"100\"\n"
                       "interval_ms = " +
                       std::to_string(kInterval.count()) + "\n");
    ASSERT_TRUE(subscriber.WaitFor("vpisd/north/P1/100", IsValue(1111))) << plant.GatewayLog();
    ASSERT_TRUE(subscriber.WaitFor(DeviceTopic("DBIRTH", "north.P1"), Any)) << plant.GatewayLog();

    const size_t from = subscriber.Count();
    plant.sim().SetRegister("P1", 100, 2222);
    EXPECT_TRUE(subscriber.WaitFor("vpisd/north/P1/100", IsValue(2222), 15s, from))
        << plant.GatewayLog();
    const auto carries2222 = [](const Message &m) {
        const std::vector<Decoded> d = Decode({m});
        const Json *metric = d.empty() ? nullptr : MetricOf(d[0].payload, "100");
        return metric != nullptr && (*metric)["value"] == 2222;
    };
    EXPECT_TRUE(subscriber.WaitFor(DeviceTopic("DDATA", "north.P1"), carries2222, 15s, from))
        << plant.GatewayLog();

    plant.sim().ResetStats();
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(20 * kInterval);
    const auto reads = static_cast<double>(plant.sim().GetStats().Get("reads"));
    const double intervals =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start) /
        std::chrono::duration<double>(kInterval);
    const std::string figures = std::to_string(static_cast<int>(reads)) + " reads of P1 in " +
                                std::to_string(intervals) + " intervals";
    // One read an interval and one more where the window cuts a round, with room to spare.
    EXPECT_LE(reads, 1.15 * intervals + 2) << figures;
    EXPECT_GE(reads, intervals / 3) << figures;
}

// A face that a reload adds hears the rounds the line's poller has already read: the edge node
// births its devices at once, though the group is next read a minute later, and the PLC is not
// read again for it.
TEST_F(Sparkplug, AddedByAReloadBirthsFromTheRoundsAlreadyRead) {
    Plant plant;
    plant.sim().SetRegister("P1", 100, 3333);
    Subscriber subscriber(plant.broker().port(), "#");
    const std::string poll = "[[poll]]\nline = \"north\"\nplc = \"P1\"\nregisters = \"100\"\n"
                             "interval_ms = 60000\n";
    plant.StartGateway(poll);
    ASSERT_TRUE(subscriber.WaitFor("vpisd/north/P1/100", IsValue(3333))) << plant.GatewayLog();

    plant.sim().ResetStats();
    ASSERT_TRUE(plant.ReloadGateway(SparkplugTable(plant) + poll, "", "reloaded"))
        << plant.GatewayLog();
    const auto birth = subscriber.WaitFor(DeviceTopic("DBIRTH", "north.P1"), Any, 20s);
    ASSERT_TRUE(birth) << plant.GatewayLog();
    const std::vector<Decoded> decoded = Decode({*birth});
    ASSERT_EQ(decoded.size(), 1u);
    const Json *metric = MetricOf(decoded[0].payload, "100");
    ASSERT_NE(metric, nullptr) << decoded[0].payload;
    EXPECT_EQ((*metric)["value"], 3333);
    EXPECT_EQ(plant.sim().GetStats().Get("reads"), 0u) << "the group was read again";
}

} // namespace
} // namespace vpisd::gateway::mqtt_test
