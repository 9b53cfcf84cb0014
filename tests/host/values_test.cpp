// Numbers typed by the user and their place in the driver's value buffer.
#include <gtest/gtest.h>

#include "host/values.h"
#include "vpisd/vpi.h"

namespace vpisd::host {
namespace {

TagLayout Register(int32_t address, int32_t count) {
    return {0, VPI_KIND_REGISTER, address, kNoBit, count};
}
TagLayout Pair(int32_t pair, int32_t count) {
    return {0, VPI_KIND_REGISTER_PAIR, pair, kNoBit, count};
}
TagLayout Bit(int32_t bit) {
    return {0, VPI_KIND_REGISTER, 100, bit, 1};
}
TagLayout Route() {
    return {0, VPI_KIND_ROUTE, 20000, kNoBit, 1};
}

TEST(ParseNumber, AcceptsDecimalHexAndSignsOnly) {
    EXPECT_EQ(ParseNumber("0"), 0);
    EXPECT_EQ(ParseNumber("65535"), 65535);
    EXPECT_EQ(ParseNumber("-32768"), -32768);
    EXPECT_EQ(ParseNumber("+7"), 7);
    EXPECT_EQ(ParseNumber("0x1F"), 31);
    EXPECT_EQ(ParseNumber("-0X10"), -16);
    EXPECT_EQ(ParseNumber("4294967295"), 4294967295LL);
    for (const char *bad :
         {"", "-", "0x", "12a", " 1", "1 ", "1.5", "0x1G", "--1", "99999999999999999999999"}) {
        EXPECT_FALSE(ParseNumber(bad).has_value()) << bad;
    }
}

TEST(GasShape, TypeFollowsTheForm) {
    EXPECT_EQ(TypeForGas("P10100"), kTypeRegister);
    EXPECT_EQ(TypeForGas("P10101F"), kTypePair);
    EXPECT_EQ(TypeForGas("p10101f"), kTypePair);
    EXPECT_EQ(TypeForGas("P1010003"), kTypeBit);
    EXPECT_EQ(TypeForGas("p1!route"), kTypeBit);
    EXPECT_TRUE(IsRouteGas("P1!Route"));
    EXPECT_FALSE(IsRouteGas("P1!ROUT"));
}

TEST(ValueBuffer, SingleValuesLiveInElementOneBlocksFromElementZero) {
    std::vector<uint16_t> buffer(4, 0xAAAA);
    std::string error;
    const int64_t one[] = {0x1234};
    ASSERT_TRUE(EncodeValues(Register(100, 1), one, WordOrder::HighFirst, buffer, error)) << error;
    EXPECT_EQ(buffer[1], 0x1234);
    EXPECT_EQ(buffer[0], 0);

    const int64_t three[] = {1, -1, 3};
    ASSERT_TRUE(EncodeValues(Register(100, 3), three, WordOrder::HighFirst, buffer, error))
        << error;
    EXPECT_EQ(buffer[0], 1);
    EXPECT_EQ(buffer[1], 0xFFFF);
    EXPECT_EQ(buffer[2], 3);

    const std::vector<uint16_t> block{5, 6};
    EXPECT_EQ(DecodeValues(Register(1, 2), block, ValueType::Uint16, WordOrder::HighFirst),
              (std::vector<int64_t>{5, 6}));
    EXPECT_EQ(DecodeValues(Register(1, 1), block, ValueType::Uint16, WordOrder::HighFirst),
              (std::vector<int64_t>{6}));
    EXPECT_EQ(BufferWords(Register(1, 1)), 2u);
    EXPECT_EQ(BufferWords(Pair(1, 3)), 6u);
}

TEST(ValueBuffer, PairsSplitIntoWordsInEitherOrderAndBack) {
    const int64_t values[] = {0x11112222, -2};
    for (const WordOrder order : {WordOrder::HighFirst, WordOrder::LowFirst}) {
        std::vector<uint16_t> buffer(4);
        std::string error;
        ASSERT_TRUE(EncodeValues(Pair(51, 2), values, order, buffer, error)) << error;
        const bool high = order == WordOrder::HighFirst;
        EXPECT_EQ(buffer[0], high ? 0x1111 : 0x2222);
        EXPECT_EQ(buffer[1], high ? 0x2222 : 0x1111);
        EXPECT_EQ(buffer[2], high ? 0xFFFF : 0xFFFE);
        EXPECT_EQ(buffer[3], high ? 0xFFFE : 0xFFFF);
        EXPECT_EQ(DecodeValues(Pair(51, 2), buffer, ValueType::Int32, order),
                  (std::vector<int64_t>{0x11112222, -2}));
        EXPECT_EQ(DecodeValues(Pair(51, 2), buffer, ValueType::Uint32, order)[1], 0xFFFFFFFEll);
    }
}

TEST(ValueBuffer, BitsAndRouteTakeOneValueInElementOne) {
    std::vector<uint16_t> buffer(2, 0x5555);
    std::string error;
    const int64_t set[] = {1};
    ASSERT_TRUE(EncodeValues(Bit(15), set, WordOrder::HighFirst, buffer, error));
    EXPECT_EQ(buffer[1], 1); // the driver shifts it to the bit
    const int64_t two[] = {2};
    EXPECT_FALSE(EncodeValues(Bit(15), two, WordOrder::HighFirst, buffer, error));
    const int64_t both[] = {1, 0};
    EXPECT_FALSE(EncodeValues(Bit(0), both, WordOrder::HighFirst, buffer, error));
    EXPECT_NE(error.find("expected 1"), std::string::npos) << error;
    const int64_t backup[] = {1};
    ASSERT_TRUE(EncodeValues(Route(), backup, WordOrder::HighFirst, buffer, error));
    EXPECT_EQ(buffer[1], 1);
    const std::vector<uint16_t> read{0, 1};
    EXPECT_EQ(DecodeValues(Bit(3), read, ValueType::Bit, WordOrder::HighFirst),
              (std::vector<int64_t>{1}));
}

TEST(ValueBuffer, RangesFollowTheWidth) {
    std::vector<uint16_t> buffer(2);
    std::string error;
    auto fits = [&](const TagLayout &tag, int64_t v) {
        const int64_t values[] = {v};
        return EncodeValues(tag, values, WordOrder::HighFirst, buffer, error);
    };
    EXPECT_TRUE(fits(Register(1, 1), -32768));
    EXPECT_TRUE(fits(Register(1, 1), 65535));
    EXPECT_FALSE(fits(Register(1, 1), -32769));
    EXPECT_FALSE(fits(Register(1, 1), 65536));
    EXPECT_TRUE(fits(Pair(1, 1), -2147483648LL));
    EXPECT_TRUE(fits(Pair(1, 1), 4294967295LL));
    EXPECT_FALSE(fits(Pair(1, 1), 4294967296LL));
    EXPECT_FALSE(fits(Pair(1, 1), -2147483649LL));
    EXPECT_FALSE(fits(Route(), -1));
    // A buffer too small for the tag is refused, not overrun.
    std::vector<uint16_t> small(2);
    const int64_t three[] = {1, 2, 3};
    EXPECT_FALSE(EncodeValues(Register(1, 3), three, WordOrder::HighFirst, small, error));
}

TEST(ValueCodec, EachTypeSitsInItsRegistersAndComesBack) {
    using enum ValueType;
    using enum WordOrder;
    struct Case {
        ValueFormat format;
        int64_t value;
        std::vector<uint16_t> words; // register order
        int64_t decoded;
    };
    const Case cases[] = {
        {{Uint16}, 0x1234, {0x1234}, 0x1234},
        {{Uint16}, -1, {0xFFFF}, 65535},
        {{Int16}, -2, {0xFFFE}, -2},
        {{Int16}, 40000, {0x9C40}, 40000 - 65536},
        {{Uint32, HighFirst}, 0x11112222, {0x1111, 0x2222}, 0x11112222},
        {{Uint32, LowFirst}, 0x11112222, {0x2222, 0x1111}, 0x11112222},
        {{Int32, HighFirst}, -2, {0xFFFF, 0xFFFE}, -2},
        {{Int32, LowFirst}, -2, {0xFFFE, 0xFFFF}, -2},
        {{Uint32, HighFirst}, -2, {0xFFFF, 0xFFFE}, 0xFFFFFFFELL},
        {{Float32, HighFirst}, FloatBits(1.5f), {0x3FC0, 0x0000}, 0x3FC00000},
        {{Float32, LowFirst}, FloatBits(-2.0f), {0x0000, 0xC000}, 0xC0000000LL},
        {{Bit, HighFirst, 0}, 1, {0x0001}, 1},
        {{Bit, HighFirst, 15}, 1, {0x8000}, 1},
    };
    for (const Case &c : cases) {
        const std::string_view name = InfoOf(c.format.type).name;
        std::vector<uint16_t> words(InfoOf(c.format.type).words, 0);
        EncodeValue(c.format, c.value, words);
        EXPECT_EQ(words, c.words) << name << " " << c.value;
        EXPECT_EQ(DecodeValue(c.format, words), c.decoded) << name << " " << c.value;
    }
    EXPECT_EQ(FloatFromBits(FloatBits(3.25f)), 3.25f);
}

TEST(ValueCodec, ABitIsWrittenIntoItsRegisterAloneAndReadFromIt) {
    std::vector<uint16_t> word{0x5A5A};
    EncodeValue({ValueType::Bit, WordOrder::HighFirst, 2}, 0, word);
    EXPECT_EQ(word[0], 0x5A5A & ~0x0004);
    EncodeValue({ValueType::Bit, WordOrder::HighFirst, 0}, 1, word);
    EXPECT_EQ(word[0], (0x5A5A & ~0x0004) | 0x0001);
    for (uint8_t bit = 0; bit < 16; ++bit) {
        const int64_t expected = (0x5A5A >> bit) & 1;
        EXPECT_EQ(
            DecodeValue({ValueType::Bit, WordOrder::HighFirst, bit}, std::vector<uint16_t>{0x5A5A}),
            expected)
            << int{bit};
    }
}

TEST(ValueCodec, NamesAreTheOnesUsersWrite) {
    for (const ValueTypeInfo &info : kValueTypes)
        EXPECT_EQ(ValueTypeNamed(info.name), info.type) << info.name;
    EXPECT_EQ(ValueTypeNamed("float32"), ValueType::Float32);
    EXPECT_EQ(ValueTypeNamed("int"), std::nullopt);
    EXPECT_EQ(ValueTypeNamed("UINT16"), std::nullopt);
    EXPECT_EQ(WordOrderNamed("high_first"), WordOrder::HighFirst);
    EXPECT_EQ(WordOrderNamed("low_first"), WordOrder::LowFirst);
    EXPECT_EQ(WordOrderNamed("high-first"), std::nullopt);
}

TEST(ValueCodec, RangesFollowTheWidthAndSayWhyAValueIsOut) {
    struct Case {
        ValueType type;
        int64_t value;
        const char *error; // "" when in range
    };
    const Case cases[] = {
        {ValueType::Uint16, -32768, ""},
        {ValueType::Int16, 65535, ""},
        {ValueType::Uint16, 70000, "70000 is out of range for a 16-bit register (-32768 to 65535)"},
        {ValueType::Int16, -32769,
         "-32769 is out of range for a 16-bit register (-32768 to 65535)"},
        {ValueType::Int32, 4294967295LL, ""},
        {ValueType::Uint32, -2147483648LL, ""},
        {ValueType::Uint32, 4294967296LL,
         "4294967296 is out of range for a 32-bit value (-2147483648 to 4294967295)"},
        {ValueType::Bit, 1, ""},
        {ValueType::Bit, 2, "2 is out of range for a bit (0 to 1)"},
    };
    for (const Case &c : cases) {
        std::string error;
        EXPECT_EQ(CheckRange(RangeOf(c.type), c.value, error), *c.error == '\0') << c.value;
        EXPECT_EQ(error, c.error);
    }
}

TEST(ValueNames, BlocksNameEachRegisterOrPair) {
    EXPECT_EQ(ValueNames("p10098", Register(98, 3)),
              (std::vector<std::string>{"P10098", "P10099", "P10100"}));
    // Pair 51 is registers 101 and 102; the next pairs start at 103 and 105.
    EXPECT_EQ(ValueNames("P10101f", Pair(51, 3)),
              (std::vector<std::string>{"P10101F", "P10103F", "P10105F"}));
    EXPECT_EQ(ValueNames("P1010003", Bit(2)), (std::vector<std::string>{"P1010003"}));
    EXPECT_EQ(ValueNames("p1!route", Route()), (std::vector<std::string>{"P1!ROUTE"}));
    EXPECT_EQ(ValueNames("P19999", Register(9999, 2))[1], "P110000");
}

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
