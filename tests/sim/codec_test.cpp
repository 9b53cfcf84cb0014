// The simulator's frame codec, from the PLC's side, against frames worked out by hand.
#include "sim/codec.h"

#include "support/pty.h"

#include <gtest/gtest.h>

namespace vpisd::sim {
namespace {

using vpisd::test::Hex;
using vpisd::test::ToHex;

std::vector<LinkEvent> FeedAll(FrameReader &reader, const std::vector<uint8_t> &bytes) {
    std::vector<LinkEvent> events;
    for (uint8_t b : bytes) {
        LinkEvent event;
        if (reader.Feed(b, event))
            events.push_back(event);
    }
    return events;
}

TEST(FrameEncoding, WorkedRequestFrames) {
    const auto body = Hex("01 10 03");
    EXPECT_EQ(ToHex(EncodeFrame(0x11, "", body)), "10 01 11 10 02 01 10 10 03 10 03 A6");
    EXPECT_EQ(ToHex(EncodeFrame(0x12, "0A03", body)),
              "10 01 12 30 41 30 33 10 02 01 10 10 03 10 03 D1");
}

TEST(FrameEncoding, WorkedReplyOverReversedRoute) {
    EXPECT_EQ(ToHex(EncodeFrame(0x11, ReverseRouteGroups("0A03"), Hex("86 05 00 00 10 03"))),
              "10 01 11 30 33 30 41 10 02 86 05 00 00 10 10 03 10 03 48");
    EXPECT_EQ(ToHex(EncodeFrame(0x11, "", Hex("86 05 00 00 12 34"))),
              "10 01 11 10 02 86 05 00 00 12 34 10 03 F9");
}

TEST(FrameEncoding, EmptyBodyAndChecksumNeverDoubled) {
    // 11 10 02 10 03 sums to 0x36.
    EXPECT_EQ(ToHex(EncodeFrame(0x11, "", {})), "10 01 11 10 02 10 03 CA");
    // Find a body whose checksum is 0x10 and check it goes out as a single byte.
    for (unsigned b = 0; b < 256; ++b) {
        const auto frame = EncodeFrame(0x11, "", std::vector<uint8_t>{uint8_t(b)});
        if (frame.back() != 0x10)
            continue;
        EXPECT_NE(frame[frame.size() - 2], 0x10) << "checksum doubled";
        EXPECT_EQ(frame[frame.size() - 2], 0x03);
        return;
    }
    FAIL() << "no body with checksum 0x10";
}

TEST(FrameEncoding, EveryDleOfTheBodyDoubledAndCounted) {
    const auto frame = EncodeFrame(0x12, "", Hex("10 10 10"));
    EXPECT_EQ(ToHex(frame).substr(0, 30), "10 01 12 10 02 10 10 10 10 10 ");
    EXPECT_EQ(frame.size(), 8u + 6u);
    unsigned sum = 0;
    for (size_t i = 2; i < frame.size(); ++i)
        sum += frame[i];
    EXPECT_EQ(sum % 256, 0u);
}

TEST(FrameEncoding, ChecksumIsTwosComplementOfTheByteSum) {
    EXPECT_EQ(FrameChecksum(Hex("61 62 63")), 0xDA);
    EXPECT_EQ(FrameChecksum({}), 0x00);
    EXPECT_EQ(FrameChecksum(Hex("80 80")), 0x00);
}

TEST(RouteReversal, GroupsOfTwoInReverseOrder) {
    EXPECT_EQ(ReverseRouteGroups(""), "");
    EXPECT_EQ(ReverseRouteGroups("05"), "05");
    EXPECT_EQ(ReverseRouteGroups("0A03"), "030A");
    EXPECT_EQ(ReverseRouteGroups("010203040506070A"), "0A07060504030201");
    EXPECT_EQ(ReverseRouteGroups("01020"), "02010");
}

TEST(FrameReading, WorkedRequestFramesAreReadBack) {
    FrameReader reader;
    auto events = FeedAll(reader, Hex("10 01 11 10 02 01 10 10 03 10 03 A6 FE"));
    ASSERT_EQ(events.size(), 2u);
    ASSERT_EQ(events[0].kind, LinkEvent::Kind::Frame);
    EXPECT_TRUE(events[0].frame.ok());
    EXPECT_EQ(events[0].frame.toggle, 0x11);
    EXPECT_EQ(events[0].frame.route, "");
    EXPECT_EQ(ToHex(events[0].frame.body), "01 10 03");
    EXPECT_EQ(events[0].frame.rawLength, 12u);
    EXPECT_EQ(events[1].kind, LinkEvent::Kind::Filler);

    events = FeedAll(reader, Hex("10 01 12 30 41 30 33 10 02 01 10 10 03 10 03 D1 FE"));
    ASSERT_EQ(events.size(), 2u);
    EXPECT_TRUE(events[0].frame.ok());
    EXPECT_EQ(events[0].frame.toggle, 0x12);
    EXPECT_EQ(events[0].frame.route, "0A03");
    EXPECT_EQ(ToHex(events[0].frame.body), "01 10 03");
}

TEST(FrameReading, ControlPairsOutsideFrames) {
    FrameReader reader;
    const auto events = FeedAll(reader, Hex("FE FE 10 05 10 15 10 11 10 12 41 10 06 10 10 05"));
    std::vector<LinkEvent::Kind> kinds;
    for (const auto &e : events)
        kinds.push_back(e.kind);
    using K = LinkEvent::Kind;
    const std::vector<K> expected{K::Filler,   K::Filler, K::Enquiry, K::Nak,   K::ReplyAck,
                                  K::ReplyAck, K::Stray,  K::Stray,   K::Stray, K::Enquiry};
    EXPECT_EQ(kinds, expected);
    EXPECT_EQ(events[4].byte, 0x11);
    EXPECT_EQ(events[5].byte, 0x12);
    EXPECT_FALSE(reader.InFrame());
}

TEST(FrameReading, DataEtxAfterDoubledDleDoesNotEndTheFrame) {
    FrameReader reader;
    // Body 10 03 (sent 10 10 03) and a body ending in a data DLE (sent 10 10, then 10 03).
    const auto first = FeedAll(reader, EncodeFrame(0x11, "", Hex("02 05 10 03 FF FF")));
    ASSERT_EQ(first.size(), 1u);
    EXPECT_TRUE(first[0].frame.ok());
    EXPECT_EQ(ToHex(first[0].frame.body), "02 05 10 03 FF FF");
    const auto second = FeedAll(reader, EncodeFrame(0x12, "", Hex("00 10")));
    ASSERT_EQ(second.size(), 1u);
    EXPECT_TRUE(second[0].frame.ok());
    EXPECT_EQ(ToHex(second[0].frame.body), "00 10");
}

TEST(FrameReading, DamagedFramesAreFlagged) {
    FrameReader reader;
    auto frame = EncodeFrame(0x11, "0105", Hex("00 01 00 00 00 00"));
    frame.back() ^= 0x01;
    auto events = FeedAll(reader, frame);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_FALSE(events[0].frame.checksumOk);
    EXPECT_FALSE(events[0].frame.ok());

    // A toggle other than 0x11/0x12, with a right checksum.
    events = FeedAll(reader, EncodeFrame(0x13, "", Hex("00 01")));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(events[0].frame.checksumOk);
    EXPECT_FALSE(events[0].frame.wellFormed);

    // No DLE STX: 10 01 11 30 31 10 03 cs.
    events = FeedAll(reader, Hex("10 01 11 30 31 10 03 7B"));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(events[0].frame.checksumOk);
    EXPECT_FALSE(events[0].frame.wellFormed);
}

TEST(FrameReading, NewHeaderInsideAFrameRestartsIt) {
    FrameReader reader;
    auto bytes = Hex("10 01 11 10 02 00 05");
    const auto whole = EncodeFrame(0x12, "", Hex("00 06 00 00 00 00"));
    bytes.insert(bytes.end(), whole.begin(), whole.end());
    const auto events = FeedAll(reader, bytes);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, LinkEvent::Kind::Aborted);
    ASSERT_EQ(events[1].kind, LinkEvent::Kind::Frame);
    EXPECT_TRUE(events[1].frame.ok());
    EXPECT_EQ(events[1].frame.body[1], 0x06);
}

TEST(FrameReading, EndlessFrameIsAbortedAndResetForgetsAPartialOne) {
    FrameReader reader;
    std::vector<uint8_t> bytes = Hex("10 01 11 10 02");
    bytes.resize(FrameReader::kMaxFrameBytes + 10, 0x41);
    const auto events = FeedAll(reader, bytes);
    ASSERT_EQ(events.size(), 1u + 9u); // the abort, then the rest read as stray bytes
    EXPECT_EQ(events[0].kind, LinkEvent::Kind::Aborted);

    FeedAll(reader, Hex("10 01 11 30"));
    EXPECT_TRUE(reader.InFrame());
    reader.Reset();
    EXPECT_FALSE(reader.InFrame());
    const auto after = FeedAll(reader, Hex("10 05"));
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0].kind, LinkEvent::Kind::Enquiry);
}

} // namespace
} // namespace vpisd::sim
