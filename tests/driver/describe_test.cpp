#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "driver/command_table.h"
#include "driver/context.h"
#include "vpisd/vpi.h"

namespace {

DriverInfo Describe(VpiContext *context) {
    DriverInfo info;
    std::memset(&info, 0xA5, sizeof info);
    VpiRequest request{context, VPI_DESCRIBE, 0, 0, &info};
    EXPECT_EQ(vpisd::DispatchCommand(&request), 0);
    return info;
}

TEST(Describe, FillsEveryFieldWithoutAContext) {
    const DriverInfo info = Describe(nullptr);
    EXPECT_EQ(info.driverCode, 70);
    EXPECT_STREQ(info.name, "SquareD");
    EXPECT_EQ(info.contextSize, 2944);
    EXPECT_EQ(info.contextSize, static_cast<int32_t>(sizeof(VpiContext)));
    EXPECT_EQ(info.hostParamA, 4);
    EXPECT_EQ(info.baudRate, 9600);
    EXPECT_EQ(info.dataBits, 8);
    EXPECT_EQ(info.stopBits, 0);
    EXPECT_EQ(info.parity, 2);
    EXPECT_EQ(info.hostParamB, 3);
}

TEST(Describe, LeavesTheContextUntouched) {
    VpiContext context;
    std::memset(&context, 0x5A, sizeof context);
    Describe(&context);
    const auto *bytes = reinterpret_cast<const uint8_t *>(&context);
    for (size_t i = 0; i < sizeof context; ++i) {
        ASSERT_EQ(bytes[i], 0x5A) << "offset " << i;
    }
}

TEST(Describe, RepeatedCallsGiveTheSameRecordAndText) {
    const DriverInfo first = Describe(nullptr);
    const DriverInfo second = Describe(nullptr);
    EXPECT_EQ(std::memcmp(&first, &second, sizeof first), 0);
    EXPECT_EQ(first.name, second.name);
    EXPECT_EQ(first.banner, second.banner);
}

TEST(Describe, WithoutADataRecordDoesNothing) {
    VpiRequest request{nullptr, VPI_DESCRIBE, 0, 0, nullptr};
    EXPECT_NE(vpisd::DispatchCommand(&request), 0);
}

std::string Repeat(char c, size_t n) {
    return std::string(n, c);
}

TEST(Banner, IsTheCodePage437BoxByteForByte) {
    const std::string banner = Describe(nullptr).banner;
    ASSERT_EQ(banner.size(), 379u);
    ASSERT_EQ(banner.front(), '\n');
    ASSERT_EQ(banner.back(), '\n');

    const std::string edge = Repeat('\xC4', 60);
    const std::string bar = "\xB3";
    const std::string shades =
        Repeat('\xDB', 5) + Repeat('\xB2', 6) + Repeat('\xB1', 6) + Repeat('\xB0', 6);
    const std::string shadesBack =
        Repeat('\xB0', 6) + Repeat('\xB1', 6) + Repeat('\xB2', 6) + Repeat('\xDB', 5);
    const std::string lines[6] = {
        "\xDA" + edge + "\xBF",
        bar + " " + shades + " V P I S D " + shadesBack + "  " + bar,
        bar + Repeat(' ', 13) + "SquareD SY/MAX Driver installed." + Repeat(' ', 15) + bar,
        bar + Repeat(' ', 17) + "SY/MAX Protocol (RS232)." + Repeat(' ', 19) + bar,
        "", // the notice line is checked by shape below
        "\xC0" + edge + "\xD9",
    };
    size_t position = 1;
    for (int i = 0; i < 6; ++i) {
        const size_t end = banner.find('\n', position);
        ASSERT_NE(end, std::string::npos);
        const std::string line = banner.substr(position, end - position);
        ASSERT_EQ(line.size(), 62u) << "line " << i + 1;
        if (i == 4) {
            EXPECT_EQ(line.substr(0, 8), bar + Repeat(' ', 7));
            EXPECT_EQ(line.substr(8 + 46 - 12, 12), "Version 7.04");
            EXPECT_EQ(line.substr(54), Repeat(' ', 7) + bar);
        } else {
            EXPECT_EQ(line, lines[i]) << "line " << i + 1;
        }
        position = end + 1;
    }
    EXPECT_EQ(position, banner.size());
}

} // namespace
