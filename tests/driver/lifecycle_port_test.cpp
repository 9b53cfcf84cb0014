// Warm start, close, open and reopen of an instance's port.
#include <thread>

#include "lifecycle_fixture.h"

namespace vpisd::test {
namespace {

TEST_F(LifecycleTest, WarmStartWithoutPortForgetsTheLinkState) {
    context->port = 0;
    context->vpiNumber = 0xFFFF;
    const auto before = Snapshot();
    ASSERT_EQ(Command(VpiWarmStart, VPI_WARM_START), 0);
    for (int slot = 0; slot < kSlotCount; ++slot) {
        EXPECT_EQ(context->connected[slot], 0);
        EXPECT_EQ(context->sequence[slot], 0);
    }
    std::memcpy(before->connected, context->connected, sizeof context->connected);
    std::memcpy(before->sequence, context->sequence, sizeof context->sequence);
    EXPECT_TRUE(Unchanged(*before)); // routes, flags, toggles, timeout, settings
    EXPECT_EQ(CountLog(32, "VPISD: Warm Start VPI 65535"), 1) << LogDump();
    EXPECT_EQ(LogEntries().size(), 1U) << LogDump();
}

TEST_F(LifecycleTest, WarmStartDrainsInputAndPutsTheTimeoutBack) {
    Pty pty;
    ASSERT_EQ(Start(MakeStart(pty.path(), 1, 100)), 0) << LogDump();
    context->timeout = 20; // 200 ms
    context->connected[7] = 1;
    context->useBackup[7] = 1;
    pty.Write(Hex("41 42 43"));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

    ASSERT_EQ(Command(VpiWarmStart, VPI_WARM_START), 0);
    EXPECT_EQ(context->connected[7], 0);
    EXPECT_EQ(context->useBackup[7], 1);
    uint8_t byte = 0;
    uint32_t read = 99;
    EXPECT_EQ(PortRead(context->port, &byte, 1, &read), PORT_IO_FAILED);
    EXPECT_EQ(read, 0U);
    EXPECT_EQ(SetReadTimeout(context->port, 5), 20);
}

TEST_F(LifecycleTest, CloseReleasesThePortAndKeepsTheRest) {
    Pty pty;
    EXPECT_EQ((context->port = 0, Command(VpiClose, VPI_CLOSE)), 0);
    ASSERT_EQ(Start(MakeStart(pty.path())), 0) << LogDump();
    context->connected[2] = 1;
    const PortHandle open = context->port;
    auto before = Snapshot();

    ASSERT_EQ(Command(VpiClose, VPI_CLOSE_ALIAS), 0);
    EXPECT_EQ(context->port, 0U);
    EXPECT_FALSE(IsOpen(open));
    before->port = 0;
    EXPECT_TRUE(Unchanged(*before));
    EXPECT_EQ(Command(VpiClose, VPI_CLOSE), 0);

    // The device is free again for any opener.
    PortHandle again = 0;
    EXPECT_EQ(OpenPort(pty.path().c_str(), 9600, 8, 0, 2, 8, &again), PORT_OK);
    EXPECT_EQ(ClosePort(again), PORT_OK);
    EXPECT_TRUE(LogEntries().size() == 2U) << LogDump(); // start's two messages only
}

TEST_F(LifecycleTest, CloseThatFailsKeepsTheHandle) {
    ASSERT_EQ(context->port, kPatternHandle);
    EXPECT_EQ(Command(VpiClose, VPI_CLOSE), 2);
    EXPECT_EQ(context->port, kPatternHandle);
}

TEST_F(LifecycleTest, OpenUsesTheStoredSettingsWithTheOpenTimeout) {
    Pty pty;
    ASSERT_EQ(Start(MakeStart(pty.path(), 0)), 0);
    ASSERT_EQ(Start(MakeStart(pty.path(), 1, 250)), 0) << LogDump();
    ASSERT_EQ(Command(VpiClose, VPI_CLOSE), 0);
    context->portEnabled = 0;
    ClearLog();

    ASSERT_EQ(Command(VpiOpen, VPI_OPEN), 0);
    EXPECT_NE(context->port, 0U);
    EXPECT_EQ(context->portEnabled, 1);
    EXPECT_EQ(context->timeout, 250);
    EXPECT_EQ(SetReadTimeout(context->port, 5), 100); // OpenPort's 1 second
    EXPECT_TRUE(LogEntries().empty()) << LogDump();

    // A second open of the exclusive device fails and keeps the open handle.
    const PortHandle open = context->port;
    EXPECT_EQ(Command(VpiOpen, VPI_OPEN), 2);
    EXPECT_EQ(context->port, open);
    EXPECT_TRUE(IsOpen(open));
}

TEST_F(LifecycleTest, OpenThatFailsChangesNothing) {
    const auto pattern = Snapshot(); // an unterminated name in the settings
    EXPECT_EQ(Command(VpiOpen, VPI_OPEN), 2);
    EXPECT_TRUE(Unchanged(*pattern));

    std::strcpy(context->portSettings.portName, "nonexist");
    context->port = 0;
    const auto before = Snapshot();
    EXPECT_EQ(Command(VpiOpen, VPI_OPEN), 2);
    EXPECT_TRUE(Unchanged(*before));
    EXPECT_TRUE(LogEntries().empty()) << LogDump();
}

TEST_F(LifecycleTest, OpenOverAnOpenNullPortClosesTheReplacedHandle) {
    ASSERT_EQ(Start(MakeStart("NUL")), 0);
    const PortHandle first = context->port;
    ASSERT_EQ(Command(VpiOpen, VPI_OPEN), 0);
    EXPECT_NE(context->port, first);
    EXPECT_TRUE(IsOpen(context->port));
    EXPECT_FALSE(IsOpen(first));
}

TEST_F(LifecycleTest, ReopenTimeout) {
    struct {
        int32_t requested;
        int32_t stored;
    } const cases[] = {{0, 300}, {50, 50}, {5, 5}, {-5, 300}, {INT32_MIN, 300}};
    for (const auto &c : cases) {
        context->timeout = 300;
        ASSERT_EQ(Reopen(MakeReopen("NUL", c.requested)), 0);
        EXPECT_EQ(context->timeout, c.stored) << c.requested;
    }
}

TEST_F(LifecycleTest, ReopenOnAnotherNameClosesTheOldPortFirst) {
    Pty pty;
    ASSERT_EQ(Start(MakeStart(pty.path())), 0) << LogDump();
    const PortHandle old = context->port;
    context->portSettings.lineFlags = 0x0101;
    ClearLog();
    EXPECT_EQ(Reopen(MakeReopen("nonexist", 50)), 2);
    EXPECT_TRUE(LogEntries().empty()) << LogDump();
    EXPECT_EQ(context->portSettings.lineFlags, 0x0101);
    EXPECT_EQ(context->portSettings.stopBits, 2);
    EXPECT_EQ(context->portEnabled, 1);
    EXPECT_EQ(context->port, 0U);
    EXPECT_FALSE(IsOpen(old));
    EXPECT_STREQ(context->portSettings.portName, "nonexist");
    EXPECT_EQ(context->portSettings.baudRate, 19200);
    EXPECT_EQ(context->timeout, 50);

    ASSERT_EQ(Reopen(MakeReopen(pty.path())), 0);
    EXPECT_TRUE(IsOpen(context->port));
}

// An exclusive device is reopened under its own name with new settings: the open port
// is closed before the new open.
TEST_F(LifecycleTest, ReopenUnderTheSameNameClosesTheOpenPortFirst) {
    Pty pty;
    ASSERT_EQ(Start(MakeStart(pty.path(), 1, 250)), 0) << LogDump();
    ASSERT_EQ(Reopen(MakeReopen(pty.path(), 0, 19200)), 0);
    EXPECT_TRUE(IsOpen(context->port));
    EXPECT_EQ(context->portSettings.baudRate, 19200);
    EXPECT_EQ(SetReadTimeout(context->port, 5), 100); // a fresh open's 1 second

    // When the device has gone, the reopen fails with no port left open.
    ASSERT_EQ(Command(VpiClose, VPI_CLOSE), 0);
    ShortLink link(pty.path());
    ASSERT_EQ(Start(MakeStart(link.path())), 0) << LogDump();
    const PortHandle open = context->port;
    link.Remove();
    EXPECT_EQ(Reopen(MakeReopen(link.path())), 2);
    EXPECT_EQ(context->port, 0U);
    EXPECT_FALSE(IsOpen(open));
}

TEST_F(LifecycleTest, ReopenNameWithoutTerminatorIsReadWithinItsField) {
    context->port = 0;
    ReopenParams params = MakeReopen("");
    std::memcpy(params.portName, "ABCDEFGHIJKL", kPortNameBytes);
    EXPECT_EQ(Reopen(params), 2);
    EXPECT_STREQ(context->portSettings.portName, "ABCDEFGHIJK");
}

// Missing records: nothing is touched, one message names the command.
TEST_F(LifecycleTest, MissingInstanceOrDataIsRefused) {
    struct {
        int32_t (*routine)(const VpiRequest *);
        const char *name;
        bool needsData;
    } const commands[] = {{VpiStart, "VpiStart", true},
                          {VpiWarmStart, "VpiWarmStart", false},
                          {VpiClose, "VpiClose", false},
                          {VpiOpen, "VpiOpen", false},
                          {VpiReopen, "VpiReopen", true}};
    const auto before = Snapshot();
    StartParams data = MakeStart("NUL");
    for (const auto &command : commands) {
        ClearLog();
        EXPECT_EQ(command.routine(nullptr), VPI_BAD_REQUEST) << command.name;
        VpiRequest request = Request(VPI_START, &data);
        request.context = nullptr;
        EXPECT_EQ(command.routine(&request), VPI_BAD_REQUEST) << command.name;
        if (command.needsData) {
            request = Request(VPI_START, nullptr);
            EXPECT_EQ(command.routine(&request), VPI_BAD_REQUEST) << command.name;
        }
        const size_t calls = command.needsData ? 3U : 2U;
        const auto entries = LogEntries();
        ASSERT_EQ(entries.size(), calls) << LogDump();
        for (const auto &entry : entries) {
            EXPECT_EQ(entry.level, 32);
            EXPECT_NE(entry.text.find(command.name), std::string::npos) << entry.text;
        }
    }
    EXPECT_TRUE(Unchanged(*before));
}

} // namespace
} // namespace vpisd::test
