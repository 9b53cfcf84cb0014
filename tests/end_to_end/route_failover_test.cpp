// A PLC whose path dies: the read that finds it silent moves the PLC to its other route, the
// next request goes that way, and a PLC without a backup stays where it is.
#include "end_to_end/driver_on_sim.h"

namespace vpisd::e2e {
namespace {

class RouteFailover : public DriverOnSim {};

TEST_F(RouteFailover, DeadNormalPathMovesReadsAndWritesToTheBackup) {
    Launch("[plc P1]\nroute = 1+5\nbackup = 2+5\ndown = normal\n100 = 11\n");
    auto tag = MakeTag("P10100");
    EXPECT_EQ(Read(*tag), VPI_COMM_FAILURE);
    EXPECT_EQ(Stat("errors_sent.11"), 10U) << "the network interface answers for the dead path";
    EXPECT_EQ(Logged(LOG_EVENT, ReadFailed("P10100", VPI_COMM_FAILURE)), 1);
    EXPECT_EQ(Logged(LOG_EVENT, SwitchedTo("Backup", 1)), 1);
    EXPECT_EQ(RouteSelection("P1"), 1);

    ASSERT_EQ(Read(*tag), VPI_OK);
    EXPECT_EQ(tag->values()[1], 11);
    tag->values()[1] = 12;
    ASSERT_EQ(Write(*tag), VPI_OK);
    EXPECT_EQ(Registers("P1", 100, 1)[0], 12);
    EXPECT_EQ(Stat("requests.P1.backup"), 2U);
    EXPECT_EQ(Stat("requests.P1.normal"), 10U);
    EXPECT_EQ(LoggedStarting(LOG_EVENT, "VPISD: Comms fail!"), 1);
}

TEST_F(RouteFailover, BackupDyingInTurnBringsTheNormalRouteBack) {
    Launch(kTwoPlcNetwork);
    SetRegisters("P1", 100, {21});
    auto tag = MakeTag("P10100");
    auto route = MakeTag("P1!ROUTE", kTypeBit);
    route->values()[1] = 1;
    ASSERT_EQ(Write(*route), VPI_OK);

    Fault("P1 backup silence");
    EXPECT_EQ(Read(*tag), VPI_COMM_FAILURE);
    EXPECT_EQ(Stat("injected.silence"), 10U);
    EXPECT_EQ(Logged(LOG_EVENT, SwitchedTo("Normal", 1)), 1);
    EXPECT_EQ(RouteSelection("P1"), 0);

    ASSERT_EQ(Read(*tag), VPI_OK);
    EXPECT_EQ(tag->values()[1], 21);
    EXPECT_EQ(Stat("requests.P1.normal"), 1U);
}

TEST_F(RouteFailover, BothPathsDeadAlternatesOneFailedRequestEach) {
    Launch(kTwoPlcNetwork);
    auto tag = MakeTag("P10100");
    Fault("P1 any dead");
    EXPECT_EQ(Read(*tag), VPI_COMM_FAILURE);
    EXPECT_EQ(Read(*tag), VPI_COMM_FAILURE);
    EXPECT_EQ(Stat("requests.P1.normal"), 10U);
    EXPECT_EQ(Stat("requests.P1.backup"), 10U);
    const auto entries = test::LogEntries();
    std::vector<std::string> switches;
    for (const auto &entry : entries) {
        if (entry.text.rfind("VPISD: Comms fail!", 0) == 0) {
            switches.push_back(entry.text);
        }
    }
    EXPECT_EQ(switches,
              (std::vector<std::string>{SwitchedTo("Backup", 1), SwitchedTo("Normal", 1)}));
    EXPECT_EQ(RouteSelection("P1"), 0);
}

TEST_F(RouteFailover, PlcWithoutBackupStaysOnItsRouteAndOthersAreUnaffected) {
    Launch(kTwoPlcNetwork);
    SetRegisters("P1", 100, {41});
    SetRegisters("P2", 100, {42});
    auto lonely = MakeTag("P20100");
    auto other = MakeTag("P10100");
    Fault("P2 any dead");
    EXPECT_EQ(Read(*lonely), VPI_COMM_FAILURE);
    EXPECT_EQ(LoggedStarting(LOG_EVENT, "VPISD: Comms fail!"), 0);
    EXPECT_EQ(lonely->values()[1], kUntouched);

    ASSERT_EQ(Read(*other), VPI_OK);
    EXPECT_EQ(other->values()[1], 41);
    EXPECT_EQ(RouteSelection("P1"), 0);

    simulator().ClearFaults();
    ASSERT_EQ(Read(*lonely), VPI_OK);
    EXPECT_EQ(lonely->values()[1], 42);
    EXPECT_EQ(Stat("requests.P2.normal"), 11U);
}

} // namespace
} // namespace vpisd::e2e
