// SwitchRoute: the move between normal and backup route after a silent PLC, and its messages.
#include "routing_fixture.h"

namespace vpisd::test {
namespace {

const std::string kToBackup = "VPISD: Comms fail! Backup Route will be used.";
const std::string kToNormal = "VPISD: Comms fail! Normal Route will be used.";

std::string Message(const std::string &lead, int vpi, int slot) {
    return lead + " VPI " + std::to_string(vpi) + " PLC " + std::to_string(slot);
}

class SwitchRouteTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ClearLog();
        context->vpiNumber = 65535; // shown without sign
        StoreRoute(context.get(), "P1=1+5,2+5", 1);
        StoreRoute(context.get(), "P2=10+255", 2);
        StoreRoute(context.get(), "P3=1+44", 3);
    }
    std::unique_ptr<VpiContext> context = ZeroContext();
};

TEST_F(SwitchRouteTest, AlternatesBetweenNormalAndBackup) {
    SwitchRoute(context.get(), 1);
    EXPECT_EQ(context->useBackup[1], 1);
    EXPECT_EQ(Encoded(*context, 1), "0205");
    SwitchRoute(context.get(), 1);
    EXPECT_EQ(context->useBackup[1], 0);
    EXPECT_EQ(Encoded(*context, 1), "0105");

    const auto entries = LogEntries();
    ASSERT_EQ(entries.size(), 2U) << LogDump();
    EXPECT_EQ(entries[0].level, 32);
    EXPECT_EQ(entries[0].text, Message(kToBackup, 65535, 1));
    EXPECT_EQ(entries[1].level, 32);
    EXPECT_EQ(entries[1].text, Message(kToNormal, 65535, 1));
}

TEST_F(SwitchRouteTest, AnyNonZeroFlagGoesBackToNormal) {
    context->useBackup[1] = 5;
    EXPECT_EQ(Encoded(*context, 1), "0205");
    SwitchRoute(context.get(), 1);
    EXPECT_EQ(context->useBackup[1], 0);
    EXPECT_EQ(CountLog(32, Message(kToNormal, 65535, 1)), 1) << LogDump();
}

TEST_F(SwitchRouteTest, SlotsWithoutBackupRouteStayAsTheyAre) {
    // Slot 3 holds drop 44 in its normal route, which is not a separator.
    for (int slot : {2, 3, 4, 0, -1, 100}) {
        SwitchRoute(context.get(), slot);
    }
    SwitchRoute(nullptr, 1);
    EXPECT_EQ(context->useBackup[2], 0);
    EXPECT_EQ(context->useBackup[3], 0);
    EXPECT_EQ(Encoded(*context, 3), "012C");
    EXPECT_TRUE(LogEntries().empty()) << LogDump();
}

} // namespace
} // namespace vpisd::test
