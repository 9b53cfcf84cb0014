// Routes at the edges of the route slot, end to end: eight drops on both paths (sixteen route
// characters each way), and drop 44, whose byte is also the slot's separator.
#include "end_to_end/driver_on_sim.h"

namespace vpisd::e2e {
namespace {

class RouteShapes : public DriverOnSim {};

TEST_F(RouteShapes, EightDropsOnBothPathsCarryReplies) {
    Launch("[plc P8]\nroute = 1+2+3+4+5+6+7+8\nbackup = 255+254+253+16+252+251+250+3\n"
           "100 = 0x0808\n");
    auto tag = MakeTag("P80100");
    ASSERT_EQ(Read(*tag), VPI_OK);
    EXPECT_EQ(tag->values()[1], 0x0808);

    auto route = MakeTag("P8!ROUTE", kTypeBit);
    route->values()[1] = 1;
    ASSERT_EQ(Write(*route), VPI_OK);

    tag->values()[1] = 0x1010;
    ASSERT_EQ(Write(*tag), VPI_OK);
    ASSERT_EQ(Read(*tag), VPI_OK);
    EXPECT_EQ(tag->values()[1], 0x1010);
    EXPECT_EQ(Stat("requests.P8.normal"), 1U);
    EXPECT_EQ(Stat("requests.P8.backup"), 2U);
    EXPECT_EQ(Stat("frames_bad"), 0U);
}

TEST_F(RouteShapes, DropFortyFourIsADropNotTheSeparator) {
    Launch("[plc PA]\nroute = 44+1\nbackup = 2+1\n100 = 1\n"
           "[plc PB]\nroute = 3+44+44\n100 = 2\n"
           "[plc PC]\nroute = 4+1\nbackup = 5+44\n100 = 3\n");
    auto both = MakeTag("PA0100");
    ASSERT_EQ(Read(*both), VPI_OK);
    EXPECT_EQ(both->values()[1], 1);
    auto route = MakeTag("PA!ROUTE", kTypeBit);
    route->values()[1] = 1;
    ASSERT_EQ(Write(*route), VPI_OK);
    ASSERT_EQ(Read(*both), VPI_OK);
    EXPECT_EQ(Stat("requests.PA.normal"), 1U);
    EXPECT_EQ(Stat("requests.PA.backup"), 1U);

    auto normalOnly = MakeTag("PB0100");
    ASSERT_EQ(Read(*normalOnly), VPI_OK);
    EXPECT_EQ(normalOnly->values()[1], 2);

    // A backup route holding 44 is left out when the file is loaded; the normal one works.
    auto noBackup = MakeTag("PC0100");
    ASSERT_EQ(Read(*noBackup), VPI_OK);
    EXPECT_EQ(noBackup->values()[1], 3);
    auto other = MakeTag("PC!ROUTE", kTypeBit);
    other->values()[1] = 1;
    ASSERT_EQ(Write(*other), VPI_OK);
    EXPECT_EQ(RouteSelection("PC"), 0);
    EXPECT_EQ(Stat("requests.none.unknown"), 0U);
    EXPECT_EQ(Stat("frames_bad"), 0U);
}

} // namespace
} // namespace vpisd::e2e
