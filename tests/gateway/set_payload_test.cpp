// The bound on a /set payload, in-process: a value takes a few bytes, and anything longer than
// the bound is refused as too long before the JSON parser builds anything from it.
#include <gtest/gtest.h>

#include <string>

#include "gateway/mqtt/mqtt_payload.h"

namespace vpisd::gateway {
namespace {

TEST(SetPayload, LongerThanTheBoundIsRefusedUnparsed) {
    const host::ValueFormat format{host::ValueType::Uint16};
    // "7" padded with spaces to `size` bytes: a valid value of any length.
    const auto padded = [](size_t size) {
        return std::string(size / 2, ' ') + '7' + std::string(size - size / 2 - 1, ' ');
    };
    const SetValue atBound = ParseSetPayload(padded(kLongestSetPayload), format);
    EXPECT_EQ(atBound.value, 7) << atBound.reason;

    const std::string bomb = std::string(1 << 20, '[') + std::string(1 << 20, ']');
    std::string zeros = "[0";
    for (int i = 0; i < (1 << 19); ++i)
        zeros += ",0";
    for (const std::string &payload : {padded(kLongestSetPayload + 1), bomb, zeros + "]"}) {
        SCOPED_TRACE(payload.size());
        const SetValue set = ParseSetPayload(payload, format);
        EXPECT_FALSE(set.value);
        EXPECT_EQ(set.reason, "too long: " + std::to_string(payload.size()) +
                                  " bytes, a value takes at most 1024");
    }
}

} // namespace
} // namespace vpisd::gateway
