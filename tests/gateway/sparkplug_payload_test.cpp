// Sparkplug B payloads as the gateway writes and reads them, judged by Eclipse Tahu's own codec:
// every datatype the gateway sends decodes to the value it meant (negative ones negative), with
// its quality; and a command a Tahu host encodes is read back as sent.
#include "gateway/sparkplug/sparkplug_payload.h"

#include <gtest/gtest.h>

#include <cmath>

#include "gateway/sparkplug/sparkplug_metrics.h"
#include "sparkplug_wire.h"
#include "tahu_codec.h"

namespace vpisd::gateway::sparkplug {
namespace {

constexpr uint64_t kTime = 1765000000123;

TEST(SparkplugPayload, EveryDatatypeDecodesInTahuAsMeant) {
    struct Row {
        Metric metric;
        const char *type;
        nlohmann::json value;
    };
    Metric good = IntegerMetric("q/good", DataType::UInt16, 7, kTime);
    good.quality = kQualityGood;
    Metric bad = IntegerMetric("q/bad", DataType::Int16, 0, kTime);
    bad.quality = kQualityBad;
    bad.isNull = true;
    const std::vector<Row> rows = {
        {IntegerMetric("100", DataType::Int16, -5, kTime), "Int16", -5},
        {IntegerMetric("101", DataType::Int16, -32768, kTime), "Int16", -32768},
        {IntegerMetric("102", DataType::UInt16, 65535, kTime), "UInt16", 65535},
        {IntegerMetric("103F", DataType::Int32, -70000, kTime), "Int32", -70000},
        {IntegerMetric("105F", DataType::UInt32, 2000000000, kTime), "UInt32", 2000000000},
        {RealMetric("tank/level", DataType::Float, -1.5, kTime), "Float", -1.5},
        {RealMetric("tank/scaled", DataType::Double, -12.25, kTime), "Double", -12.25},
        {BooleanMetric("100/3", true, kTime), "Boolean", true},
        {IntegerMetric("bdSeq", DataType::Int64, 255, 0), "Int64", "255"},
        {good, "UInt16", 7},
        {bad, "Int16", nullptr},
    };
    Payload payload;
    payload.timestamp = kTime;
    payload.seq = 255;
    for (const Row &row : rows)
        payload.metrics.push_back(row.metric);

    ASSERT_EQ(test::TahuMissing(), "");
    const std::vector<nlohmann::json> decoded = test::TahuDecode({Encode(payload)});
    ASSERT_EQ(decoded.size(), 1u);
    const nlohmann::json &json = decoded[0];
    ASSERT_FALSE(json.contains("error")) << json.dump();
    EXPECT_EQ(json["seq"], "255");
    EXPECT_EQ(json["timestamp"], std::to_string(kTime));
    ASSERT_EQ(json["metrics"].size(), rows.size()) << json.dump();
    for (size_t i = 0; i < rows.size(); ++i) {
        const nlohmann::json &metric = json["metrics"][i];
        SCOPED_TRACE(metric.dump());
        EXPECT_EQ(metric["name"], rows[i].metric.name);
        EXPECT_EQ(metric["type"], rows[i].type);
        if (rows[i].value.is_null())
            EXPECT_TRUE(!metric.contains("value") || metric["value"].is_null());
        else
            EXPECT_EQ(metric["value"], rows[i].value);
        if (rows[i].metric.quality) {
            EXPECT_EQ(metric["properties"]["Quality"]["type"], "Int32");
            EXPECT_EQ(metric["properties"]["Quality"]["value"], *rows[i].metric.quality);
        } else {
            EXPECT_FALSE(metric.contains("properties"));
        }
    }
}

TEST(SparkplugPayload, CommandsFromATahuHostAreReadAsSent) {
    ASSERT_EQ(test::TahuMissing(), "");
    const nlohmann::json command = {
        {"timestamp", kTime},
        {"metrics",
         {{{"name", "Node Control/Rebirth"}, {"type", "Boolean"}, {"value", true}},
          {{"name", "100"}, {"type", "Int16"}, {"value", -7}},
          {{"name", "103F"}, {"type", "UInt32"}, {"value", 70000}},
          {{"name", "tank/level"}, {"type", "Float"}, {"value", 2.5}},
          {{"name", "tank/scaled"}, {"type", "Double"}, {"value", -0.125}}}}};
    const auto encoded = test::TahuEncode({command});
    ASSERT_EQ(encoded.size(), 1u);
    const std::optional<Payload> payload = Decode(encoded[0]);
    ASSERT_TRUE(payload);
    ASSERT_EQ(payload->metrics.size(), command["metrics"].size());
    for (size_t i = 0; i < payload->metrics.size(); ++i) {
        const nlohmann::json &sent = command["metrics"][i];
        EXPECT_EQ(payload->metrics[i].name, sent["name"]);
        const nlohmann::json &value = sent["value"];
        EXPECT_EQ(payload->metrics[i].Number(),
                  value.is_boolean() ? value.get<bool>() : value.get<double>())
            << sent.dump();
    }
    EXPECT_FALSE(Decode(std::vector<uint8_t>{0xff, 0xff, 0xff}));
}

using T = host::ValueType;

PollConfig Group(const char *registers, T type, host::Scaling scaling = {}) {
    PollConfig poll;
    std::string why;
    poll.registers = *ParsePollRegisters(registers, why);
    poll.type = type;
    poll.scaling = scaling;
    return poll;
}

TEST(SparkplugMetrics, ValuesAreNamedTypedAndScaledAsTheirGroupSays) {
    struct Row {
        PollConfig poll;
        std::optional<int64_t> raw;
        const char *name;
        DataType type;
        std::optional<double> number; // nullopt: null, quality bad
    };
    PollConfig named = Group("100:2", T::Uint16);
    named.names[1] = "tank/level";
    const std::vector<Row> rows = {
        {Group("100", T::Uint16), 65535, "100", DataType::UInt16, 65535},
        {Group("100", T::Int16), -5, "100", DataType::Int16, -5},
        {Group("101F", T::Int32), -70000, "101F", DataType::Int32, -70000},
        {Group("101F", T::Uint32), 70000, "101F", DataType::UInt32, 70000},
        {Group("101F", T::Float32), host::FloatBits(-1.5f), "101F", DataType::Float, -1.5},
        {Group("100/3", T::Bit), 1, "100/3", DataType::Boolean, 1},
        {Group("100", T::Int16, {0.1, -40}), -5, "100", DataType::Double, -40.5},
        {named, 7, "tank/level", DataType::UInt16, 7},
        {Group("100", T::Int16), std::nullopt, "100", DataType::Int16, std::nullopt},
        {Group("101F", T::Float32), host::FloatBits(std::nanf("")), "101F", DataType::Float,
         std::nullopt},
    };
    for (const Row &row : rows) {
        const size_t index = row.poll.names.empty() ? 0 : 1;
        const Metric metric = ValueMetric(row.poll, index, row.raw, kTime);
        SCOPED_TRACE(row.name);
        EXPECT_EQ(metric.name, row.name);
        EXPECT_EQ(metric.type, static_cast<uint32_t>(row.type));
        EXPECT_EQ(metric.timestamp, kTime);
        EXPECT_NEAR(metric.Number().value_or(-1e9), row.number.value_or(-1e9), 1e-9);
        EXPECT_EQ(metric.quality, row.number ? kQualityGood : kQualityBad);
    }
}

// A DCMD metric as a host sent it (datatype given or not, its value in any field) written to
// a value of each type: the value is taken from its field and converted as an MQTT /set is, or
// refused with the reason; never written as 0 because it sat in another field.
TEST(SparkplugMetrics, CommandValuesComeFromTheFieldTheyWereSentIn) {
    using F = ValueField;
    const PollConfig u16 = Group("101", T::Uint16), i16 = Group("100", T::Int16),
                     u32 = Group("101F", T::Uint32), bit = Group("100/3", T::Bit),
                     scaled = Group("102", T::Int16, {0.1, 0});
    const auto is = [](DataType type) { return std::optional(static_cast<uint32_t>(type)); };
    const auto uint16 = is(DataType::UInt16), boolean = is(DataType::Boolean),
               int32 = is(DataType::Int32);
    struct Row {
        test::WireMetric sent;
        const PollConfig &poll;
        std::variant<int64_t, const char *> written; // the raw value, or (part of) the reason
    };
    const std::vector<Row> rows = {
        {{.datatype = is(DataType::Double), .field = F::Double, .real = 30.2}, scaled, 302},
        {{.datatype = is(DataType::UInt32), .field = F::Long, .integer = 70000}, u32, 70000},
        {{.datatype = boolean, .field = F::Boolean, .integer = 0}, bit, int64_t{0}},
        // No datatype: the value's own field, converted to the metric's type.
        {{.field = F::Double, .real = 55.0}, u16, 55},
        {{.field = F::Float, .real = 2.5}, u16, 3},
        {{.field = F::String, .text = " 0x1F "}, u16, 31},
        {{.field = F::Int, .integer = 0xFFFFFFFD}, i16, -3},
        {{.field = F::Int, .integer = 0xFFFFFFFF}, u32, 0xFFFFFFFF},
        {{.field = F::Boolean, .integer = 1}, bit, 1},
        // Refused, never written.
        {{.datatype = uint16, .field = F::Double}, u16, "UInt16 with its value in double_value"},
        {{.datatype = uint16, .field = F::String, .text = "55"}, u16, "in string_value"},
        {{.datatype = boolean, .field = F::Int, .integer = 1}, bit, "in int_value"},
        {{.datatype = int32, .field = F::Int}, i16, "sent as Int32, the metric is Int16"},
        {{.field = F::Double, .real = 0.5}, bit, "0.5 is not a whole number"},
        {{.field = F::Boolean, .integer = 1}, u16, "true is not a number"},
        {{.field = F::String, .text = "abc"}, u16, "\"abc\" is not a number"},
        {{.datatype = uint16, .field = F::None}, u16, "the metric holds no value"},
    };
    for (const Row &row : rows) {
        const std::optional<Payload> payload = Decode(test::WirePayload({row.sent}));
        ASSERT_TRUE(payload && payload->metrics.size() == 1);
        std::string shown, reason;
        const std::optional<int64_t> raw =
            CommandWrite(payload->metrics[0], row.poll, shown, reason);
        SCOPED_TRACE(std::string(ValueFieldName(row.sent.field)) + " " + shown + " " + reason);
        if (const int64_t *expected = std::get_if<int64_t>(&row.written)) {
            EXPECT_EQ(raw, *expected);
        } else {
            EXPECT_FALSE(raw);
            EXPECT_NE(reason.find(std::get<const char *>(row.written)), std::string::npos);
        }
    }
}

TEST(SparkplugMetrics, TopicsAndIds) {
    // The topics themselves are checked as the edge node sends and subscribes to them.
    EXPECT_EQ(DeviceId("north", "P1"), "north.P1");
    for (const char *bad : {"", "a/b", "a+", "#"})
        EXPECT_NE(IdProblem(bad), "") << bad;
    EXPECT_EQ(IdProblem("edge-1.north"), "");
}

} // namespace
} // namespace vpisd::gateway::sparkplug
