// A /set topic cut into its command in-process: the PLC and the value it names under the line's
// base, and every topic that is not one of the line's commands left alone.
#include <gtest/gtest.h>

#include "gateway/mqtt/value_topic.h"

namespace vpisd::gateway {
namespace {

TEST(SetTopic, CutOnceIntoThePlcAndTheValueItNames) {
    struct Case {
        const char *topic;
        const char *plc; // nullptr: not a command of the line
        const char *value;
    };
    const Case cases[] = {
        {"vpisd/north/P1/100/set", "P1", "100"},
        {"vpisd/north/p2/100/3/set", "P2", "100/3"}, // the PLC as the driver matches it
        {"vpisd/north/P1/tank1/level/a/set", "P1", "tank1/level/a"},
        {"vpisd/north/P1/101F/set", "P1", "101F"},
        {"vpisd/northern/P1/100/set", nullptr, nullptr}, // another line that begins the same
        {"vpisd/north/P1/set", nullptr, nullptr},
        {"vpisd/north//100/set", nullptr, nullptr},
        {"vpisd/north/P1//set", nullptr, nullptr},
        {"vpisd/north/P1/100/set/result", nullptr, nullptr},
        {"homeassistant/number/vpisd_x_north_P1/100/config", nullptr, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.topic);
        const std::optional<SetCommand> command = ParseSetTopic("vpisd/north", c.topic, "7");
        if (c.plc == nullptr) {
            EXPECT_FALSE(command);
            continue;
        }
        ASSERT_TRUE(command);
        EXPECT_EQ(command->plc, c.plc);
        EXPECT_EQ(command->value, c.value);
        EXPECT_EQ(command->topic, c.topic);
        EXPECT_EQ(command->payload, "7");
    }
}

} // namespace
} // namespace vpisd::gateway
