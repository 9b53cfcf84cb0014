// StoreRoute: the bytes a line leaves in its slot, and the routes read back from them.
#include <cstring>

#include "routing_fixture.h"

namespace vpisd::test {
namespace {

struct StoreCase {
    const char *line;
    std::string slot;   // all 19 bytes
    std::string normal; // EncodeRoute with the flag 0
    std::string backup; // with the flag 1; "" when the slot has no backup route
};

std::ostream &operator<<(std::ostream &out, const StoreCase &c) {
    return out << c.line;
}

class StoreRouteTest : public ::testing::TestWithParam<StoreCase> {};

TEST_P(StoreRouteTest, StoresTheLineAndReadsItsRoutesBack) {
    const StoreCase &c = GetParam();
    auto context = ZeroContext();
    StoreRoute(context.get(), c.line, 1);
    EXPECT_EQ(SlotHex(*context, 1), c.slot);

    EXPECT_EQ(HasBackupRoute(context.get(), 1), c.backup.empty() ? 0 : 1);
    EXPECT_EQ(Encoded(*context, 1), c.normal);
    context->useBackup[1] = 1;
    EXPECT_EQ(Encoded(*context, 1), c.backup.empty() ? c.normal : c.backup);
}

INSTANTIATE_TEST_SUITE_P(
    LegalLines, StoreRouteTest,
    ::testing::Values(StoreCase{"P1=1+5,2+5", Slot("P1", {1, 5, 0x2C, 2, 5}), "0105", "0205"},
                      StoreCase{"P2=10+255", Slot("P2", {10, 255}), "0AFF", ""},
                      StoreCase{"P3=1+2+", Slot("P3", {1, 2}), "0102", ""},
                      StoreCase{"p1=100,200", Slot("p1", {100, 0x2C, 200}), "64", "C8"},
                      // Only the first "," splits; "1,2" is one drop of value 1.
                      StoreCase{"P1=1+2,1,2+3", Slot("P1", {1, 2, 0x2C, 1, 3}), "0102", "0103"},
                      StoreCase{
                          "P1=1+2+3+4+5+6+7+8,9+10+11+12+13+14+15+16",
                          Slot("P1", {1, 2, 3, 4, 5, 6, 7, 8, 0x2C, 9, 10, 11, 12, 13, 14, 15, 16}),
                          "0102030405060708", "090A0B0C0D0E0F10"}));

// Lines the loader reports as illegal are stored as far as they yield drops.
INSTANTIATE_TEST_SUITE_P(
    IllegalLines, StoreRouteTest,
    ::testing::Values(StoreCase{"AB=7", Slot("AB", {7}), "07", ""},
                      StoreCase{"P1=1+2,3", Slot("P1", {1, 2, 0x2C, 3}), "0102", "03"},
                      StoreCase{"P2=5,6", Slot("P2", {5, 0x2C, 6}), "05", "06"},
                      StoreCase{"P1=7A+3", Slot("P1", {7, 3}), "0703", ""},
                      StoreCase{"P1=12AB+3", Slot("P1", {12, 3}), "0C03", ""},
                      // An empty backup part gives no backup route: a switch to it would
                      // send frames over an empty route that the line never gave.
                      StoreCase{"P1=1+2,+34", Slot("P1", {1, 2}), "0102", ""},
                      StoreCase{"P1=,5+6", Slot("P1", {0x2C, 5, 6}), "", "0506"},
                      StoreCase{"P,1+2", Slot("P,", {0x2C, 1, 2}), "", "0102"},
                      StoreCase{"A", Slot("A", {}), "", ""},
                      // Each part keeps its first eight drops.
                      StoreCase{"P1=1+2+3+4+5+6+7+8+9+10", Slot("P1", {1, 2, 3, 4, 5, 6, 7, 8}),
                                "0102030405060708", ""},
                      StoreCase{"P1=1+2+3+4+5+6+7+8+9,11+12+13+14+15+16+17+18+19",
                                Slot("P1", {1, 2, 3, 4, 5, 6, 7, 8, 0x2C, 11, 12, 13, 14, 15, 16,
                                            17, 18}),
                                "0102030405060708", "0B0C0D0E0F101112"}));

// A drop the file cannot mean (0, above 255, four digits or more, none at all) leaves its
// part out; without its normal part the line stores nothing, so no tag can name the PLC.
INSTANTIATE_TEST_SUITE_P(
    DropsOutOfRange, StoreRouteTest,
    ::testing::Values(
        StoreCase{"P1=257+3", Slot("", {}), "", ""}, StoreCase{"P1=1+300", Slot("", {}), "", ""},
        StoreCase{"P1=1000+3", Slot("", {}), "", ""}, StoreCase{"P1=0001", Slot("", {}), "", ""},
        StoreCase{"P1=1000000000000000000001", Slot("", {}), "", ""},
        StoreCase{"P1=1++2", Slot("", {}), "", ""}, StoreCase{"P1=+1+2", Slot("", {}), "", ""},
        StoreCase{"P1=256+5", Slot("", {}), "", ""},
        StoreCase{"P1=5+0+7,8+9", Slot("", {}), "", ""}, StoreCase{"P1=A", Slot("", {}), "", ""},
        StoreCase{"P1=1+2,5++6", Slot("P1", {1, 2}), "0102", ""},
        StoreCase{"P1=1+2,3+256", Slot("P1", {1, 2}), "0102", ""},
        StoreCase{"P1=44,300", Slot("P1", {0x2C, 0x2C}), "2C", ""}));

// Drop 44 is the separator byte: the stored slot keeps both routes exactly as given, or
// leaves out the backup route, never mixing them.
INSTANTIATE_TEST_SUITE_P(
    DropFortyFour, StoreRouteTest,
    ::testing::Values(StoreCase{"P1=1+44", Slot("P1", {1, 0x2C, 0x2C}), "012C", ""},
                      StoreCase{"P1=44+5,6+7", Slot("P1", {0x2C, 5, 0x2C, 6, 7}), "2C05", "0607"},
                      StoreCase{"P1=1+44+2+44,3+4", Slot("P1", {1, 0x2C, 2, 0x2C, 0x2C, 3, 4}),
                                "012C022C", "0304"},
                      StoreCase{"P1=1+2,44+5", Slot("P1", {1, 2}), "0102", ""},
                      StoreCase{"P1=44,044", Slot("P1", {0x2C, 0x2C}), "2C", ""},
                      StoreCase{"P1=44+44+44+44+44+44+44+44,1+2+3+4+5+6+7+8",
                                Slot("P1", {0x2C, 0x2C, 0x2C, 0x2C, 0x2C, 0x2C, 0x2C, 0x2C, 0x2C, 1,
                                            2, 3, 4, 5, 6, 7, 8}),
                                "2C2C2C2C2C2C2C2C", "0102030405060708"}));

TEST(StoreRouteBounds, WritesOnlyItsOwnSlot) {
    auto context = ZeroContext();
    std::memset(context.get(), 0xA5, sizeof(VpiContext));
    std::memset(context->routes[5], 0, kRouteSlotBytes);
    auto expected = std::make_unique<VpiContext>(*context);

    StoreRoute(context.get(), "P5=1+2+3+4+5+6+7+8+9,1+2+3+4+5+6+7+8+9", 5);
    std::memcpy(expected->routes[5], context->routes[5], kRouteSlotBytes);
    EXPECT_EQ(std::memcmp(context.get(), expected.get(), sizeof(VpiContext)), 0);
    EXPECT_EQ(SlotHex(*context, 5),
              Slot("P5", {1, 2, 3, 4, 5, 6, 7, 8, 0x2C, 1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(StoreRouteBounds, RefusesSlotsOutsideOneToNinetyNine) {
    auto context = ZeroContext();
    auto before = std::make_unique<VpiContext>(*context);
    for (int slot : {0, -1, 100}) {
        StoreRoute(context.get(), "P1=1+2,3+4", slot);
    }
    StoreRoute(context.get(), nullptr, 1);
    EXPECT_EQ(std::memcmp(context.get(), before.get(), sizeof(VpiContext)), 0);
}

} // namespace
} // namespace vpisd::test
