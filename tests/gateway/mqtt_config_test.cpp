// The register groups of a [[poll]] section, each value's name read back as a /set topic. The
// problems of [mqtt] and [[poll]]: config_reading_test.cpp.
#include <gtest/gtest.h>

#include "gateway/config/mqtt_config.h"
#include "gateway/mqtt/value_topic.h"
#include "mqtt_fixture.h"

namespace vpisd::gateway::mqtt_test {
namespace {

TEST(MqttConfig, RegisterGroups) {
    struct Case {
        const char *text;
        const char *names; // the topic levels of the values, or "" when refused
    };
    const Case cases[] = {
        {"100:3", "100 101 102"},
        {"100", "100"},
        {"101F:2", "101F 103F"},
        {"101f", "101F"},
        {"100/3", "100/3"},
        {"100/16", "100/16"},
        {"9999", "9999"},
        {"1:125", nullptr}, // the largest block: accepted, names not listed
        {"9997F", "9997F"},
        {"1:126", ""},  // more than one block read
        {"1F:63", ""},  // 126 registers
        {"9999:2", ""}, // past 9999
        {"9999F", ""},  // its pair reaches 10000
        {"100F", ""},   // even
        {"100/0", ""},
        {"100/17", ""},
        {"100/3:2", ""},
        {"0", ""},
        {"100:0", ""},
        {"abc", ""},
        {"100:x", ""},
        {"", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        std::string why;
        const auto registers = ParsePollRegisters(c.text, why);
        if (c.names != nullptr && *c.names == '\0') {
            EXPECT_FALSE(registers);
            EXPECT_FALSE(why.empty());
            continue;
        }
        ASSERT_TRUE(registers) << why;
        if (c.names == nullptr)
            continue;
        std::string names;
        for (uint16_t i = 0; i < registers->count; ++i)
            names += (i == 0 ? "" : " ") + registers->Name(i);
        EXPECT_EQ(names, c.names);
        // Each name read back as a /set topic names that one value.
        const auto one = ParseValueName(registers->Name(0));
        ASSERT_TRUE(one);
        EXPECT_EQ(one->first, registers->first);
        EXPECT_EQ(one->form, registers->form);
    }
}

} // namespace
} // namespace vpisd::gateway::mqtt_test
