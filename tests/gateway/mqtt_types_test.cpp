// Typed and scaled poll groups: the published form of each type, each type through /set and
// back, the deadband of on_change in published units, and values under names of their own.
#include <gtest/gtest.h>

#include "mqtt_fixture.h"

namespace vpisd::gateway::mqtt_test {
namespace {

// The JSON text of a published value, as it stands in the payload.
std::string ValueText(const Message &message) {
    const std::string head = "{\"value\":";
    const size_t end = message.payload.find(",\"ts\"");
    if (message.payload.rfind(head, 0) != 0 || end == std::string::npos)
        return "?";
    return message.payload.substr(head.size(), end - head.size());
}

std::string Poll(const std::string &registers, const std::string &keys) {
    return "[[poll]]\nline = \"north\"\nplc = \"P1\"\nregisters = \"" + registers +
           "\"\ninterval_ms = 100\n" + keys;
}

struct TypeCase {
    const char *registers;
    const char *keys;
    std::vector<uint16_t> words; // from the group's first register
    const char *topic;           // under vpisd/north/P1/
    const char *published;       // the value's JSON text
    const char *quality;
    const char *set;      // published to <topic>/set; nullptr: no write
    const char *setShown; // the value published after the write
    std::vector<uint16_t> written;
};

const TypeCase kTypes[] = {
    {"100", "", {65436}, "100", "65436", "good", "65534.6", "65535", {65535}}, // rounded
    {"101", "type = \"int16\"\n", {65436}, "101", "-100", "good", "-32768", "-32768", {0x8000}},
    {"102",
     "type = \"int16\"\nscale = 0.1\n",
     {65436},
     "102",
     "-10.0",
     "good",
     "-12.34",
     "-12.3",
     {65413}},
    {"103", "scale = 0.25\n", {10}, "103", "2.50", "good", "3.3", "3.25", {13}},
    {"104", "offset = -0.5\n", {3}, "104", "2.5", "good", "7", "7.5", {8}}, // 7.5 rounds to 8
    {"110:2",
     "type = \"uint32\"\n",
     {1, 2},
     "110",
     "65538",
     "good",
     "4000000000",
     "4000000000",
     {0xEE6B, 0x2800}},
    {"112:2",
     "type = \"int32\"\nword_order = \"low_first\"\n",
     {0xFFFE, 0xFFFF},
     "112",
     "-2",
     "good",
     "-70000",
     "-70000",
     {0xEE90, 0xFFFE}},
    {"121F",
     "type = \"float32\"\n",
     {0x3DCC, 0xCCCD},
     "121F",
     "0.1",
     "good",
     "21.75",
     "21.75",
     {0x41AE, 0x0000}},
    {"123F",
     "type = \"float32\"\nword_order = \"low_first\"\nscale = 2\n",
     {0x0000, 0x4148},
     "123F",
     "25",
     "good",
     "-1",
     "-1",
     {0x0000, 0xBF00}},
    {"125F",
     "type = \"float32\"\n",
     {0x7FC0, 0x0000},
     "125F",
     "null",
     "bad_value",
     nullptr,
     nullptr,
     {}},
    {"127F",
     "type = \"float32\"\n",
     {0x7F80, 0x0000},
     "127F",
     "null",
     "bad_value",
     nullptr,
     nullptr,
     {}},
    {"130/2", "", {0x0002}, "130/2", "1", "good", "0", "0", {0x0000}},
};

TEST(MqttTypes, EachTypePublishedInItsFormAndWrittenBack) {
    Plant plant;
    std::string groups;
    for (const TypeCase &c : kTypes) {
        const uint16_t first = static_cast<uint16_t>(std::stoi(c.registers));
        for (size_t i = 0; i < c.words.size(); ++i)
            plant.sim().SetRegister("P1", first + i, c.words[i]);
        groups += Poll(c.registers, c.keys);
    }
    Subscriber subscriber(plant.broker().port(), "vpisd/#");
    plant.StartGateway(groups);
    for (const TypeCase &c : kTypes) {
        SCOPED_TRACE(c.registers);
        const std::string topic = std::string("vpisd/north/P1/") + c.topic;
        const auto value = subscriber.WaitFor(topic, [](const Message &) { return true; });
        ASSERT_TRUE(value) << plant.GatewayLog();
        EXPECT_EQ(ValueText(*value), c.published) << value->payload;
        EXPECT_EQ(value->json().value("quality", ""), c.quality) << value->payload;
    }
    for (const TypeCase &c : kTypes) {
        if (c.set == nullptr)
            continue;
        SCOPED_TRACE(std::string(c.registers) + " <- " + c.set);
        const std::string topic = std::string("vpisd/north/P1/") + c.topic;
        const size_t from = subscriber.Count();
        subscriber.Publish(topic + "/set", c.set);
        const auto result = subscriber.WaitFor(
            topic + "/set/result", [](const Message &) { return true; }, 15s, from);
        ASSERT_TRUE(result) << plant.GatewayLog();
        EXPECT_EQ(result->payload, "ok") << plant.GatewayLog();
        const uint16_t first = static_cast<uint16_t>(std::stoi(c.registers));
        for (size_t i = 0; i < c.written.size(); ++i)
            EXPECT_EQ(plant.sim().Register("P1", first + i), c.written[i]) << i;
        const auto back = subscriber.WaitFor(
            topic, [&](const Message &m) { return ValueText(m) == c.setShown; }, 15s, from);
        EXPECT_TRUE(back) << "expected " << c.setShown;
    }
}

TEST(MqttTypes, WritesOutsideTheTypeRefusedWithReason) {
    struct Case {
        const char *topic;
        const char *payload;
        const char *reason; // a part of it
    };
    const Case cases[] = {
        {"101", "32768", "32768 is out of range for an int16 (-32768 to 32767)"},
        {"102", "3276.8", "out of range for an int16 (-3276.8 to 3276.7)"},
        {"102", "\"warm\"", "not a number"},
        {"112", "2147483648", "out of range for an int32"},
        {"121F", "1e39", "out of range for a float32"},
        {"121F", "nan", "not a number"},
        {"130/2", "2", "out of range for a bit"},
    };
    Plant plant;
    plant.StartGateway(Poll("101", "type = \"int16\"\n") +
                       Poll("102", "type = \"int16\"\nscale = 0.1\n") +
                       Poll("112:2", "type = \"int32\"\n") + Poll("121F", "type = \"float32\"\n") +
                       Poll("130/2", ""));
    Subscriber subscriber(plant.broker().port(), "vpisd/#");
    ASSERT_TRUE(subscriber.WaitFor("vpisd/north/status", IsPayload("online")))
        << plant.GatewayLog();
    ASSERT_TRUE(subscriber.WaitFor("vpisd/north/P1/101", IsValue(0))) << plant.GatewayLog();
    const uint64_t writesBefore = plant.sim().GetStats().Get("writes");
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.topic) + " <- " + c.payload);
        const std::string set = std::string("vpisd/north/P1/") + c.topic + "/set";
        const size_t from = subscriber.Count();
        EXPECT_EQ(ResultOf(subscriber, set, c.payload), "refused");
        const auto reason = subscriber.WaitFor(
            set + "/reason", [](const Message &) { return true; }, 1s, from);
        ASSERT_TRUE(reason);
        EXPECT_NE(reason->payload.find(c.reason), std::string::npos) << reason->payload;
    }
    EXPECT_EQ(plant.sim().GetStats().Get("writes"), writesBefore);
}

TEST(MqttTypes, DeadbandHoldsSmallChangesBackInPublishedUnits) {
    Plant plant;
    plant.sim().SetRegister("P1", 140, 1000);
    Subscriber subscriber(plant.broker().port(), "vpisd/#");
    // 141, published every round, shows that the rounds go on.
    plant.StartGateway(Poll("140", "scale = 0.1\ndeadband = 0.5\n") +
                       Poll("141", "publish = \"always\"\n"));
    const std::string topic = "vpisd/north/P1/140";
    ASSERT_TRUE(subscriber.WaitFor(topic, [](const Message &) { return true; }))
        << plant.GatewayLog();
    // From the last published 100.0: 100.3 and 100.4 are within 0.5, 100.6 is not; then 100.2
    // is within 0.5 of 100.6, and 100.0 is not.
    struct Step {
        uint16_t raw;
        const char *published; // nullptr: held back
    };
    const Step steps[] = {
        {1003, nullptr}, {1004, nullptr}, {1006, "100.6"}, {1002, nullptr}, {1000, "100.0"}};
    for (const Step &step : steps) {
        SCOPED_TRACE(step.raw);
        const size_t from = subscriber.Count();
        plant.sim().SetRegister("P1", 140, step.raw);
        if (step.published != nullptr) {
            const auto sent = subscriber.WaitFor(
                topic, [&](const Message &m) { return ValueText(m) == step.published; }, 15s, from);
            EXPECT_TRUE(sent) << plant.GatewayLog();
            continue;
        }
        // Three more rounds of the group beside it: 140 has been read again since the change.
        for (int round = 0; round < 3; ++round) {
            const auto clock = subscriber.WaitFor(
                "vpisd/north/P1/141", [](const Message &) { return true; }, 15s,
                subscriber.Count());
            ASSERT_TRUE(clock);
        }
        const auto any = subscriber.WaitFor(
            topic, [](const Message &) { return true; }, 0ms, from);
        EXPECT_FALSE(any) << any->payload;
    }
}

TEST(MqttTypes, NamedValuesPublishAndTakeWritesUnderTheirNames) {
    Plant plant;
    plant.sim().SetRegister("P1", 150, 215);
    plant.sim().SetRegister("P1", 151, 7);
    Subscriber subscriber(plant.broker().port(), "vpisd/#");
    plant.StartGateway(Poll("150:3", "type = \"int16\"\nnames = { \"150\" = \"tank1/temp\", "
                                     "\"151\" = \"tank1/pump/speed/set_point\" }\n"));
    const std::string temp = "vpisd/north/P1/tank1/temp";
    const std::string speed = "vpisd/north/P1/tank1/pump/speed/set_point";
    ASSERT_TRUE(subscriber.WaitFor(temp, IsValue(215))) << plant.GatewayLog();
    ASSERT_TRUE(subscriber.WaitFor(speed, IsValue(7)));
    ASSERT_TRUE(subscriber.WaitFor("vpisd/north/P1/152", IsValue(0))); // no name: its key
    EXPECT_TRUE(subscriber.On("vpisd/north/P1/150").empty());

    struct Case {
        std::string topic;
        const char *payload;
        const char *result;
        const char *reason; // a part of it, or nullptr for none
    };
    const Case cases[] = {
        {temp, "-5", "ok", nullptr},
        {speed, "1200", "ok", nullptr}, // a name of four levels
        {"vpisd/north/P1/150", "9", "refused", "is named \"tank1/temp\""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.topic);
        const size_t from = subscriber.Count();
        subscriber.Publish(c.topic + "/set", c.payload);
        const auto result = subscriber.WaitFor(
            c.topic + "/set/result", [](const Message &) { return true; }, 15s, from);
        ASSERT_TRUE(result) << plant.GatewayLog();
        EXPECT_EQ(result->payload, c.result);
        const auto reason = subscriber.On(c.topic + "/set/reason");
        ASSERT_EQ(reason.size(), c.reason == nullptr ? 0u : 1u);
        if (c.reason != nullptr) {
            EXPECT_NE(reason[0].payload.find(c.reason), std::string::npos) << reason[0].payload;
        }
    }
    EXPECT_EQ(plant.sim().Register("P1", 150), 65531);
    EXPECT_EQ(plant.sim().Register("P1", 151), 1200);
    EXPECT_TRUE(subscriber.WaitFor(temp, IsValue(-5)));
}

} // namespace
} // namespace vpisd::gateway::mqtt_test
