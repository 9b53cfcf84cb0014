// Faults of the line itself (lost, late, garbled or cut replies, noise, a refused frame): one
// fault is absorbed by the retries of the same request, a fault on every try ends the request
// with the result its kind calls for, and the next request after the fault is gone succeeds.
#include "end_to_end/driver_on_sim.h"

namespace vpisd::e2e {
namespace {

struct LineFault {
    const char *name;
    const char *rule; // kind and argument
    const char *counter;
    int32_t result; // of a request that meets the fault on all ten tries
};

void PrintTo(const LineFault &fault, std::ostream *out) {
    *out << fault.rule;
}

const LineFault kLineFaults[] = {
    {"Silence", "silence", "injected.silence", VPI_COMM_FAILURE},
    // Acknowledged at once, reply after the read timeout: the header hunt gives up.
    {"LateReply", "delay 120", "injected.delay", VPI_REFUSED},
    {"Checksum", "checksum", "injected.checksum", VPI_REFUSED},
    // Cut before the checksum: the line falls silent inside the frame.
    {"CutBeforeEnd", "truncate", "injected.truncate", VPI_COMM_FAILURE},
    // Cut inside the header: something came, but no header.
    {"CutInHeader", "truncate 2", "injected.truncate", VPI_REFUSED},
    // More noise than the acknowledgement hunt reads.
    {"Noise", "noise 20", "injected.noise", VPI_REFUSED},
    // DLE NAK passes as an acknowledgement; then no reply comes.
    {"Nak", "nak", "injected.nak", VPI_REFUSED},
};

class LineFaults : public DriverOnSim, public ::testing::WithParamInterface<LineFault> {
  protected:
    void SetUp() override {
        Launch(kTwoPlcNetwork);
        SetRegisters("P1", 100, {0x4242});
    }
    std::string Rule(const std::string &limit) const {
        return std::string("P1 any ") + GetParam().rule + " " + limit;
    }
};

TEST_P(LineFaults, OneFaultyReplyIsRetriedWithinTheRequest) {
    auto tag = MakeTag("P10100");
    Fault(Rule("count=1"));
    ASSERT_EQ(Read(*tag), VPI_OK);
    EXPECT_EQ(tag->values()[1], 0x4242);
    EXPECT_EQ(Stat(GetParam().counter), 1U);
    EXPECT_EQ(Logged(LOG_DEBUG, "VPISD: Read Retries = 1 GAS=P10100"), 1);
    EXPECT_EQ(LoggedStarting(LOG_DEBUG, "VPISD: Read Retries = 2"), 0);
    EXPECT_EQ(LoggedStarting(LOG_EVENT, "VPISD: Read Failed!"), 0);
    EXPECT_EQ(LoggedStarting(LOG_EVENT, "VPISD: Comms fail!"), 0);

    test::ClearLog();
    Fault(Rule("count=1"));
    tag->values()[1] = 0x0BAD;
    ASSERT_EQ(Write(*tag), VPI_OK);
    EXPECT_EQ(Registers("P1", 100, 1)[0], 0x0BAD);
    EXPECT_EQ(Logged(LOG_DEBUG, "VPISD: Write Retries = 1"), 1);
    EXPECT_EQ(Logged(LOG_DEBUG, "VPISD: Write Retries = 2"), 0);
    EXPECT_EQ(Logged(LOG_DEBUG, "Write completed successfully"), 1);
    EXPECT_EQ(Stat("toggle_repeats"), 0U);
}

class LineFaultsOnEveryRead : public LineFaults {};

TEST_P(LineFaultsOnEveryRead, FaultOnEveryTryEndsTheReadWithItsResult) {
    const int32_t expected = GetParam().result;
    auto tag = MakeTag("P10100");
    Fault(Rule(""));
    EXPECT_EQ(Read(*tag), expected);
    EXPECT_EQ(tag->values()[1], kUntouched) << "a failed read leaves the buffer alone";
    EXPECT_EQ(Stat(GetParam().counter), 10U) << "one frame per try";
    EXPECT_EQ(Logged(LOG_DEBUG, "VPISD: Read Retries = 9 GAS=P10100"), 1);
    EXPECT_EQ(Logged(LOG_EVENT, ReadFailed("P10100", expected)), 1);
    EXPECT_EQ(LoggedStarting(LOG_EVENT, "VPISD: Read Failed!"), 1);

    // A silent PLC moves to its backup route; a refused reply never does.
    const bool switched = expected == VPI_COMM_FAILURE;
    EXPECT_EQ(Logged(LOG_EVENT, SwitchedTo("Backup", 1)), switched ? 1 : 0);
    EXPECT_EQ(RouteSelection("P1"), switched ? 1 : 0);

    simulator().ClearFaults();
    ASSERT_EQ(Read(*tag), VPI_OK);
    EXPECT_EQ(tag->values()[1], 0x4242);
    EXPECT_EQ(Stat("requests.P1.backup"), switched ? 1U : 0U);
    EXPECT_EQ(context().sequence[1], 1) << "failed tries do not advance the sequence";
}

// The write shares the read's tries; a lost and a refused reply stand for the rest.
class LineFaultsOnWrites : public LineFaults {};

TEST_P(LineFaultsOnWrites, FaultOnEveryTryEndsTheWriteWithItsResult) {
    const int32_t expected = GetParam().result;
    auto tag = MakeTag("P10100");
    tag->values()[1] = 0x0101;
    Fault(Rule(""));
    EXPECT_EQ(Write(*tag), expected);
    EXPECT_EQ(Logged(LOG_DEBUG, "VPISD: Write Retries = 0"), 1);
    EXPECT_EQ(Logged(LOG_DEBUG, "VPISD: Write Retries = 9"), 1);
    EXPECT_EQ(Logged(LOG_DEBUG, "VPISD: Sending 'Write' Frame"), 10);
    EXPECT_EQ(Logged(LOG_DEBUG, "Write completed successfully"), 0);
    EXPECT_EQ(Logged(LOG_EVENT, WriteFailed("P10100", expected)), 1);
    EXPECT_EQ(Logged(LOG_EVENT, SwitchedTo("Backup", 1)), expected == VPI_COMM_FAILURE ? 1 : 0);
    // A silenced request never ran; a garbled reply came from a PLC that did run it.
    EXPECT_EQ(Registers("P1", 100, 1)[0], expected == VPI_COMM_FAILURE ? 0x4242 : 0x0101);

    simulator().ClearFaults();
    tag->values()[1] = 0x0202;
    ASSERT_EQ(Write(*tag), VPI_OK);
    EXPECT_EQ(Registers("P1", 100, 1)[0], 0x0202);
}

std::string FaultName(const ::testing::TestParamInfo<LineFault> &info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Kinds, LineFaults, ::testing::ValuesIn(kLineFaults), FaultName);
// A late reply and a reply cut in its header fail the way a refused frame does (the header
// hunt gives up); the other kinds cover that path on every try.
INSTANTIATE_TEST_SUITE_P(Kinds, LineFaultsOnEveryRead,
                         ::testing::Values(kLineFaults[0], kLineFaults[2], kLineFaults[3],
                                           kLineFaults[5], kLineFaults[6]),
                         FaultName);
INSTANTIATE_TEST_SUITE_P(Kinds, LineFaultsOnWrites,
                         ::testing::Values(kLineFaults[0], kLineFaults[2]), FaultName);

class HarmlessLineFaults : public DriverOnSim {
  protected:
    void SetUp() override { Launch(kTwoPlcNetwork, std::string(), 50); }
};

TEST_F(HarmlessLineFaults, NoiseWithinTheHuntAndDelayWithinTheTimeoutNeedNoRetry) {
    SetRegisters("P1", 100, {0x1234});
    auto tag = MakeTag("P10100");

    Fault("P1 any noise 19");
    ASSERT_EQ(Read(*tag), VPI_OK);
    EXPECT_EQ(tag->values()[1], 0x1234);
    simulator().ClearFaults();

    Fault("P1 any noise");
    tag->values()[1] = 0x5678;
    ASSERT_EQ(Write(*tag), VPI_OK);
    EXPECT_EQ(Registers("P1", 100, 1)[0], 0x5678);
    simulator().ClearFaults();

    // A reply 150 ms late against a 500 ms read timeout.
    Fault("P1 any delay 150");
    ASSERT_EQ(Read(*tag), VPI_OK);
    EXPECT_EQ(tag->values()[1], 0x5678);

    EXPECT_EQ(Stat("injected.noise"), 2U);
    EXPECT_EQ(Stat("injected.delay"), 1U);
    EXPECT_EQ(LoggedStarting(LOG_DEBUG, "VPISD: Read Retries"), 0) << "no retry was needed";
    EXPECT_EQ(Logged(LOG_DEBUG, "VPISD: Write Retries = 1"), 0);
}

} // namespace
} // namespace vpisd::e2e
