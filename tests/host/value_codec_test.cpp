// A value in its registers: types, word orders, ranges, and the numbers users type.
#include <gtest/gtest.h>

#include "host/value_codec.h"

namespace vpisd::host {
namespace {

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

} // namespace
} // namespace vpisd::host
