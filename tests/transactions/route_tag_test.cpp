// The "!ROUTE" pseudo-tag: served from the route table alone, in any letter case, with no
// link and no traffic.
#include "line_fixture.h"

#include "routing/route_table.h"

namespace vpisd::test {
namespace {

class RouteTagTest : public LineFixture {
  protected:
    void SetUp() override {
        LineFixture::SetUp();
        StoreRoute(&context, "P1=1+5,2+5", 1);
        StoreRoute(&context, "P2=10+255", 2);
    }
};

TEST_F(RouteTagTest, ReadAnswersTheFlagWithoutTraffic) {
    context.useBackup[1] = 0x10001; // only the low 16 bits reach the host
    TagAccess tag = RouteTag("p1!route", 1);

    EXPECT_EQ(Read(tag), 0);
    EXPECT_EQ(values[1], 1);
    EXPECT_EQ(values[0], 0xBEEF);
    EXPECT_TRUE(LineStayedQuiet());
    EXPECT_EQ(context.connected[1], 0);
    EXPECT_TRUE(LogEntries().empty()) << LogDump();
}

TEST_F(RouteTagTest, ReadOfSlotZeroReturnsItsFlagAsItStands) {
    context.useBackup[0] = 7;
    TagAccess tag = RouteTag("00!Route", 0);

    EXPECT_EQ(Read(tag), 0);
    EXPECT_EQ(values[1], 7);
    EXPECT_TRUE(LineStayedQuiet());
}

TEST_F(RouteTagTest, WriteStoresTheValueOnlyWhereABackupRouteExists) {
    TagAccess withBackup = RouteTag("P1!ROUTE", 1);
    values[1] = 2;
    EXPECT_EQ(Write(withBackup), 0);
    EXPECT_EQ(context.useBackup[1], 2);

    values[1] = 0xBEEF;
    EXPECT_EQ(Read(withBackup), 0);
    EXPECT_EQ(values[1], 2);

    values[1] = 0xFFFF;
    EXPECT_EQ(Write(withBackup), 0);
    EXPECT_EQ(context.useBackup[1], 0xFFFF) << "widened without sign";

    values[1] = 0;
    EXPECT_EQ(Write(withBackup), 0);
    EXPECT_EQ(context.useBackup[1], 0);

    TagAccess withoutBackup = RouteTag("p2!route", 2);
    values[1] = 1;
    EXPECT_EQ(Write(withoutBackup), 0);
    EXPECT_EQ(context.useBackup[2], 0);

    EXPECT_TRUE(LineStayedQuiet());
    EXPECT_TRUE(LogEntries().empty()) << LogDump();
}

TEST_F(RouteTagTest, WrittenSelectionRoutesTheNextFrame) {
    TagAccess route = RouteTag("P1!ROUTE", 1);
    values[1] = 5;
    ASSERT_EQ(Write(route), 0);

    plc.OnRequest([](const ParsedRequest &request, int) {
        return GoodAnswer(request, ReadReply(request, {0x00, 0x01}));
    });
    TagAccess tag = Tag("P10001", 1, 1, 1);
    ASSERT_EQ(Read(tag), 0) << LogDump();
    const std::vector<ParsedRequest> requests = Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(std::string(requests[0].route.begin(), requests[0].route.end()), "0205");
}

TEST_F(RouteTagTest, NearMissesAreOrdinaryTags) {
    // "!ROUTE" must stand right after the two-character prefix and end the GAS.
    for (const char *gas : {"P1!ROUTEX", "P!ROUTE", "P1 !ROUTE"}) {
        TagAccess tag = RouteTag(gas, 1);
        tag.type = 0;
        tag.kind = VPI_KIND_REGISTER;
        context.connected[1] = 1;
        context.toggle[1] = 0x11;
        plc.QueueRequest([](const ParsedRequest &request, int) {
            return GoodAnswer(request, ReadReply(request, {0x00, 0x00}));
        });
        EXPECT_EQ(Read(tag), 0) << gas << "\n" << LogDump();
    }
    EXPECT_EQ(Requests().size(), 3u);
}

} // namespace
} // namespace vpisd::test
