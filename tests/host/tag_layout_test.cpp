// GAS text and the place of a tag's values in the driver's buffer.
#include <gtest/gtest.h>

#include <vector>

#include "host/tag_layout.h"
#include "vpisd/vpi.h"

namespace vpisd::host {
namespace {

TEST(GasShape, TypeFollowsTheForm) {
    EXPECT_EQ(TypeForGas("P10100"), kTypeRegister);
    EXPECT_EQ(TypeForGas("P10101F"), kTypePair);
    EXPECT_EQ(TypeForGas("p10101f"), kTypePair);
    EXPECT_EQ(TypeForGas("P1010003"), kTypeBit);
    EXPECT_EQ(TypeForGas("p1!route"), kTypeBit);
    EXPECT_TRUE(IsRouteGas("P1!Route"));
    EXPECT_FALSE(IsRouteGas("P1!ROUT"));
}

TEST(GasShape, RegistersBitsAndRoutesAreWrittenAsTheDriverParsesThem) {
    EXPECT_EQ(RegisterGas("P1", 100), "P10100");
    EXPECT_EQ(RegisterGas("00", 9999), "009999");
    EXPECT_EQ(BitGas("P1", 100, 0), "P1010001"); // bits count from 01
    EXPECT_EQ(BitGas("P1", 1, 15), "P1000116");
    EXPECT_EQ(RouteGas("P2"), "P2!ROUTE");
    EXPECT_EQ(TypeForGas(BitGas("P1", 100, 2)), kTypeBit);
    EXPECT_TRUE(IsRouteGas(RouteGas("P1")));
}

TEST(ValueLayout, OneWordTagsLiveInElementOneLongerOnesFromElementZero) {
    struct Case {
        TagLayout tag;
        size_t first;
        size_t words;
        size_t buffer;
    };
    const Case cases[] = {
        {{0, VPI_KIND_REGISTER, 100, kNoBit, 1}, 1, 1, 2},
        {{0, VPI_KIND_REGISTER, 100, kNoBit, 3}, 0, 3, 3},
        {{0, VPI_KIND_REGISTER, 100, 4, 1}, 1, 1, 2},
        {{0, VPI_KIND_ROUTE, 20000, kNoBit, 1}, 1, 1, 2},
        {{0, VPI_KIND_REGISTER_PAIR, 51, kNoBit, 1}, 0, 2, 2},
        {{0, VPI_KIND_REGISTER_PAIR, 51, kNoBit, 2}, 0, 4, 4},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "kind " << c.tag.kind << " count " << c.tag.count);
        EXPECT_EQ(FirstValueWord(c.tag), c.first);
        EXPECT_EQ(BufferWords(c.tag), c.buffer);
        std::vector<uint16_t> buffer(BufferWords(c.tag));
        const std::span<uint16_t> words = ValueWords(c.tag, buffer);
        EXPECT_EQ(words.data(), buffer.data() + c.first);
        EXPECT_EQ(words.size(), c.words);
    }
}

} // namespace
} // namespace vpisd::host
