// A line that stops draining: once the output queue is full, the first write of a read or
// write runs out of time and the transaction ends as a communication failure with one
// failure message, whether or not the slot was linked (a deliberate choice of vpisd).
#include <chrono>

#include "routing/route_table.h"
#include "transactions/line_fixture.h"

namespace vpisd::test {
namespace {

class LineStall : public LineFixture {};

TEST_F(LineStall, ReadAndWriteEndWithTwoWithinTheWriteBound) {
    struct Case {
        const char *what;
        bool write;
        bool linked; // linked: the DLE NAK before the frame stalls; else the link enquiry
    };
    const Case cases[] = {
        {"read, unlinked", false, false},
        {"read, linked", false, true},
        {"write, unlinked", true, false},
        {"write, linked", true, true},
    };
    StoreRoute(&context, "P1=1+5", 1);
    plc.Stop(); // nobody reads the far end any more
    ASSERT_GT(FillOutputQueue(pty.slave()), 0u);
    for (const Case &c : cases) {
        context.connected[1] = c.linked ? 1 : 0;
        ClearLog();
        TagAccess tag = Tag("P10100", 1, 100, 1);
        values[1] = 7;
        const auto started = std::chrono::steady_clock::now();
        const int32_t result = c.write ? Write(tag) : Read(tag);
        const auto took = std::chrono::steady_clock::now() - started;
        EXPECT_EQ(result, VPI_COMM_FAILURE) << c.what;
        // One purge (50 ms) and one write bound (12 bytes at 9600 baud + 50 ms); the rest is
        // slack for a busy host. Without the bound the call never returns.
        EXPECT_LT(took, std::chrono::seconds(3)) << c.what;
        const std::string failure = std::string("VPISD: ") + (c.write ? "Write" : "Read") +
                                    " Failed! GAS = P10100 rc = 2: the line took no more bytes";
        EXPECT_EQ(CountLog(LOG_EVENT, failure), 1) << c.what << "\n" << LogDump();
        EXPECT_EQ(CountEvents(LOG_EVENT, "VPISD: Failed") + CountEvents(LOG_EVENT, "VPISD: Read") +
                      CountEvents(LOG_EVENT, "VPISD: Write") +
                      CountEvents(LOG_EVENT, "VPISD: Establish link on"),
                  1)
            << c.what << "\n"
            << LogDump();
        EXPECT_EQ(values[1], 7) << c.what;
    }
}

} // namespace
} // namespace vpisd::test
