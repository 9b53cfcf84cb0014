// Replies that arrive whole but must not be taken: a stale sequence byte, a route that was not
// reversed, and error replies. Only a "remote not active" error at the end of a read counts as
// a silent PLC (as the failover tests show on a dead path); every other refusal is result 1
// and keeps the route.
#include "end_to_end/driver_on_sim.h"

namespace vpisd::e2e {
namespace {

// P1 two drops away with a backup, P3 one drop away, where a reversed route reads the same.
constexpr const char *kNetwork = "[plc P1]\nroute = 1+5\nbackup = 2+5\n100 = 0x3131\n"
                                 "[plc P3]\nroute = 9\n100 = 0x3333\n";

// The checks count tries exactly, so a reply must never miss its timeout: 300 ms leaves room
// for a loaded machine (a sanitized build beside other tests), where 50 ms did not.
constexpr int32_t kRoomyTimeout = 30;

class ReplyChecks : public DriverOnSim {
  protected:
    void SetUp() override { Launch(kNetwork, std::string(), kRoomyTimeout); }

    // A read of register 100 that meets the fault on every try; returns the result.
    int32_t ReadUnder(const std::string &prefix, const std::string &fault) {
        Fault(prefix + " any " + fault);
        auto tag = MakeTag(prefix + "0100");
        const int32_t result = Read(*tag);
        EXPECT_EQ(tag->values()[1], kUntouched);
        simulator().ClearFaults();
        return result;
    }
};

TEST_F(ReplyChecks, StaleSequenceIsRefusedOnEveryTry) {
    EXPECT_EQ(ReadUnder("P1", "stale"), VPI_REFUSED);
    EXPECT_EQ(Stat("injected.stale"), 10U);
    EXPECT_EQ(SettledStat("reply_acks", 10), 10U) << "every received frame is acknowledged";
    EXPECT_EQ(Logged(LOG_EVENT, ReadFailed("P10100", VPI_REFUSED)), 1);
    EXPECT_EQ(LoggedStarting(LOG_EVENT, "VPISD: Comms fail!"), 0);
    EXPECT_EQ(context().sequence[1], 0);

    // Once: the retry carries the same sequence byte and its reply is taken.
    Fault("P1 any stale count=1");
    auto tag = MakeTag("P10100");
    ASSERT_EQ(Read(*tag), VPI_OK);
    EXPECT_EQ(tag->values()[1], 0x3131);
    EXPECT_EQ(context().sequence[1], 1);
}

TEST_F(ReplyChecks, UnreversedRouteIsRefusedUnlessItHasOneDrop) {
    auto single = MakeTag("P30100");
    Fault("* any noreverse");
    ASSERT_EQ(Read(*single), VPI_OK);
    EXPECT_EQ(single->values()[1], 0x3333);
    EXPECT_EQ(LoggedStarting(LOG_DEBUG, "VPISD: Read Retries"), 0);

    EXPECT_EQ(ReadUnder("P1", "noreverse"), VPI_REFUSED);
    EXPECT_EQ(Logged(LOG_EVENT, ReadFailed("P10100", VPI_REFUSED)), 1);
    EXPECT_EQ(LoggedStarting(LOG_EVENT, "VPISD: Comms fail!"), 0);
    EXPECT_EQ(RouteSelection("P1"), 0);
}

TEST_F(ReplyChecks, WritesTreatEveryErrorAlikeAndStayOnTheRoute) {
    auto tag = MakeTag("P10100");
    tag->values()[1] = 0x7777;
    // What a dead path answers: a write does not fail over on it.
    Fault("P1 any error 11");
    EXPECT_EQ(Write(*tag), VPI_REFUSED);
    EXPECT_EQ(Logged(LOG_DEBUG, "VPISD:Error Reply received.Errcode: 11 Hex"), 10);
    EXPECT_EQ(Logged(LOG_EVENT, WriteFailed("P10100", VPI_REFUSED)), 1);
    EXPECT_EQ(LoggedStarting(LOG_EVENT, "VPISD: Comms fail!"), 0);
    EXPECT_EQ(RouteSelection("P1"), 0);
    EXPECT_EQ(Registers("P1", 100, 1)[0], 0x3131) << "an error reply means the write did not run";

    // A single error reply is retried like any refused one.
    simulator().ClearFaults();
    Fault("P1 any error 1 count=1");
    ASSERT_EQ(Write(*tag), VPI_OK);
    EXPECT_EQ(Registers("P1", 100, 1)[0], 0x7777);
}

// The result is the last try's alone: "remote not active" early on and a refused reply at
// the end give 1; refused replies early on and "remote not active" at the end give 2.
TEST_F(ReplyChecks, LastTryDecidesBetweenRefusedAndSilent) {
    auto tag = MakeTag("P10100");
    Fault("P1 any error 11 requests=9");
    Fault("P1 any stale");
    EXPECT_EQ(Read(*tag), VPI_REFUSED);
    EXPECT_EQ(Logged(LOG_DEBUG, "VPISD:Error Reply received.Errcode: 11 Hex"), 9);
    EXPECT_EQ(LoggedStarting(LOG_EVENT, "VPISD: Comms fail!"), 0);
    simulator().ClearFaults();

    test::ClearLog();
    Fault("P1 any checksum requests=9");
    Fault("P1 any error 11");
    EXPECT_EQ(Read(*tag), VPI_COMM_FAILURE);
    EXPECT_EQ(Logged(LOG_DEBUG, "VPISD:Error Reply received.Errcode: 11 Hex"), 1);
    EXPECT_EQ(Logged(LOG_EVENT, SwitchedTo("Backup", 1)), 1);
    EXPECT_EQ(tag->values()[1], kUntouched);
}

} // namespace
} // namespace vpisd::e2e
