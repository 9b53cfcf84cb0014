// The edge node's session without a broker: what goes out at each step, decoded by Eclipse
// Tahu's codec. Births before data, seq running and wrapping, bdSeq per connection, DDATA with
// only what changed, a device's death and rebirth, a rebirth on request, the primary host.
#include "gateway/sparkplug/edge_node.h"

#include <gtest/gtest.h>

#include "sparkplug_wire.h"
#include "tahu_codec.h"

namespace vpisd::gateway::sparkplug {
namespace {

constexpr uint64_t kNow = 1765000000000;

Device Plc(const std::string &id, bool alive, int64_t level, double deadband = 0) {
    Device device;
    device.id = id;
    device.alive = alive;
    device.metrics.push_back(IntegerMetric("100", DataType::Int16, level, kNow));
    device.metrics.push_back(BooleanMetric("101/1", true, kNow));
    device.deadbands = {deadband, 0};
    return device;
}

void Append(std::vector<Outgoing> &to, std::vector<Outgoing> more) {
    to.insert(to.end(), more.begin(), more.end());
}

TEST(SparkplugEdgeNode, ASessionFromBirthToDeathInOrder) {
    ASSERT_EQ(test::TahuMissing(), "");
    EdgeNode node("plant", "gw1", std::nullopt);
    const Outgoing will = node.Connecting();
    EXPECT_EQ(will.qos, 1);
    EXPECT_FALSE(will.retain);
    EXPECT_EQ(node.Subscriptions(),
              (std::vector<std::string>{"spBv1.0/plant/NCMD/gw1", "spBv1.0/plant/DCMD/gw1/+"}));
    std::vector<Outgoing> out = {will};
    EXPECT_TRUE(node.Update(kNow, Plc("north.P1", true, 1)).empty()) << "nothing before NBIRTH";
    Append(out, node.Connected(kNow, {Plc("north.P1", true, -5, 2), Plc("north.P2", false, 0)}));
    Append(out, node.Update(kNow, Plc("north.P1", true, -6, 2)));  // within the deadband
    Append(out, node.Update(kNow, Plc("north.P1", true, -9, 2)));  // DDATA 100 only
    Append(out, node.Update(kNow, Plc("north.P1", false, -9, 2))); // DDEATH
    Append(out, node.Update(kNow, Plc("north.P1", false, -9, 2))); // nothing more
    Append(out, node.Update(kNow, Plc("north.P2", true, 4)));      // DBIRTH
    Append(out, node.Rebirth(kNow, {Plc("north.P1", true, -9), Plc("north.P2", true, 4)}));
    out.push_back(node.Death());

    struct Expected {
        const char *topic;
        std::optional<int> seq;
        std::vector<std::string> metrics;
    };
    const std::vector<Expected> expected = {
        {"spBv1.0/plant/NDEATH/gw1", std::nullopt, {"bdSeq"}},
        {"spBv1.0/plant/NBIRTH/gw1", 0, {"bdSeq", "Node Control/Rebirth"}},
        {"spBv1.0/plant/DBIRTH/gw1/north.P1", 1, {"100", "101/1"}},
        {"spBv1.0/plant/DDATA/gw1/north.P1", 2, {"100"}},
        {"spBv1.0/plant/DDEATH/gw1/north.P1", 3, {}},
        {"spBv1.0/plant/DBIRTH/gw1/north.P2", 4, {"100", "101/1"}},
        {"spBv1.0/plant/NBIRTH/gw1", 0, {"bdSeq", "Node Control/Rebirth"}},
        {"spBv1.0/plant/DBIRTH/gw1/north.P1", 1, {"100", "101/1"}},
        {"spBv1.0/plant/DBIRTH/gw1/north.P2", 2, {"100", "101/1"}},
        {"spBv1.0/plant/NDEATH/gw1", std::nullopt, {"bdSeq"}},
    };
    std::vector<std::vector<uint8_t>> payloads;
    for (const Outgoing &message : out)
        payloads.push_back(message.payload);
    const std::vector<nlohmann::json> decoded = test::TahuDecode(payloads);
    ASSERT_EQ(out.size(), expected.size());
    ASSERT_EQ(decoded.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const nlohmann::json &json = decoded[i];
        SCOPED_TRACE(out[i].topic + " " + json.dump());
        EXPECT_EQ(out[i].topic, expected[i].topic);
        if (expected[i].seq)
            EXPECT_EQ(json["seq"], std::to_string(*expected[i].seq));
        else
            EXPECT_FALSE(json.contains("seq"));
        std::vector<std::string> names;
        for (const auto &metric : json.value("metrics", nlohmann::json::array()))
            names.push_back(metric["name"]);
        EXPECT_EQ(names, expected[i].metrics);
        if (!names.empty() && names[0] == "bdSeq") {
            EXPECT_EQ(json["metrics"][0]["type"], "Int64");
            EXPECT_EQ(json["metrics"][0]["value"], "0");
        }
    }
    EXPECT_EQ(decoded[3]["metrics"][0]["value"], -9);
    EXPECT_EQ(decoded[1]["metrics"][1]["value"], false);
}

TEST(SparkplugEdgeNode, SeqAndBdSeqWrapAfter255) {
    EdgeNode node("plant", "gw1", std::nullopt);
    for (int connect = 0; connect < 256; ++connect)
        node.Connecting();
    EXPECT_EQ(node.bdSeq(), 255);
    node.Connecting();
    EXPECT_EQ(node.bdSeq(), 0);
    node.Connected(kNow, {Plc("north.P1", true, 0)}); // seq 0 and 1
    std::optional<Payload> last;
    for (int value = 1; value <= 255; ++value) {
        const auto out = node.Update(kNow, Plc("north.P1", true, value));
        ASSERT_EQ(out.size(), 1u);
        last = Decode(out[0].payload);
    }
    ASSERT_TRUE(last && last->seq);
    EXPECT_EQ(*last->seq, 0u) << "seq 256 wraps to 0";
}

std::string State(bool online, uint64_t timestamp) {
    return std::string(R"({"online": )") + (online ? "true" : "false") +
           ", \"timestamp\": " + std::to_string(timestamp) + "}";
}

TEST(SparkplugEdgeNode, BirthsWaitForThePrimaryHostWhoseStateIsTakenAfreshEachConnection) {
    EdgeNode node("plant", "gw1", std::string("scada"));
    node.Connecting();
    EXPECT_EQ(node.Subscriptions().back(), "spBv1.0/STATE/scada");
    EXPECT_TRUE(node.Connected(kNow, {Plc("north.P1", true, 0)}).empty());
    using Change = EdgeNode::HostChange;
    EXPECT_EQ(node.OnState("not json", kNow), Change::None);
    EXPECT_EQ(node.OnState(State(true, 200), kNow), Change::Online);
    EXPECT_EQ(node.Connected(kNow, {Plc("north.P1", true, 0)}).size(), 2u);
    EXPECT_EQ(node.OnState(State(false, 100), kNow), Change::None)
        << "older than the last state seen";
    EXPECT_EQ(node.OnState(State(false, 300), kNow), Change::Offline);
    EXPECT_FALSE(node.born());
    EXPECT_TRUE(node.Update(kNow, Plc("north.P1", true, 1)).empty());

    // A host whose clock ran ahead once cannot lock the node out: a STATE stamped more than a
    // day ahead is ignored (told once), and each connection takes the broker's STATE afresh.
    const uint64_t farAhead = kNow + EdgeNode::kStateAheadMs + 1;
    EXPECT_EQ(node.OnState(State(false, farAhead), kNow), Change::Future);
    EXPECT_EQ(node.OnState(State(false, uint64_t{1} << 63), kNow), Change::None) << "told once";
    EXPECT_EQ(node.OnState(State(true, kNow), kNow), Change::Online);
    EXPECT_EQ(node.OnState(State(false, farAhead), kNow), Change::Future) << "told again";

    const uint64_t hourAhead = kNow + 3600 * 1000;
    EXPECT_EQ(node.OnState(State(false, hourAhead), kNow), Change::Offline);
    EXPECT_EQ(node.OnState(State(true, kNow), kNow), Change::None) << "older than the last";
    node.Connecting();
    EXPECT_EQ(node.OnState(State(true, kNow), kNow), Change::Online);
}

// However many metrics of an NCMD ask for a rebirth, with or without a datatype, it is one
// rebirth; and one a second at most. What it cannot carry out is counted, the first named.
TEST(SparkplugEdgeNode, OneRebirthPerNcmdAndOneASecond) {
    std::vector<test::WireMetric> metrics(
        3, {.name = "Node Control/Rebirth", .field = ValueField::Boolean, .integer = 1});
    metrics.push_back({.name = std::string(300, 'x'), .field = ValueField::Int, .integer = 1});
    metrics.push_back({.name = metrics[0].name, .datatype = 2, .field = ValueField::Int});
    const NodeCommand command = ReadNodeCommand(*Decode(test::WirePayload(metrics)));
    EXPECT_TRUE(command.rebirth);
    EXPECT_EQ(command.ignored, 2u);
    EXPECT_EQ(command.firstIgnored, "\"" + std::string(200, 'x') + "...\": unknown");

    EdgeNode node("plant", "gw1", std::nullopt);
    node.Connecting();
    node.Connected(kNow, {Plc("north.P1", true, 0)});
    for (const auto &[at, messages] : {std::pair{kNow, 2u}, {kNow + 999, 0u}, {kNow + 1000, 2u}})
        EXPECT_EQ(node.Rebirth(at, {Plc("north.P1", true, 0)}).size(), messages) << at - kNow;
}

} // namespace
} // namespace vpisd::gateway::sparkplug
