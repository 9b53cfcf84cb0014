// Whole exchanges on the line that succeed at the first try: byte-exact traffic, values
// stored in the host's buffer, and the slot's toggle and sequence moved on.
#include "line_fixture.h"

#include "routing/route_table.h"

namespace vpisd::test {
namespace {

using ExchangeTest = LineFixture;

TEST_F(ExchangeTest, ReadOfOneRegisterFromAnUnlinkedPeerIsByteExact) {
    context.sequence[0] = 0x05;
    plc.OnRequest([](const ParsedRequest &request, int) {
        return GoodAnswer(request, ReadReply(request, {0x12, 0x34}));
    });
    TagAccess tag = Tag("000100", 0, 100, 1);

    ASSERT_EQ(Read(tag), 0) << LogDump();
    ASSERT_TRUE(plc.WaitFor(PeerEvent::ReplyAck, 1, 2000));

    EXPECT_EQ(ToHex(plc.Received()),
              "FE FE FE FE FE FE FE FE FE FE 10 05 "          // link enquiry, answered 10 12
              "10 15 "                                        // DLE NAK ahead of the frame
              "10 01 11 10 02 00 05 00 C6 00 00 10 03 FF FE " // toggle 0x11, no route
              "10 11");                                       // the reply's own toggle
    EXPECT_EQ(values[1], 0x1234);
    EXPECT_EQ(values[0], 0xBEEF) << "a single value lives in element 1 only";
    EXPECT_EQ(context.connected[0], 1);
    EXPECT_EQ(context.toggle[0], 0x12);
    EXPECT_EQ(context.sequence[0], 0x06);
    EXPECT_EQ(CountEvents(LOG_EVENT, "VPISD: Read Failed!"), 0);
}

TEST_F(ExchangeTest, DoubledDlesInReplyDataAreUndone) {
    // Data 10 03 is sent as 10 10 03, a trailing data DLE as 10 10 before DLE ETX.
    plc.OnRequest([](const ParsedRequest &request, int) {
        return GoodAnswer(request, ReadReply(request, {0x10, 0x03, 0x00, 0x10}));
    });
    TagAccess tag = Tag("000100", 0, 100, 2);

    ASSERT_EQ(Read(tag), 0) << LogDump();
    EXPECT_EQ(values[0], 0x1003);
    EXPECT_EQ(values[1], 0x0010);
    EXPECT_EQ(values[2], 0xBEEF);
}

TEST_F(ExchangeTest, LinkedSlotIsNotEnquiredAgainAndSequenceAdvancesPerSuccess) {
    plc.OnRequest([](const ParsedRequest &request, int) {
        return GoodAnswer(request, ReadReply(request, {0x00, 0x07}));
    });
    TagAccess tag = Tag("000001", 0, 1, 1);

    ASSERT_EQ(Read(tag), 0) << LogDump();
    ASSERT_EQ(Read(tag), 0) << LogDump();
    ASSERT_EQ(Read(tag), 0) << LogDump();

    const std::vector<ParsedRequest> requests = Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(plc.Count(PeerEvent::Enquiry), 1);
    // Linked with 0x11 from the enquiry's 10 12, then flipped after every accepted reply.
    EXPECT_EQ(requests[0].toggle, 0x11);
    EXPECT_EQ(requests[1].toggle, 0x12);
    EXPECT_EQ(requests[2].toggle, 0x11);
    EXPECT_EQ(requests[0].sequence(), 0);
    EXPECT_EQ(requests[1].sequence(), 1);
    EXPECT_EQ(requests[2].sequence(), 2);
    for (const ParsedRequest &request : requests) {
        EXPECT_TRUE(request.checksumOk);
    }
}

TEST_F(ExchangeTest, WriteOfABlockSendsItsValuesAndTracesEachStage) {
    context.sequence[0] = 0x05;
    plc.OnRequest(
        [](const ParsedRequest &request, int) { return GoodAnswer(request, WriteReply(request)); });
    values[0] = 1;
    values[1] = 2;
    values[2] = 3;
    TagAccess tag = Tag("000100", 0, 100, 3);

    ASSERT_EQ(Write(tag), 0) << LogDump();

    const std::vector<ParsedRequest> requests = Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(ToHex(requests[0].body), "02 05 00 C6 00 01 00 02 00 03 FF FF");
    EXPECT_EQ(context.sequence[0], 0x06);
    EXPECT_EQ(CountLog(LOG_DEBUG, "VPISD: Write Retries = 0"), 1);
    EXPECT_EQ(CountLog(LOG_DEBUG, "VPISD: Sending 'Write' Frame"), 1);
    EXPECT_EQ(CountLog(LOG_DEBUG, "VPISD: Processing write reply FRAME"), 1);
    EXPECT_EQ(CountLog(LOG_DEBUG, "Write completed successfully"), 1);
    EXPECT_EQ(values[0], 1) << "a write only reads the value buffer";
}

TEST_F(ExchangeTest, WriteOfTheLargestBlockGoesOutWhole) {
    plc.OnRequest(
        [](const ParsedRequest &request, int) { return GoodAnswer(request, WriteReply(request)); });
    for (uint16_t i = 0; i < 128; ++i) {
        values[i] = static_cast<uint16_t>(0x1000 + i); // every high byte a DLE on the wire
    }
    TagAccess tag = Tag("000001", 0, 1, 128);

    ASSERT_EQ(Write(tag), 0) << LogDump();
    const std::vector<ParsedRequest> requests = Requests();
    ASSERT_EQ(requests.size(), 1u);
    ASSERT_EQ(requests[0].body.size(), 262u);
    EXPECT_TRUE(requests[0].checksumOk);
    EXPECT_EQ(requests[0].body[4 + 2 * 127], 0x10);
    EXPECT_EQ(requests[0].body[5 + 2 * 127], 127);
}

TEST_F(ExchangeTest, RoutedSlotCarriesItsRouteAndAcceptsTheReversedReplyRoute) {
    StoreRoute(&context, "P1=10+3", 1);
    plc.OnRequest([](const ParsedRequest &request, int) {
        return GoodAnswer(request, ReadReply(request, {0xAB, 0xCD}));
    });
    TagAccess tag = Tag("P10001", 1, 1, 1);

    ASSERT_EQ(Read(tag), 0) << LogDump();
    const std::vector<ParsedRequest> requests = Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(std::string(requests[0].route.begin(), requests[0].route.end()), "0A03");
    EXPECT_EQ(values[1], 0xABCD);
    EXPECT_EQ(context.connected[1], 1);
    EXPECT_EQ(context.connected[0], 0);
}

TEST_F(ExchangeTest, PeerToPeerSlotSendsNoRouteEvenWithRoutesLoaded) {
    StoreRoute(&context, "P1=10+3", 1);
    plc.OnRequest([](const ParsedRequest &request, int) {
        return GoodAnswer(request, ReadReply(request, {0x00, 0x01}));
    });
    TagAccess tag = Tag("000001", 0, 1, 1);

    ASSERT_EQ(Read(tag), 0) << LogDump();
    const std::vector<ParsedRequest> requests = Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_TRUE(requests[0].route.empty());
    EXPECT_EQ(requests[0].raw[3], 0x10) << "DLE STX right after the toggle";
    EXPECT_EQ(requests[0].raw[4], 0x02);
}

} // namespace
} // namespace vpisd::test
