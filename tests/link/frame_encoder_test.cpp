// Request frames: layout, DLE doubling, checksum, and agreement with the peer's parser.
#include <gtest/gtest.h>

#include <cstring>

#include "driver/context.h"
#include "link/bytes.h"
#include "link/frame.h"
#include "support/pty.h"
#include "support/scripted_plc.h"

namespace vpisd {
namespace {

using test::Bytes;
using test::Hex;
using test::ToHex;

class FrameEncoder : public ::testing::Test {
  protected:
    Bytes Build(int slot, uint8_t toggle, const Bytes &body, const Bytes &route = {}) {
        context.toggle[slot] = toggle;
        tag.slot = slot;
        uint8_t frame[kWorkBufferBytes];
        std::memset(frame, 0xCC, sizeof frame);
        const int length = BuildFrame(&request, body.data(), static_cast<int>(body.size()),
                                      route.data(), static_cast<int>(route.size()), frame);
        EXPECT_GE(length, 8);
        EXPECT_EQ(frame[length], 0xCC) << "BuildFrame wrote past the frame it reported";
        return Bytes(frame, frame + length);
    }

    VpiContext context{};
    TagAccess tag{};
    VpiRequest request{&context, VPI_READ, 1, 0, &tag};
};

TEST_F(FrameEncoder, WorkedFrames) {
    EXPECT_EQ(ToHex(Build(0, 0x11, Hex("01 10 03"))), "10 01 11 10 02 01 10 10 03 10 03 A6");
    EXPECT_EQ(ToHex(Build(7, 0x12, Hex("01 10 03"), Hex("30 41 30 33"))),
              "10 01 12 30 41 30 33 10 02 01 10 10 03 10 03 D1");
}

TEST_F(FrameEncoder, EmptyBodyIsEightBytes) {
    const Bytes frame = Build(0, 0x12, {});
    ASSERT_EQ(frame.size(), 8u);
    EXPECT_EQ(ToHex(Bytes(frame.begin(), frame.end() - 1)), "10 01 12 10 02 10 03");
    EXPECT_EQ(frame[7], Checksum(frame.data() + 2, 5));
}

TEST_F(FrameEncoder, RouteShiftsStxAndToggleComesFromTheTagsSlot) {
    context.toggle[3] = 0x11;
    const Bytes frame = Build(42, 0x12, Hex("00"), Hex("30 31 46 46"));
    EXPECT_EQ(frame[2], 0x12);
    EXPECT_EQ(ToHex(Bytes(frame.begin() + 3, frame.begin() + 9)), "30 31 46 46 10 02");
}

TEST_F(FrameEncoder, EveryDleOfBodyAndRouteIsDoubledAndCovered) {
    const Bytes allDle(6, 0x10);
    const Bytes frame = Build(0, 0x11, allDle, Hex("10 31"));
    // 3 header, 3 route (one doubled), DLE STX, 12 body, DLE ETX, checksum.
    ASSERT_EQ(frame.size(), 3u + 3u + 2u + 12u + 2u + 1u);
    EXPECT_EQ(ToHex(Bytes(frame.begin() + 3, frame.begin() + 6)), "10 10 31");
    unsigned sum = 0;
    for (size_t i = 2; i < frame.size(); ++i)
        sum += frame[i];
    EXPECT_EQ(sum % 256, 0u) << "checksum must cover the doubled bytes";
}

TEST_F(FrameEncoder, DataEtxAfterDataDleIsNeverAnEarlyEnd) {
    const Bytes frame = Build(0, 0x11, Hex("10 03 05"));
    EXPECT_EQ(ToHex(Bytes(frame.begin() + 5, frame.end() - 3)), "10 10 03 05");
}

TEST_F(FrameEncoder, ControlValuedChecksumIsSentAsOneByte) {
    for (uint8_t target : {uint8_t{0x10}, uint8_t{0x03}, uint8_t{0xFE}}) {
        bool found = false;
        for (int b = 0; b < 256 && !found; ++b) {
            if (b == 0x10)
                continue;
            const Bytes frame = Build(0, 0x11, Bytes{static_cast<uint8_t>(b)});
            if (frame.back() != target)
                continue;
            found = true;
            EXPECT_EQ(frame.size(), 9u) << "checksum " << int(target);
        }
        EXPECT_TRUE(found) << "no one-byte body gives checksum " << int(target);
    }
}

TEST_F(FrameEncoder, PeerParsesBackWhatWasBuilt) {
    const Bytes bodies[] = {Hex("00 05 00 C6 00 00"), Hex("02 10 10 03 10"), Hex("10"),
                            Hex("03 10 03 10 10 10 02"), Bytes(262, 0x10)};
    for (const Bytes &body : bodies) {
        const Bytes route = Hex("30 41 30 33 46 46");
        const Bytes frame = Build(9, 0x12, body, route);
        test::ParsedRequest parsed;
        ASSERT_TRUE(test::ParseRequest(frame, parsed)) << ToHex(frame);
        EXPECT_TRUE(parsed.checksumOk) << ToHex(frame);
        EXPECT_EQ(parsed.toggle, 0x12);
        EXPECT_EQ(parsed.route, route);
        EXPECT_EQ(parsed.body, body);
        EXPECT_EQ(parsed.raw, frame);
    }
}

TEST_F(FrameEncoder, BuildingLeavesTheContextAlone) {
    context.toggle[4] = 0x77; // not a valid toggle: copied, neither checked nor corrected
    context.sequence[4] = 9;
    VpiContext before;
    std::memcpy(&before, &context, sizeof context);
    const Bytes frame = Build(4, 0x77, Hex("01 02"));
    EXPECT_EQ(frame[2], 0x77);
    EXPECT_EQ(std::memcmp(&before, &context, sizeof context), 0);
}

} // namespace
} // namespace vpisd
