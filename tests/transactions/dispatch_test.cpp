// Reads and writes reach their transactions through the command table under both codes.
#include "line_fixture.h"

#include "driver/command_table.h"
#include "routing/route_table.h"

namespace vpisd::test {
namespace {

using DispatchTest = LineFixture;

TEST_F(DispatchTest, BothReadCodesReadAndBothWriteCodesWrite) {
    plc.OnRequest([](const ParsedRequest &request, int) {
        const Bytes body =
            request.body[0] == 0x00
                ? ReadReply(request, {0x00, static_cast<uint8_t>(request.sequence())})
                : WriteReply(request);
        return GoodAnswer(request, body);
    });
    TagAccess tag = Tag("000001", 0, 1, 1);
    values[1] = 0x4242;

    for (const int32_t code : {VPI_READ_ALIAS, VPI_READ, VPI_WRITE_ALIAS, VPI_WRITE}) {
        const VpiRequest request{&context, code, kTestVpiNumber, 0, &tag};
        EXPECT_EQ(DispatchCommand(&request), 0) << code << "\n" << LogDump();
    }
    const std::vector<ParsedRequest> requests = Requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].body[0], 0x00);
    EXPECT_EQ(requests[1].body[0], 0x00);
    EXPECT_EQ(requests[2].body[0], 0x02);
    EXPECT_EQ(requests[3].body[0], 0x02);
    EXPECT_EQ(values[1], 1) << "the second read got the sequence byte 1 as its value";
    EXPECT_EQ(ToHex(requests[3].body), "02 03 00 00 00 01 FF FF");
}

TEST_F(DispatchTest, RouteTagThroughEveryCodeSendsNothing) {
    StoreRoute(&context, "P1=1+5,2+5", 1);
    TagAccess tag = RouteTag("P1!ROUTE", 1);
    values[1] = 1;
    for (const int32_t code : {VPI_WRITE_ALIAS, VPI_WRITE}) {
        const VpiRequest request{&context, code, kTestVpiNumber, 0, &tag};
        EXPECT_EQ(DispatchCommand(&request), 0);
    }
    EXPECT_EQ(context.useBackup[1], 1);
    for (const int32_t code : {VPI_READ_ALIAS, VPI_READ}) {
        values[1] = 0xBEEF;
        const VpiRequest request{&context, code, kTestVpiNumber, 0, &tag};
        EXPECT_EQ(DispatchCommand(&request), 0);
        EXPECT_EQ(values[1], 1);
    }
    EXPECT_TRUE(LineStayedQuiet());
}

} // namespace
} // namespace vpisd::test
