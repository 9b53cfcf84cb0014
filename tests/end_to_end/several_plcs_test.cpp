// Several PLCs on one line: interleaved requests keep each PLC's link state and data apart,
// and the network's own error replies (address beyond the registers, unknown route) come back
// as refusals.
#include "end_to_end/driver_on_sim.h"

namespace vpisd::e2e {
namespace {

constexpr const char *kNetwork = "[plc P1]\nroute = 1+5\nbackup = 2+5\n"
                                 "[plc P2]\nroute = 1+7\nregisters = 100\n"
                                 "[plc P3]\nroute = 3+4+9\n";

class SeveralPlcs : public DriverOnSim {
  protected:
    void SetUp() override {
        // P9 is in the driver's table only: its route reaches no PLC.
        Launch(kNetwork, "P1=1+5,2+5\nP2=1+7\nP3=3+4+9\nP9=9+9\n");
    }
};

TEST_F(SeveralPlcs, InterleavedRequestsKeepEachPlcApart) {
    const char *names[] = {"P1", "P2", "P3"};
    std::unique_ptr<Tag> words[3];
    std::unique_ptr<Tag> blocks[3];
    for (int p = 0; p < 3; ++p) {
        words[p] = MakeTag(std::string(names[p]) + "0010");
        blocks[p] = MakeTag(std::string(names[p]) + "0050", kTypeRegister, 4);
        EXPECT_EQ(words[p]->access().slot, p + 1);
    }

    int accepted[3] = {0, 0, 0};
    for (uint16_t round = 0; round < 4; ++round) {
        for (int p = 0; p < 3; ++p) {
            const auto mark = static_cast<uint16_t>(0x1000 * (p + 1) + round);
            words[p]->values()[1] = mark;
            ASSERT_EQ(Write(*words[p]), VPI_OK) << names[p] << " round " << round;
            SetRegisters(names[p], 50, {mark, static_cast<uint16_t>(mark + 1), 0x1003, mark});
            accepted[p] += 1;
        }
        // Read back in another order than written.
        for (int p = 2; p >= 0; --p) {
            const auto mark = static_cast<uint16_t>(0x1000 * (p + 1) + round);
            ASSERT_EQ(Read(*blocks[p]), VPI_OK) << names[p] << " round " << round;
            EXPECT_EQ(blocks[p]->Covered(),
                      (std::vector<uint16_t>{mark, static_cast<uint16_t>(mark + 1), 0x1003, mark}));
            ASSERT_EQ(Read(*words[p]), VPI_OK);
            EXPECT_EQ(words[p]->values()[1], mark);
            accepted[p] += 2;
        }
    }
    for (int p = 0; p < 3; ++p) {
        EXPECT_EQ(context().sequence[p + 1], accepted[p]) << names[p];
        EXPECT_EQ(context().connected[p + 1], 1) << names[p];
        EXPECT_EQ(Stat(std::string("requests.") + names[p] + ".normal"),
                  static_cast<uint64_t>(accepted[p]));
    }
    EXPECT_EQ(Stat("frames_bad"), 0U);
    EXPECT_EQ(LoggedStarting(LOG_DEBUG, "VPISD: Read Retries"), 0);
    EXPECT_EQ(Logged(LOG_DEBUG, "VPISD: Write Retries = 1"), 0);
}

TEST_F(SeveralPlcs, FaultOnOnePlcLeavesTheOthersAlone) {
    SetRegisters("P3", 10, {3});
    auto faulty = MakeTag("P10010");
    auto healthy = MakeTag("P30010");
    Fault("P1 any checksum count=2");
    ASSERT_EQ(Read(*healthy), VPI_OK);
    EXPECT_EQ(healthy->values()[1], 3);
    ASSERT_EQ(Read(*faulty), VPI_OK);
    EXPECT_EQ(Logged(LOG_DEBUG, "VPISD: Read Retries = 2 GAS=P10010"), 1);
    EXPECT_EQ(LoggedStarting(LOG_DEBUG, "VPISD: Read Retries"), 2);
    ASSERT_EQ(Read(*healthy), VPI_OK);
    EXPECT_EQ(context().sequence[1], 1);
    EXPECT_EQ(context().sequence[3], 2);
}

TEST_F(SeveralPlcs, AddressBeyondTheRegistersIsRefused) {
    auto last = MakeTag("P20097", kTypeRegister, 4);
    SetRegisters("P2", 97, {7, 8, 9, 10});
    ASSERT_EQ(Read(*last), VPI_OK);
    EXPECT_EQ(last->Covered(), (std::vector<uint16_t>{7, 8, 9, 10}));

    auto beyond = MakeTag("P20098", kTypeRegister, 4);
    EXPECT_EQ(Read(*beyond), VPI_REFUSED);
    EXPECT_EQ(beyond->values()[0], kUntouched);
    EXPECT_EQ(Logged(LOG_DEBUG, "VPISD:Error Reply received.Errcode: 3 Hex"), 10);
    EXPECT_EQ(Logged(LOG_EVENT, ReadFailed("P20098", VPI_REFUSED)), 1);
    EXPECT_EQ(Stat("errors_sent.03"), 10U);
    EXPECT_EQ(LoggedStarting(LOG_EVENT, "VPISD: Comms fail!"), 0);
}

TEST_F(SeveralPlcs, RouteTheNetworkDoesNotKnowIsRefused) {
    auto tag = MakeTag("P90001");
    EXPECT_EQ(tag->access().slot, 4);
    EXPECT_EQ(Read(*tag), VPI_REFUSED);
    EXPECT_EQ(Logged(LOG_DEBUG, "VPISD:Error Reply received.Errcode: 1d Hex"), 10);
    EXPECT_EQ(Stat("errors_sent.1D"), 10U);
    EXPECT_EQ(Stat("requests.none.unknown"), 10U);
    EXPECT_EQ(LoggedStarting(LOG_EVENT, "VPISD: Comms fail!"), 0);

    // The other PLCs are still reached.
    SetRegisters("P2", 1, {0x2002});
    auto other = MakeTag("P20001");
    ASSERT_EQ(Read(*other), VPI_OK);
    EXPECT_EQ(other->values()[1], 0x2002);
}

} // namespace
} // namespace vpisd::e2e
