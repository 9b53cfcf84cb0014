// VpiStart: routes from the init file, the port, the timeout and the per-PLC state.
#include <utility>

#include "driver/command_table.h"
#include "lifecycle_fixture.h"

namespace vpisd::test {
namespace {

const std::string kNotFound = "VpiSD : Init File not found, Peer To Peer Mode";

std::string SlotText(const VpiContext &context, int slot) {
    return std::string(reinterpret_cast<const char *>(context.routes[slot]), kRouteSlotBytes);
}

TEST_F(LifecycleTest, StartWithoutPortLoadsTheRoutesOnly) {
    cwd.WriteFile("vpiSD03.int", "P1=1+5,2+5\n");
    const auto before = Snapshot();
    ASSERT_EQ(Start(MakeStart("nonexist", 0)), 0);

    EXPECT_EQ(SlotText(*context, 1),
              std::string("P1\x01\x05\x2C\x02\x05", 7) + std::string(12, '\0'));
    for (int slot = 0; slot < kSlotCount; ++slot) {
        if (slot != 1) {
            EXPECT_EQ(SlotText(*context, slot), std::string(kRouteSlotBytes, '\0')) << slot;
        }
    }
    EXPECT_EQ(context->portEnabled, 0);
    // Everything but the routes and portEnabled keeps what the host's memory held.
    std::memcpy(before->routes, context->routes, sizeof context->routes);
    before->portEnabled = 0;
    EXPECT_TRUE(Unchanged(*before));
    EXPECT_TRUE(LogEntries().empty()) << LogDump();
}

TEST_F(LifecycleTest, StartOpensThePortAndResetsThePerPlcState) {
    Pty pty;
    StartParams params = MakeStart(pty.path(), 1, 100);
    params.baudRate = 19200;
    params.dataBits = 7;
    params.stopBits = 2;
    params.parity = 1;
    ASSERT_EQ(Start(params, 0x12345), 0) << LogDump();

    EXPECT_NE(context->port, 0U);
    EXPECT_TRUE(IsOpen(context->port));
    EXPECT_EQ(context->portEnabled, 1);
    EXPECT_STREQ(context->portSettings.portName, pty.path().c_str());
    EXPECT_EQ(context->portSettings.baudRate, 19200);
    EXPECT_EQ(context->portSettings.dataBits, 7);
    EXPECT_EQ(context->portSettings.stopBits, 2);
    EXPECT_EQ(context->portSettings.parity, 1);
    EXPECT_EQ(context->portSettings.lineFlags, kStartLineFlags);
    EXPECT_EQ(context->vpiNumber, 0x2345);
    for (int slot = 0; slot < kSlotCount; ++slot) {
        EXPECT_EQ(context->connected[slot], 0) << slot;
        EXPECT_EQ(context->sequence[slot], 0) << slot;
        EXPECT_EQ(context->toggle[slot], kPattern) << slot;
        EXPECT_EQ(context->useBackup[slot], slot == 0 ? kPatternInt : 0) << slot;
    }
    for (uint8_t byte : context->unused790) {
        EXPECT_EQ(byte, kPattern);
    }
    EXPECT_EQ(CountLog(32, "VPISD: VPI 9029 loaded successfully"), 1) << LogDump();
    EXPECT_EQ(CountLog(32, kNotFound), 1) << LogDump();
    EXPECT_EQ(LogEntries().size(), 2U) << LogDump();
}

TEST_F(LifecycleTest, StartRaisesTheTimeoutToOneSecond) {
    Pty pty;
    struct {
        int32_t requested;
        int32_t stored;
    } const cases[] = {{5, 100}, {250, 250}, {-1, 100}, {INT32_MIN, 100}, {100, 100}, {0, 100}};
    for (const auto &c : cases) {
        ASSERT_EQ(Start(MakeStart(pty.path(), 1, c.requested)), 0) << LogDump();
        EXPECT_EQ(context->timeout, c.stored) << c.requested;
        // The port runs with the stored timeout: setting another returns it.
        EXPECT_EQ(SetReadTimeout(context->port, 7), c.stored) << c.requested;
        ASSERT_EQ(Command(VpiClose, VPI_CLOSE), 0);
    }
}

TEST_F(LifecycleTest, StartThatCannotOpenThePortKeepsTheOldOne) {
    cwd.WriteFile("vpiSD03.int", "P1=101\n");
    ASSERT_EQ(Start(MakeStart("NUL")), 0);
    const PortHandle open = context->port;
    context->useBackup[1] = 1;
    context->connected[4] = 1;
    cwd.WriteFile("vpiSD77.int", "Q1=102\nQ2=103\n");
    auto before = Snapshot();
    ClearLog();

    EXPECT_EQ(Start(MakeStart("nonexist", 9, 500), 77), 2);
    EXPECT_EQ(CountLog(32, "VPISquareD : Fail to open nonexist"), 1) << LogDump();
    EXPECT_EQ(LogEntries().size(), 1U) << LogDump();
    EXPECT_EQ(context->port, open);
    EXPECT_TRUE(IsOpen(open));
    EXPECT_EQ(SlotText(*context, 2).substr(0, 3), "Q2\x67");
    // Only the routes and portEnabled changed.
    std::memcpy(before->routes, context->routes, sizeof context->routes);
    before->portEnabled = 9;
    EXPECT_TRUE(Unchanged(*before));
}

TEST_F(LifecycleTest, PortNameWithoutTerminatorIsReadWithinItsField) {
    StartParams params = MakeStart("", 1);
    std::memcpy(params.portName, "ABCDEFGHIJKL", kPortNameBytes); // no terminator
    EXPECT_EQ(Start(params), 2);
    EXPECT_EQ(CountLog(32, "VPISquareD : Fail to open ABCDEFGHIJK"), 1) << LogDump();

    // The longest name a port can have still opens: the first 11 characters.
    Pty pty;
    ShortLink link(pty.path());
    ASSERT_EQ(link.path().size(), 11U);
    std::memcpy(params.portName, (link.path() + "Z").c_str(), kPortNameBytes);
    ASSERT_EQ(Start(params), 0) << LogDump();
    EXPECT_EQ(std::string(context->portSettings.portName), link.path());
    EXPECT_TRUE(IsOpen(context->port));
}

// Devices that admit a second open (the null device) get a new handle; the one it
// replaces is closed rather than leaked.
TEST_F(LifecycleTest, StartOverAnOpenNullPortClosesTheReplacedHandle) {
    ASSERT_EQ(Start(MakeStart("NUL")), 0);
    const PortHandle first = context->port;
    ASSERT_EQ(Start(MakeStart("NUL")), 0);
    EXPECT_NE(context->port, first);
    EXPECT_TRUE(IsOpen(context->port));
    EXPECT_FALSE(IsOpen(first));
}

// Before its first start the record's `port` may hold any value, even one that names
// another instance's port: that port must survive this instance's start.
TEST_F(LifecycleTest, FirstStartLeavesAStrayHandleAlone) {
    PortHandle other = 0;
    ASSERT_EQ(OpenPort("NUL", 9600, 8, 0, 2, 8, &other), PORT_OK);
    context->port = other;
    ASSERT_EQ(Start(MakeStart("NUL")), 0);
    EXPECT_NE(context->port, other);
    EXPECT_TRUE(IsOpen(other));
    EXPECT_EQ(ClosePort(other), PORT_OK);
}

// A restart on another device releases the one the instance held, so that the old
// device is free for others again.
TEST_F(LifecycleTest, StartOnAnotherDeviceClosesThePortItReplaces) {
    Pty first;
    Pty second;
    ASSERT_EQ(Start(MakeStart(first.path())), 0) << LogDump();
    const PortHandle replaced = context->port;
    ASSERT_EQ(Start(MakeStart(second.path())), 0) << LogDump();
    EXPECT_NE(context->port, replaced);
    EXPECT_FALSE(IsOpen(replaced));
    PortHandle again = 0;
    EXPECT_EQ(OpenPort(first.path().c_str(), 9600, 8, 0, 0, 8, &again), PORT_OK);
    ClosePort(again);
}

// An exclusive device cannot be opened twice: the start fails and the open port stays.
TEST_F(LifecycleTest, StartOverAnOpenExclusivePortFails) {
    Pty pty;
    ASSERT_EQ(Start(MakeStart(pty.path())), 0) << LogDump();
    const PortHandle first = context->port;
    ClearLog();
    EXPECT_EQ(Start(MakeStart(pty.path())), 2);
    EXPECT_EQ(CountLog(32, "VPISquareD : Fail to open " + pty.path()), 1) << LogDump();
    EXPECT_EQ(context->port, first);
    EXPECT_TRUE(IsOpen(first));
}

TEST_F(LifecycleTest, StartGoesOnAfterTooManyLines) {
    std::string content;
    for (int n = 1; n <= 100; ++n) {
        content += std::string{static_cast<char>('A' + n / 26), static_cast<char>('A' + n % 26)} +
                   "=101\n";
    }
    cwd.WriteFile("vpiSD03.int", content);
    EXPECT_EQ(Start(MakeStart("NUL")), 0);
    EXPECT_EQ(CountLog(32, "VpiSD : Too many lines in Init file)"), 1) << LogDump();
    EXPECT_EQ(CountLog(32, "VPISD: VPI 3 loaded successfully"), 1) << LogDump();
    EXPECT_NE(context->routes[99][0], 0);
}

// A line whose normal route holds a drop outside 1 to 255 names no PLC: its tags are
// rejected at parse, so nothing can be sent over a drop the file did not give.
TEST_F(LifecycleTest, StartLeavesOutAPlcWhoseDropTheFileCannotMean) {
    cwd.WriteFile("vpiSD03.int", "P1=1+5\nP4=257\n");
    ASSERT_EQ(Start(MakeStart("NUL")), 0);
    EXPECT_EQ(CountLog(32, "VPISD: VPI 3 Line 2 in Init File: drop 257 not in 1 to 255, normal "
                           "route not used"),
              1)
        << LogDump();
    for (const auto &[gas, result] : {std::pair{"P40001", 1}, std::pair{"P10001", 0}}) {
        TagDescriptor tag{};
        tag.gas = gas;
        VpiRequest request = Request(VPI_SINGLE_PARSE, &tag);
        EXPECT_EQ(DispatchCommand(&request), result) << gas;
    }
    EXPECT_EQ(CountLog(32, "VPISD: Parse Failed, Invalid Route. GAS=P40001"), 1) << LogDump();
}

} // namespace
} // namespace vpisd::test
