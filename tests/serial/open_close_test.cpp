// Opening and closing ports: names, exclusivity, result codes, nothing left behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "serial/port.h"
#include "serial/port_table_posix.h"
#include "serial_support.h"
#include "support/pty.h"

namespace vpisd::test {
namespace {

int32_t Open(const char *name, PortHandle *handle, uint16_t parity = 2) {
    return OpenPort(name, 9600, 8, 0, parity, 8, handle);
}

TEST(OpenPortNames, NulOpensTheNullDeviceWithoutAnyLine) {
    PortHandle first = 0;
    PortHandle second = 0;
    // Settings no device could take do not matter: nothing is configured.
    ASSERT_EQ(OpenPort("NUL", 0, 42, 9, 77, 0xFFFF, &first), PORT_OK);
    EXPECT_NE(first, 0u);
    // No line behind it: nothing to guard, so a second instance may use it as well.
    ASSERT_EQ(Open("NUL", &second), PORT_OK);
    EXPECT_NE(second, first);

    const uint8_t bytes[] = {0x10, 0x05};
    uint32_t written = 0;
    EXPECT_EQ(PortWrite(first, bytes, sizeof bytes, &written), PORT_OK);
    EXPECT_EQ(written, sizeof bytes);
    // No timeouts to read or set, and reads end at once with nothing.
    EXPECT_EQ(SetReadTimeout(first, 5), 0);
    uint8_t in[1];
    uint32_t got = 99;
    Stopwatch watch;
    EXPECT_EQ(PortRead(first, in, 1, &got), PORT_IO_FAILED);
    EXPECT_EQ(got, 0u);
    EXPECT_LT(watch.ElapsedMs(), 100);

    EXPECT_EQ(ClosePort(first), PORT_OK);
    EXPECT_EQ(ClosePort(second), PORT_OK);
}

TEST(OpenPortNames, LowerCaseNulIsAnOrdinaryMissingDevice) {
    struct stat info {};
    ASSERT_NE(stat("/dev/nul", &info), 0) << "this machine has a /dev/nul";
    const int before = CountOpenFds();
    PortHandle handle = 77;
    EXPECT_EQ(Open("nul", &handle), PORT_OPEN_FAILED);
    EXPECT_EQ(handle, 77u);
    EXPECT_EQ(CountOpenFds(), before);
}

TEST(OpenPortNames, MissingDeviceFailsWithoutLeavingADescriptor) {
    const int before = CountOpenFds();
    PortHandle handle = 0;
    EXPECT_EQ(Open("ttyNOPE9", &handle), PORT_OPEN_FAILED);
    EXPECT_EQ(Open("/dev/nope", &handle), PORT_OPEN_FAILED);
    EXPECT_EQ(Open("", &handle), PORT_OPEN_FAILED);
    EXPECT_EQ(handle, 0u);
    EXPECT_EQ(CountOpenFds(), before);
}

TEST(OpenPortNames, RelativeNamesLiveUnderDev) {
    Pty pty;
    ASSERT_EQ(pty.path().rfind("/dev/", 0), 0u);
    const std::string underDev = pty.path().substr(5); // "pts/N"
    PortHandle handle = 0;
    ASSERT_EQ(Open(underDev.c_str(), &handle), PORT_OK);
    const uint8_t byte = 0x42;
    ASSERT_EQ(PortWrite(handle, &byte, 1, nullptr), PORT_OK);
    EXPECT_EQ(ToHex(pty.Read(1, 500)), "42");
    EXPECT_EQ(ClosePort(handle), PORT_OK);
}

TEST(OpenPortNames, ElevenCharactersAreTheLongestName) {
    Pty pty;
    ShortTmpName eleven(11);
    ShortTmpName twelve(12);
    ASSERT_EQ(eleven.path().size(), 11u);
    ASSERT_EQ(twelve.path().size(), 12u);
    ASSERT_EQ(symlink(pty.path().c_str(), eleven.path().c_str()), 0);
    ASSERT_EQ(symlink(pty.path().c_str(), twelve.path().c_str()), 0);

    PortHandle handle = 0;
    EXPECT_EQ(Open(twelve.path().c_str(), &handle), PORT_OPEN_FAILED);
    ASSERT_EQ(Open(eleven.path().c_str(), &handle), PORT_OK);
    EXPECT_EQ(ClosePort(handle), PORT_OK);

    // A port name without its terminator within 12 bytes is never read past.
    char unterminated[kPortNameBytes + 4];
    std::memset(unterminated, 'x', sizeof unterminated);
    std::memcpy(unterminated, eleven.path().c_str(), 11);
    unterminated[11] = 'z';
    EXPECT_EQ(Open(unterminated, &handle), PORT_OPEN_FAILED);
}

TEST(OpenPortResults, RegularFileCannotGiveALineState) {
    ShortTmpName name(11);
    const int fd = open(name.path().c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    const int before = CountOpenFds();
    PortHandle handle = 0;
    EXPECT_EQ(Open(name.path().c_str(), &handle), PORT_GET_STATE_FAILED);
    EXPECT_EQ(handle, 0u);
    EXPECT_EQ(CountOpenFds(), before);
}

TEST(OpenPortResults, HandleIsNeverZeroEvenWhenDescriptorZeroIsFree) {
    Pty pty;
    const int savedStdin = dup(0);
    ASSERT_GE(savedStdin, 0);
    close(0);
    PortHandle handle = 0;
    const int32_t result = Open(pty.path().c_str(), &handle);
    const bool gotDescriptorZero = fcntl(0, F_GETFD) >= 0;
    uint8_t byte = 0x5A;
    const int32_t writeResult = PortWrite(handle, &byte, 1, nullptr);
    const int32_t closeResult = ClosePort(handle);
    dup2(savedStdin, 0);
    close(savedStdin);

    ASSERT_EQ(result, PORT_OK);
    EXPECT_TRUE(gotDescriptorZero);
    EXPECT_NE(handle, 0u);
    EXPECT_EQ(writeResult, PORT_OK);
    EXPECT_EQ(ToHex(pty.Read(1, 500)), "5A");
    EXPECT_EQ(closeResult, PORT_OK);
}

TEST(OpenPortExclusive, SecondOpenInThisProcessIsRefusedUntilClose) {
    Pty pty;
    PortHandle first = 0;
    PortHandle second = 0;
    ASSERT_EQ(Open(pty.path().c_str(), &first), PORT_OK);
    const int before = CountOpenFds();
    EXPECT_EQ(Open(pty.path().c_str(), &second), PORT_OPEN_FAILED);
    EXPECT_EQ(second, 0u);
    EXPECT_EQ(CountOpenFds(), before);

    ASSERT_EQ(ClosePort(first), PORT_OK);
    ASSERT_EQ(Open(pty.path().c_str(), &second), PORT_OK);
    EXPECT_EQ(ClosePort(second), PORT_OK);
}

TEST(OpenPortExclusive, OpenInAnotherProcessIsRefused) {
    Pty pty;
    PortHandle handle = 0;
    ASSERT_EQ(Open(pty.path().c_str(), &handle), PORT_OK);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        PortHandle other = 0;
        _exit(Open(pty.path().c_str(), &other));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), PORT_OPEN_FAILED);
    EXPECT_EQ(ClosePort(handle), PORT_OK);
}

TEST(ClosePortResults, OnlyAnOpenHandleCloses) {
    Pty pty;
    PortHandle handle = 0;
    ASSERT_EQ(Open(pty.path().c_str(), &handle), PORT_OK);
    EXPECT_EQ(ClosePort(handle), PORT_OK);
    EXPECT_EQ(ClosePort(handle), PORT_IO_FAILED);
    EXPECT_EQ(ClosePort(0), PORT_IO_FAILED);
    EXPECT_EQ(ClosePort(0xFFFFFFFFu), PORT_IO_FAILED);
    // A closed handle is refused by every operation.
    uint8_t byte = 0;
    EXPECT_EQ(PortWrite(handle, &byte, 1, nullptr), PORT_IO_FAILED);
    EXPECT_EQ(PortRead(handle, &byte, 1, nullptr), PORT_IO_FAILED);
    EXPECT_EQ(SetReadTimeout(handle, 5), 0);
}

TEST(OpenPortTable, FullTableRefusesAndClosingGivesEntriesBack) {
    std::vector<PortHandle> handles;
    PortHandle handle = 0;
    while (handles.size() <= kMaxOpenPorts && Open("NUL", &handle) == PORT_OK) {
        handles.push_back(handle);
    }
    const int before = CountOpenFds();
    EXPECT_EQ(handles.size(), 256u); // what the process promises its hosts
    EXPECT_EQ(Open("NUL", &handle), PORT_OPEN_FAILED);
    EXPECT_EQ(CountOpenFds(), before);
    for (PortHandle open : handles) {
        EXPECT_NE(open, 0u);
        EXPECT_EQ(ClosePort(open), PORT_OK);
    }
    for (int round = 0; round < 3 * static_cast<int>(kMaxOpenPorts); ++round) {
        ASSERT_EQ(Open("NUL", &handle), PORT_OK) << "round " << round;
        ASSERT_EQ(ClosePort(handle), PORT_OK);
    }
}

} // namespace
} // namespace vpisd::test
