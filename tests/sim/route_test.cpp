// Routes as configured ("1+5") and as carried in frames ("0105").
#include "sim/error.h"
#include "sim/route.h"

#include <gtest/gtest.h>

namespace vpisd::sim {
namespace {

TEST(RouteParsing, DropsJoinedByPlus) {
    EXPECT_EQ(ParseDrops("1+5"), (Drops{1, 5}));
    EXPECT_EQ(ParseDrops("255"), (Drops{255}));
    EXPECT_EQ(ParseDrops("1+2+3+4+5+6+7+8").size(), 8u);
    EXPECT_EQ(DropsText({10, 255, 3}), "10+255+3");
}

TEST(RouteParsing, RefusesWhatNoRouteCanHold) {
    for (const char *bad :
         {"", "0", "256", "1+", "+1", "1++2", "1+x", "-1", "1+2+3+4+5+6+7+8+9", "0001"}) {
        EXPECT_THROW(ParseDrops(bad), SimError) << bad;
    }
}

TEST(RouteText, TwoUpperCaseHexCharactersPerDrop) {
    EXPECT_EQ(RouteText({1, 5}), "0105");
    EXPECT_EQ(RouteText({10, 255}), "0AFF");
    EXPECT_EQ(RouteText({}), "");
    EXPECT_EQ(RouteDrops("0AFF"), (Drops{10, 255}));
    EXPECT_EQ(RouteDrops(""), Drops{});
    for (uint8_t d = 1; d != 0; ++d) {
        EXPECT_EQ(RouteDrops(RouteText({d, 1})), (Drops{d, 1}));
    }
}

TEST(RouteText, MalformedFrameRoutesAreRefused) {
    for (const char *bad : {"0", "0a05", "0G", "01 2", "010203040506070809"}) {
        EXPECT_FALSE(RouteDrops(bad).has_value()) << bad;
    }
}

} // namespace
} // namespace vpisd::sim
