// Faults that run out (after a number of hits, of requests seen, or of seconds): the driver
// rides them out within its ten tries when they end in time, and the request after them
// succeeds at once when they do not.
#include "end_to_end/driver_on_sim.h"

namespace vpisd::e2e {
namespace {

class FaultExpiry : public DriverOnSim {
  protected:
    void SetUp() override {
        Launch(kTwoPlcNetwork);
        SetRegisters("P2", 100, {0x0202});
    }
};

TEST_F(FaultExpiry, NineLostRepliesAreRiddenOutByTheLastTry) {
    auto tag = MakeTag("P20100");
    Fault("P2 any silence count=9");
    ASSERT_EQ(Read(*tag), VPI_OK);
    EXPECT_EQ(tag->values()[1], 0x0202);
    EXPECT_EQ(Stat("injected.silence"), 9U);
    EXPECT_EQ(Logged(LOG_DEBUG, "VPISD: Read Retries = 9 GAS=P20100"), 1);
    EXPECT_EQ(LoggedStarting(LOG_EVENT, "VPISD: Read Failed!"), 0);
    EXPECT_EQ(context().sequence[2], 1);
}

TEST_F(FaultExpiry, TenLostRepliesFailTheRequestAndTheNextOneSucceeds) {
    auto tag = MakeTag("P20100");
    Fault("P2 any silence count=10");
    EXPECT_EQ(Read(*tag), VPI_COMM_FAILURE);
    EXPECT_EQ(Logged(LOG_EVENT, ReadFailed("P20100", VPI_COMM_FAILURE)), 1);

    test::ClearLog();
    ASSERT_EQ(Read(*tag), VPI_OK);
    EXPECT_EQ(tag->values()[1], 0x0202);
    EXPECT_EQ(LoggedStarting(LOG_DEBUG, "VPISD: Read Retries"), 0);
    EXPECT_EQ(Stat("injected.silence"), 10U);
}

TEST_F(FaultExpiry, FaultExpiringAfterSomeRequestsEndsWithinTheWrite) {
    auto tag = MakeTag("P20100");
    tag->values()[1] = 0x2020;
    Fault("P2 any checksum requests=3");
    ASSERT_EQ(Write(*tag), VPI_OK);
    EXPECT_EQ(Registers("P2", 100, 1)[0], 0x2020);
    EXPECT_EQ(Logged(LOG_DEBUG, "VPISD: Write Retries = 3"), 1);
    EXPECT_EQ(Logged(LOG_DEBUG, "VPISD: Write Retries = 4"), 0);
    EXPECT_EQ(Stat("injected.checksum"), 3U);
}

TEST_F(FaultExpiry, FaultExpiringAfterASecondEndsWithinTheRead) {
    auto tag = MakeTag("P20100");
    Fault("P2 any dead seconds=1");
    ASSERT_EQ(Read(*tag), VPI_OK);
    EXPECT_EQ(tag->values()[1], 0x0202);
    const uint64_t injected = Stat("injected.dead");
    EXPECT_GE(injected, 1U);
    EXPECT_LE(injected, 9U);
    EXPECT_EQ(Stat("errors_sent.11"), injected);
}

} // namespace
} // namespace vpisd::e2e
