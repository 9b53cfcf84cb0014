// Code page 437, the code page of the driver's banner.
#include <gtest/gtest.h>

#include "cp437.h"

namespace vpisd::cli {
namespace {

TEST(Cp437, BoxCharactersBecomeTheirUnicodeOnes) {
    EXPECT_EQ(Cp437ToUtf8("\xDA\xC4\xBF"), "┌─┐");
    EXPECT_EQ(Cp437ToUtf8("\xB3\xDB\xB2\xB1\xB0\xB3"), "│█▓▒░│");
    EXPECT_EQ(Cp437ToUtf8("\xC0\xD9"), "└┘");
    EXPECT_EQ(Cp437ToUtf8("Version 7.04\n"), "Version 7.04\n");
    EXPECT_EQ(Cp437ToUtf8("\x80\xE1\xFE"), "Çß■");
}

TEST(Cp437, EveryUpperByteIsOneWellFormedCharacter) {
    for (int byte = 0x80; byte <= 0xFF; ++byte) {
        const std::string one = Cp437ToUtf8(std::string(1, static_cast<char>(byte)));
        ASSERT_GE(one.size(), 2u) << byte;
        ASSERT_LE(one.size(), 3u) << byte;
        const auto lead = static_cast<unsigned char>(one[0]);
        EXPECT_EQ(lead >> 5 == 0x6 ? 2u : lead >> 4 == 0xE ? 3u : 0u, one.size()) << byte;
        for (size_t i = 1; i < one.size(); ++i) {
            EXPECT_EQ(static_cast<unsigned char>(one[i]) & 0xC0, 0x80) << byte;
        }
    }
}

} // namespace
} // namespace vpisd::cli
