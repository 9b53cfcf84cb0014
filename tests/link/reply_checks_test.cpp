// Checks on a stored reply: checksum, DLE STX position, undoubling, route, body extraction.
#include <gtest/gtest.h>

#include <cstring>

#include "link/reply.h"
#include "support/pty.h"
#include "support/scripted_plc.h"

namespace vpisd {
namespace {

using test::Bytes;
using test::Hex;
using test::ToHex;

const Bytes kWorkedReply = Hex("10 01 11 30 33 30 41 10 02 86 05 00 00 10 10 03 10 03 48");
const Bytes kSentRoute = Hex("30 41 30 33"); // drops 0A, 03

Bytes Copy(const Bytes &reply) {
    uint8_t copy[kReplyMaxBytes];
    std::memset(copy, 0xCC, sizeof copy);
    const int length = CopyReply(reply.data(), copy, static_cast<int>(reply.size()));
    EXPECT_LE(length, static_cast<int>(reply.size()));
    return Bytes(copy, copy + length);
}

int RouteCheck(const Bytes &reply, const Bytes &sentRoute) {
    const Bytes copy = Copy(reply);
    uint8_t route[20] = {}; // the caller's zero-filled route area
    if (!sentRoute.empty())
        std::memcpy(route, sentRoute.data(), sentRoute.size());
    return CheckReplyRoute(copy.data(), static_cast<int>(copy.size()), route,
                           static_cast<int>(sentRoute.size()));
}

int FrameCheck(const Bytes &reply, int routeLength) {
    return CheckReplyFrame(reply.data(), static_cast<int>(reply.size()), routeLength);
}

TEST(ReplyChecks, WorkedReplyPassesTheWholeChain) {
    // The peer's builder, which the other cases rely on, gives the same bytes.
    EXPECT_EQ(test::ReplyFrame(0x11, test::ReversedRoute(kSentRoute), Hex("86 05 00 00 10 03")),
              kWorkedReply);
    ASSERT_EQ(FrameCheck(kWorkedReply, 4), 1);
    const Bytes copy = Copy(kWorkedReply);
    EXPECT_EQ(ToHex(copy), "10 01 11 30 33 30 41 10 02 86 05 00 00 10 03 10 03 48");
    EXPECT_EQ(RouteCheck(kWorkedReply, kSentRoute), 1);
    uint8_t data[kReplyMaxBytes];
    const int count = ExtractReplyData(copy.data(), static_cast<int>(copy.size()), data, 4);
    EXPECT_EQ(ToHex(Bytes(data, data + count)), "86 05 00 00 10 03");
}

TEST(ReplyChecks, FrameCheckRefusesBadChecksumAndMisplacedStx) {
    Bytes corrupted = kWorkedReply;
    corrupted.back() ^= 0x01;
    EXPECT_EQ(FrameCheck(corrupted, 4), 0);
    Bytes flipped = kWorkedReply; // body byte changed, checksum left as it was
    flipped[10] = 0x06;
    EXPECT_EQ(FrameCheck(flipped, 4), 0);
    EXPECT_EQ(FrameCheck(kWorkedReply, 2), 0) << "reply route shorter than sent";
    EXPECT_EQ(FrameCheck(kWorkedReply, 0), 0) << "reply carries a route, none was sent";
    EXPECT_EQ(FrameCheck(kWorkedReply, 6), 0);
    EXPECT_EQ(CheckReplyStx(kWorkedReply.data(), static_cast<int>(kWorkedReply.size()), 4), 1);
}

TEST(ReplyChecks, ChecksumOfDleIsOneByteAndKeptByTheCopy) {
    // Find a body whose reply checksum is 0x10, using the peer's independent builder.
    for (int b = 0; b < 256; ++b) {
        const Bytes reply = test::ReplyFrame(0x12, {}, Bytes{0x80, static_cast<uint8_t>(b)});
        if (reply.back() != 0x10 || b == 0x10)
            continue;
        EXPECT_EQ(FrameCheck(reply, 0), 1);
        const Bytes copy = Copy(reply);
        ASSERT_EQ(copy.size(), reply.size());
        EXPECT_EQ(copy.back(), 0x10);
        return;
    }
    FAIL() << "no body gives checksum 0x10";
}

TEST(ReplyChecks, CopyTakesDlePairsLeftToRight) {
    EXPECT_EQ(ToHex(Copy(Hex("10 10 10 03"))), "10 10 03");
    EXPECT_EQ(ToHex(Copy(Hex("10 10 10 10"))), "10 10");
    EXPECT_EQ(ToHex(Copy(Hex("01 10"))), "01 10");
}

TEST(ReplyChecks, BodyWithDataDleAndEtxSurvivesTheChain) {
    const Bytes body = Hex("86 05 10 03 10");
    const Bytes reply = test::ReplyFrame(0x11, Hex("30 32"), body);
    ASSERT_EQ(FrameCheck(reply, 2), 1);
    const Bytes copy = Copy(reply);
    EXPECT_EQ(RouteCheck(reply, Hex("30 32")), 1) << "one group is compared unchanged";
    uint8_t data[kReplyMaxBytes];
    const int count = ExtractReplyData(copy.data(), static_cast<int>(copy.size()), data, 2);
    EXPECT_EQ(Bytes(data, data + count), body);
}

TEST(ReplyChecks, RouteMustComeBackReversed) {
    const Bytes notReversed = test::ReplyFrame(0x11, kSentRoute, Hex("80 01"));
    EXPECT_EQ(FrameCheck(notReversed, 4), 1);
    EXPECT_EQ(RouteCheck(notReversed, kSentRoute), 0);
    const Bytes otherDrop = test::ReplyFrame(0x11, Hex("30 33 30 42"), Hex("80 01"));
    EXPECT_EQ(RouteCheck(otherDrop, kSentRoute), 0);
    const Bytes noRoute = test::ReplyFrame(0x11, {}, Hex("80 01"));
    EXPECT_EQ(RouteCheck(noRoute, {}), 1);
}

TEST(ReplyChecks, EightDropRouteIsAccepted) {
    const Bytes sent = Hex("30 31 30 32 30 33 30 34 30 35 30 36 30 37 46 46");
    const Bytes reply = test::ReplyFrame(0x12, test::ReversedRoute(sent), Hex("86 05 00 00 12 34"));
    ASSERT_EQ(FrameCheck(reply, 16), 1);
    EXPECT_EQ(RouteCheck(reply, sent), 1);
    const Bytes swapped = test::ReplyFrame(0x12, sent, Hex("86 05 00 00 12 34"));
    EXPECT_EQ(RouteCheck(swapped, sent), 0);
}

TEST(ReplyChecks, OddOrOverlongReplyRouteIsRefused) {
    EXPECT_EQ(RouteCheck(test::ReplyFrame(0x11, Hex("30 41 30"), Hex("80 01")), Hex("30 41 30")),
              0);
    // Longer than any route a request can carry: refused, nothing collected past the limit.
    const Bytes long18(18, 0x30);
    EXPECT_EQ(RouteCheck(test::ReplyFrame(0x11, long18, Hex("80 01")), long18), 0);
    Bytes noStx = Hex("10 01 11");
    noStx.insert(noStx.end(), 40, 0x31);
    EXPECT_EQ(RouteCheck(noStx, Bytes(16, 0x31)), 0);
}

TEST(ReplyChecks, ExtractOfAnEmptyBodyGivesNothing) {
    const Bytes reply = test::ReplyFrame(0x11, {}, {});
    const Bytes copy = Copy(reply);
    uint8_t data[4] = {0xCC, 0xCC, 0xCC, 0xCC};
    EXPECT_EQ(ExtractReplyData(copy.data(), static_cast<int>(copy.size()), data, 0), 0);
    EXPECT_EQ(data[0], 0xCC);
    EXPECT_EQ(ExtractReplyData(copy.data(), 5, data, 0), 0);
}

} // namespace
} // namespace vpisd
