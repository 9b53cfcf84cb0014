// The published number of a raw value and back.
#include <gtest/gtest.h>

#include "host/scaling.h"

namespace vpisd::host {
namespace {

TEST(ScaledValues, PublishedTextAndBack) {
    const ValueFormat u16{ValueType::Uint16};
    const ValueFormat i16{ValueType::Int16};
    const ValueFormat f32{ValueType::Float32};
    struct Case {
        ValueFormat format;
        Scaling scaling;
        int64_t raw;
        const char *text; // nullptr: no number (NaN, infinity)
    };
    const Case cases[] = {
        {u16, {}, 65436, "65436"},
        {i16, {}, 65436 - 65536, "-100"},
        {i16, {0.1, 0}, -100, "-10.0"},
        {u16, {0.25, 0}, 10, "2.50"},
        {u16, {1, -0.5}, 3, "2.5"},
        {u16, {0.001, 0.5}, 1234, "1.734"},
        {u16, {1e-5, 0}, 12345, "0.12345"},
        {i16, {0.1, 0}, 0, "0.0"},
        {i16, {-0.1, 0}, 0, "0.0"}, // never "-0.0"
        {u16, {2, 0}, 21, "42"},
        {f32, {}, FloatBits(0.1f), "0.1"},
        {f32, {}, FloatBits(-12.5f), "-12.5"},
        {f32, {}, FloatBits(3.4028235e38f), "3.4028235e+38"},
        {f32, {10, 0}, FloatBits(0.1f), "1"},
        {f32, {}, 0x7FC00000, nullptr},
        {f32, {}, 0xFF800000, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.raw);
        const auto text = ScaledText(c.format, c.scaling, c.raw);
        EXPECT_EQ(text.value_or("none"), c.text != nullptr ? c.text : "none");
        if (!text)
            continue;
        // The published number converts back to the raw value it came from.
        int64_t raw = -1;
        std::string error;
        ASSERT_TRUE(RawFromScaled(c.format, c.scaling, std::stod(*text), raw, error)) << error;
        if (c.format.type == ValueType::Float32 && !c.scaling.Identity()) {
            EXPECT_NEAR(FloatFromBits(raw), FloatFromBits(c.raw), 1e-6);
        } else {
            EXPECT_EQ(raw, c.raw);
        }
    }
}

TEST(ScaledValues, WritesOutsideTheTypeRefused) {
    struct Case {
        ValueType type;
        Scaling scaling;
        double value;
        const char *error; // nullptr: accepted
    };
    const Case cases[] = {
        {ValueType::Int16, {}, 32767, nullptr},
        {ValueType::Int16, {}, 32768, "32768 is out of range for an int16 (-32768 to 32767)"},
        {ValueType::Int16, {0.1, 0}, 3276.74, nullptr}, // rounds to 32767
        {ValueType::Int16, {0.1, 0}, 3276.75, "out of range for an int16"},
        {ValueType::Uint16, {}, -32768, nullptr},
        {ValueType::Uint16, {}, 65536, "out of range for a 16-bit register"},
        {ValueType::Int32, {}, 2147483648.0, "out of range for an int32"},
        {ValueType::Uint32, {}, 4294967295.0, nullptr},
        {ValueType::Float32, {}, 1e39, "out of range for a float32"},
        {ValueType::Bit, {}, 2, "out of range for a bit"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value);
        int64_t raw = 0;
        std::string error;
        const bool ok = RawFromScaled({c.type}, c.scaling, c.value, raw, error);
        EXPECT_EQ(ok, c.error == nullptr) << error;
        if (c.error != nullptr) {
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
        }
    }
}

} // namespace
} // namespace vpisd::host
