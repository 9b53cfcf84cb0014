// What the tool reports when the line fails: a port that will not open, nobody on the cable,
// a PLC that stops answering, and the driver's switch to the backup route.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <memory>

#include "cli_process.h"
#include "sim_network.h"

namespace vpisd::cli::test {
namespace {

TEST(LineFailures, PortThatCannotOpenExitsThreeWithTheDriversMessage) {
    const CliResult r =
        RunCli({"--lib", VPISD_LIBRARY_PATH, "--port", "/nonexist", "read", "001234"});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_NE(r.err.find("Fail to open /nonexist"), std::string::npos) << r.err;

    // A name too long for the driver is opened by the tool itself, with the same exit code.
    const CliResult longName =
        RunCli({"--lib", VPISD_LIBRARY_PATH, "--port", "/nonexistent/port", "read", "001234"});
    EXPECT_EQ(longName.exitCode, 3);
    EXPECT_NE(longName.err.find("/nonexistent/port"), std::string::npos) << longName.err;
}

TEST(LineFailures, PortThatCannotOpenSaysWhy) {
    SimNetwork net(kDirectNetwork);
    // Another open of the line holds the lock the driver takes.
    const int holder = open(net.port().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    const std::pair<std::string, std::string> cases[] = {
        {"/dev/ttyNOSUCH", "no such device /dev/ttyNOSUCH"},
        {net.port(), net.port() + " is in use by process " + std::to_string(getpid())},
    };
    for (const auto &[port, reason] : cases) {
        for (const char *format : {"text", "json"}) {
            const CliResult r = RunCli({"--lib", VPISD_LIBRARY_PATH, "--port", port, "--format",
                                        format, "read", "000001"});
            EXPECT_EQ(r.exitCode, 3) << r.err;
            EXPECT_NE(r.err.find(reason), std::string::npos) << r.err;
            if (std::string(format) == "json") {
                EXPECT_TRUE(r.out.starts_with("{\"error\":\"cannot open the port " + port))
                    << r.out;
                EXPECT_NE(r.out.find("\"exitCode\":3}"), std::string::npos) << r.out;
            }
        }
    }
    close(holder);
}

TEST(LineFailures, VanishedDeviceIsToldAndPollKeepsTrying) {
    SimNetwork net(kDirectNetwork);
    net.sim().SetRegister("P0", 1, 5);
    CliProcess poll(net.Args({"poll", "000001", "-l", "100"}));
    ASSERT_TRUE(poll.WaitForOutput("000001 = 5", 10000));
    net.Shutdown();
    ASSERT_TRUE(poll.WaitForOutput("000001: device gone", 20000));
    poll.WaitForOutput("never printed", 1000); // a few more rounds, each trying to reopen
    poll.Signal(SIGINT);
    const CliResult r = poll.Finish(20000);
    EXPECT_EQ(r.exitCode, 2) << r.err;
    size_t gone = 0;
    for (const auto &line : Lines(r.out))
        gone += line == "000001: device gone" ? 1u : 0u;
    EXPECT_GE(gone, 2u) << r.out;
    EXPECT_NE(r.err.find(net.port() + " has vanished (device gone)"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("poll statistics"), std::string::npos) << r.out;
}

TEST(LineFailures, VanishedDeviceIsOpenedAgainWhenItComesBack) {
    // A link short enough for the driver to open by itself (11 characters), so that the tool,
    // not a relay, holds the line.
    const std::string link = "/tmp/v" + std::to_string(10000 + getpid() % 90000);
    ASSERT_EQ(link.size(), 11u);
    unlink(link.c_str());
    auto first = std::make_unique<SimNetwork>(kDirectNetwork);
    first->sim().SetRegister("P0", 1, 5);
    ASSERT_EQ(symlink(first->port().c_str(), link.c_str()), 0);
    CliProcess poll({"--lib", VPISD_LIBRARY_PATH, "--port", link, "--timeout", "200", "poll",
                     "000001", "-l", "100"});
    ASSERT_TRUE(poll.WaitForOutput("000001 = 5", 10000));
    first.reset();
    ASSERT_TRUE(poll.WaitForOutput("000001: device gone", 20000));
    SimNetwork second(kDirectNetwork);
    second.sim().SetRegister("P0", 1, 6);
    unlink(link.c_str());
    ASSERT_EQ(symlink(second.port().c_str(), link.c_str()), 0);
    EXPECT_TRUE(poll.WaitForOutput("000001 = 6", 20000));
    poll.Signal(SIGINT);
    const CliResult r = poll.Finish(20000);
    unlink(link.c_str());
    EXPECT_NE(r.err.find(link + " is back and open again"), std::string::npos) << r.err;
}

TEST(LineFailures, NobodyOnTheCableIsACommunicationFailure) {
    // A line that never answers: the link enquiry goes unanswered.
    int master = -1;
    int slave = -1;
    char name[64] = {};
    termios raw{};
    cfmakeraw(&raw);
    ASSERT_EQ(openpty(&master, &slave, name, &raw, nullptr), 0);
    const auto begin = std::chrono::steady_clock::now();
    const CliResult r = RunCli({"--lib", VPISD_LIBRARY_PATH, "--port", name, "--timeout", "50",
                                "--format", "csv", "read", "001234"});
    const auto seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    close(slave);
    close(master);
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_EQ(Lines(r.out).at(1), "001234,,no answer");
    EXPECT_NE(r.err.find("Failed to connect to VPI 1 PLC 0"), std::string::npos) << r.err;
    // The short timeout was put on the port: 20 enquiries at 1 s each would take far longer.
    EXPECT_LT(seconds, 15.0);
}

TEST(LineFailures, SilentPlcExitsTwoAndOthersStillAnswer) {
    SimNetwork net(kRoutedNetwork);
    net.sim().SetRegister("P2", 1, 3);
    net.sim().AddFault("P1 any silence");
    const CliResult r = RunCli(net.Args({"--format", "csv", "read", "P10001", "P20001"}));
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(Lines(r.out),
              (std::vector<std::string>{"gas,value,status", "P10001,,no answer", "P20001,3,ok"}));
    EXPECT_NE(r.err.find("Read Failed! GAS = P10001 rc = 2"), std::string::npos) << r.err;
    // Repeated driver messages are summed up, not printed ten times.
    EXPECT_NE(r.err.find("times)"), std::string::npos) << r.err;
}

TEST(LineFailures, SilentNormalPathSwitchesTheNextRequestToTheBackupRoute) {
    SimNetwork net(kRoutedNetwork);
    net.sim().SetRegister("P1", 100, 42);
    net.sim().AddFault("P1 normal silence");
    const CliResult r = RunCli(net.Args(
        {"--format", "csv", "poll", "P1!ROUTE", "P10100", "--rounds", "2", "--interval", "0"}));
    EXPECT_EQ(r.exitCode, 2); // the first round's failure is remembered
    const auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 5u) << r.out;
    EXPECT_EQ(lines[1].substr(lines[1].find("P1!ROUTE")), "P1!ROUTE,0,ok");
    EXPECT_EQ(lines[2].substr(lines[2].find("P10100")), "P10100,,no answer");
    EXPECT_EQ(lines[3].substr(lines[3].find("P1!ROUTE")), "P1!ROUTE,1,ok");
    EXPECT_EQ(lines[4].substr(lines[4].find("P10100")), "P10100,42,ok");
    EXPECT_EQ(net.sim().GetStats().Get("requests.P1.backup"), 1u);
    EXPECT_NE(r.err.find("Backup Route will be used"), std::string::npos) << r.err;
}

TEST(LineFailures, WriteToASilentPlcLeavesItsRegisters) {
    SimNetwork net(kRoutedNetwork);
    net.sim().SetRegister("P2", 5, 8);
    net.sim().AddFault("P2 any silence");
    const CliResult r = RunCli(net.Args({"write", "P20005", "9"}));
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "P20005: no answer\n");
    EXPECT_EQ(net.sim().Register("P2", 5), 8);
}

} // namespace
} // namespace vpisd::cli::test
