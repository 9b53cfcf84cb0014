// Frame end: an ETX ends the frame only after an odd run of DLEs.
#include <gtest/gtest.h>

#include "link/reply.h"
#include "support/pty.h"

namespace vpisd {
namespace {

struct EndCase {
    const char *bytes; // the test looks at the last byte
    int expected;
};

TEST(FrameEnd, RunOfDlesBeforeEtx) {
    const EndCase cases[] = {
        {"10 01 11 10 03", 1},          // DLE ETX
        {"10 01 11 10 10 03", 0},       // data DLE, data 0x03
        {"10 01 11 10 10 10 03", 1},    // data DLE, then the end
        {"10 01 11 10 10 10 10 03", 0}, // two data DLEs, data 0x03
        {"10 01 11 05 03", 0},          // no DLE before it
        {"10 01 11 10 02", 0},          // not ETX at all
        {"10 01 11 10 10", 0},
    };
    for (const auto &c : cases) {
        const auto bytes = test::Hex(c.bytes);
        EXPECT_EQ(IsFrameEnd(bytes.data(), static_cast<int>(bytes.size()) - 1), c.expected)
            << c.bytes;
    }
}

TEST(FrameEnd, OffsetZeroIsNeverCounted) {
    const auto twoBytes = test::Hex("10 03");
    EXPECT_EQ(IsFrameEnd(twoBytes.data(), 1), 0);
    const auto threeBytes = test::Hex("10 10 03");
    EXPECT_EQ(IsFrameEnd(threeBytes.data(), 2), 1) << "only the DLE at offset 1 counts";
    EXPECT_EQ(IsFrameEnd(twoBytes.data(), 0), 0);
}

} // namespace
} // namespace vpisd
