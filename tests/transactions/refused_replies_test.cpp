// Replies that arrive but cannot be used: each is acknowledged, refused, and retried; the
// read or write ends with 1 when the last try got such a reply.
#include "line_fixture.h"

#include "routing/route_table.h"

namespace vpisd::test {
namespace {

using RefusedRepliesTest = LineFixture;

ScriptedPlc::RequestScript GoodRead(Bytes data) {
    return [data](const ParsedRequest &request, int) {
        return GoodAnswer(request, ReadReply(request, data));
    };
}

TEST_F(RefusedRepliesTest, WrongChecksumIsAcknowledgedWithTheRepliesOwnToggleThenRetried) {
    plc.QueueRequest([](const ParsedRequest &request, int) {
        // Reply toggle 0x12 although the request carried 0x11.
        Bytes answer = Hex("10 11");
        Bytes frame = ReplyFrame(0x12, {}, ReadReply(request, {0x66, 0x66}));
        frame.back() = static_cast<uint8_t>(frame.back() + 1);
        answer.insert(answer.end(), frame.begin(), frame.end());
        return answer;
    });
    plc.OnRequest(GoodRead({0x00, 0x09}));
    TagAccess tag = Tag("000001", 0, 1, 1);

    ASSERT_EQ(Read(tag), 0) << LogDump();
    ASSERT_TRUE(plc.WaitFor(PeerEvent::ReplyAck, 2, 2000));
    std::vector<Bytes> acks;
    for (const PeerEvent &event : plc.Events()) {
        if (event.kind == PeerEvent::ReplyAck) {
            acks.push_back(event.bytes);
        }
    }
    ASSERT_EQ(acks.size(), 2u);
    EXPECT_EQ(ToHex(acks[0]), "10 12");
    EXPECT_EQ(values[1], 0x0009);
    EXPECT_EQ(context.sequence[0], 1) << "advanced once, for the accepted reply only";
    EXPECT_EQ(CountLog(LOG_DEBUG, "VPISD: Read Retries = 1 GAS=000001"), 1);
}

TEST_F(RefusedRepliesTest, StaleSequenceIsRefusedAndTheRetryKeepsTheSequence) {
    context.sequence[0] = 0x20;
    plc.QueueRequest([](const ParsedRequest &request, int) {
        Bytes body = ReadReply(request, {0x77, 0x77});
        body[1] = static_cast<uint8_t>(request.sequence() - 1);
        return GoodAnswer(request, body);
    });
    plc.OnRequest(GoodRead({0x00, 0x03}));
    TagAccess tag = Tag("000001", 0, 1, 1);

    ASSERT_EQ(Read(tag), 0) << LogDump();
    const std::vector<ParsedRequest> requests = Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].sequence(), 0x20);
    EXPECT_EQ(requests[1].sequence(), 0x20);
    EXPECT_EQ(values[1], 0x0003);
    EXPECT_EQ(context.sequence[0], 0x21);
}

TEST_F(RefusedRepliesTest, ReplyRouteNotReversedIsRefused) {
    StoreRoute(&context, "P1=10+3", 1);
    plc.QueueRequest([](const ParsedRequest &request, int) {
        Bytes answer = Hex("10 11");
        const Bytes frame = ReplyFrame(request.toggle, request.route, // as sent: 0A03
                                       ReadReply(request, {0x77, 0x77}));
        answer.insert(answer.end(), frame.begin(), frame.end());
        return answer;
    });
    plc.OnRequest(GoodRead({0x00, 0x04}));
    TagAccess tag = Tag("P10001", 1, 1, 1);

    ASSERT_EQ(Read(tag), 0) << LogDump();
    EXPECT_EQ(Requests().size(), 2u);
    EXPECT_EQ(values[1], 0x0004);
}

TEST_F(RefusedRepliesTest, GarbledLastReplyGivesOneWithoutSwitch) {
    StoreRoute(&context, "P1=1+5,2+5", 1);
    plc.OnRequest([](const ParsedRequest &request, int) {
        Bytes answer = GoodAnswer(request, WriteReply(request));
        answer.back() = static_cast<uint8_t>(answer.back() ^ 0x5A);
        return answer;
    });
    TagAccess tag = Tag("P10001", 1, 1, 1);

    EXPECT_EQ(Write(tag), 1) << LogDump();
    EXPECT_EQ(Requests().size(), 10u);
    ASSERT_TRUE(plc.WaitFor(PeerEvent::ReplyAck, 10, 2000));
    EXPECT_EQ(CountLog(LOG_DEBUG, "VPISD: Processing write reply FRAME"), 10);
    EXPECT_EQ(CountLog(LOG_DEBUG, "Write completed successfully"), 0);
    EXPECT_EQ(CountLog(LOG_EVENT, "VPISD: Write Failed! GAS = P10001 rc = 1"), 1);
    EXPECT_EQ(CountEvents(LOG_EVENT, "VPISD: Comms fail!"), 0);
    EXPECT_EQ(context.useBackup[1], 0);
    EXPECT_EQ(context.sequence[1], 0);
}

TEST_F(RefusedRepliesTest, WriteRetrySendsTheValuesReadBeforeTheFirstTry) {
    values[1] = 0x0102;
    plc.QueueRequest([this](const ParsedRequest &, int) {
        values[1] = 0x0304; // the host's buffer changes while the first try waits
        return Bytes{};
    });
    plc.OnRequest(
        [](const ParsedRequest &request, int) { return GoodAnswer(request, WriteReply(request)); });
    TagAccess tag = Tag("000001", 0, 1, 1);

    ASSERT_EQ(Write(tag), 0) << LogDump();
    const std::vector<ParsedRequest> requests = Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(ToHex(requests[1].body), "02 00 00 00 01 02 FF FF");
}

} // namespace
} // namespace vpisd::test
