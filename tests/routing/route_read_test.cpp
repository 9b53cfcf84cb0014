// Readers of the route table: HasRoutes, HasBackupRoute and EncodeRoute on slot bytes,
// including slots that fill all 19 bytes and bytes that StoreRoute never writes.
#include <cstring>

#include "routing_fixture.h"

namespace vpisd::test {
namespace {

void FillSlot(VpiContext &context, int slot, const std::vector<uint8_t> &bytes) {
    ASSERT_LE(bytes.size(), static_cast<size_t>(kRouteSlotBytes));
    std::memset(context.routes[slot], 0, kRouteSlotBytes);
    std::memcpy(context.routes[slot], bytes.data(), bytes.size());
}

TEST(HasRoutes, LooksAtSlotsOneToNinetyNineOnly) {
    auto context = ZeroContext();
    EXPECT_EQ(HasRoutes(context.get()), 0);
    FillSlot(*context, 0, {'P', '0', 1});
    EXPECT_EQ(HasRoutes(context.get()), 0);
    // A slot counts as filled by its first byte alone.
    FillSlot(*context, 99, {'Z'});
    EXPECT_EQ(HasRoutes(context.get()), 1);
    FillSlot(*context, 99, {0, 'Z', 1});
    EXPECT_EQ(HasRoutes(context.get()), 0);
    EXPECT_EQ(HasRoutes(nullptr), 0);
}

TEST(EncodeRoute, StopsAtTheSlotEndOfAFullSlot) {
    auto context = ZeroContext();
    StoreRoute(context.get(), "P1=1+2+3+4+5+6+7+8,9+10+11+12+13+14+15+16", 1);
    // The next slot's bytes right behind the full slot must not be read as drops.
    FillSlot(*context, 2, {0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77});
    EXPECT_EQ(Encoded(*context, 1), "0102030405060708");
    context->useBackup[1] = -1;
    EXPECT_EQ(Encoded(*context, 1), "090A0B0C0D0E0F10");
}

TEST(EncodeRoute, GivesAtMostEightDropsOfAPart) {
    auto context = ZeroContext();
    // Seventeen drops without a separator, in the last slot, followed by non-zero bytes.
    std::vector<uint8_t> bytes = {'Z', '9'};
    for (uint8_t drop = 1; drop <= 17; ++drop) {
        bytes.push_back(drop);
    }
    FillSlot(*context, 99, bytes);
    std::memset(context->unused790, 0x66, sizeof context->unused790);
    EXPECT_EQ(Encoded(*context, 99), "0102030405060708");
    EXPECT_EQ(HasBackupRoute(context.get(), 99), 0);

    // A separator with more than eight drops on either side.
    bytes = {'Z', '9', 1, 2, 3, 4, 5, 6, 7, 8, 9, 0x2C, 11, 12, 13, 14, 15, 16, 17};
    FillSlot(*context, 99, bytes);
    EXPECT_EQ(Encoded(*context, 99), "0102030405060708");
    context->useBackup[99] = 1;
    EXPECT_EQ(Encoded(*context, 99), "0B0C0D0E0F1011");
}

TEST(EncodeRoute, EmptyAndOutOfRangeSlotsGiveNoRoute) {
    auto context = ZeroContext();
    StoreRoute(context.get(), "P1=1+5,2+5", 1);
    EXPECT_EQ(Encoded(*context, 0), "");
    uint8_t out[kRouteTextBytes] = {};
    for (int slot : {-1, 100}) {
        EXPECT_EQ(EncodeRoute(context.get(), out, slot), 0);
        EXPECT_EQ(HasBackupRoute(context.get(), slot), 0);
    }
    EXPECT_EQ(EncodeRoute(nullptr, out, 1), 0);
}

// The separator is the last 0x2C before the first zero byte; a bare one at the end
// marks a normal route holding drop 44.
TEST(HasBackupRoute, NeedsADropAfterTheLastSeparator) {
    auto context = ZeroContext();
    FillSlot(*context, 3, {'P', '3', 1, 0x2C});
    EXPECT_EQ(HasBackupRoute(context.get(), 3), 0);
    FillSlot(*context, 3, {'P', '3', 1, 0x2C, 0, 5});
    EXPECT_EQ(HasBackupRoute(context.get(), 3), 0);
    FillSlot(*context, 3, {'P', '3', 1, 0x2C, 5});
    EXPECT_EQ(HasBackupRoute(context.get(), 3), 1);
    FillSlot(*context, 3, {'P', '3', 0x2C, 0x2C, 5});
    EXPECT_EQ(HasBackupRoute(context.get(), 3), 1);
    context->useBackup[3] = 1;
    EXPECT_EQ(Encoded(*context, 3), "05");
    context->useBackup[3] = 0;
    EXPECT_EQ(Encoded(*context, 3), "2C");
    // A name byte of 0x2C is not a separator: the drops begin at byte 2.
    FillSlot(*context, 3, {',', ',', 7});
    EXPECT_EQ(HasBackupRoute(context.get(), 3), 0);
    EXPECT_EQ(Encoded(*context, 3), "07");
}

} // namespace
} // namespace vpisd::test
