// The vpisd-sim program as the demo and scripts use it: PORT line, control input, init file,
// signals and statistics at exit.
#include "driver_side.h"
#include "support/child_process.h"
#include "support/pty.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

namespace vpisd::sim {
namespace {

using namespace std::chrono_literals;
using vpisd::test::TempCwd;
using vpisd::test::ToHex;

// The program with its control input on a pipe of the test.
class SimProcess : public vpisd::test::ChildProcess {
  public:
    explicit SimProcess(const std::vector<std::string> &args)
        : ChildProcess(VPISD_SIM_PROGRAM, args, {.cwd = {}, .env = {}, .input = true}) {}
    void WriteLine(const std::string &line) const { ASSERT_TRUE(WriteInput(line + "\n")); }
    // Lines up to and including `last`.
    std::vector<std::string> ReadUntil(const std::string &last) {
        std::vector<std::string> lines;
        while (auto line = ReadLine(3000)) {
            lines.push_back(*line);
            if (*line == last)
                break;
        }
        return lines;
    }
    std::string Stderr() const { return sofar().err; }
    // Exit status; killed (-1) when the program is still running after timeoutMs.
    int Wait(int timeoutMs) { return Finish(timeoutMs).exitCode; }
};

// Writes to the simulator's FIFO once it is reading, giving up after a few seconds.
void WriteFifo(const char *path, const std::string &text) {
    for (int tries = 0; tries < 300; ++tries) {
        const int fd = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            const ssize_t n = write(fd, text.data(), text.size());
            close(fd);
            ASSERT_EQ(n, ssize_t(text.size()));
            return;
        }
        std::this_thread::sleep_for(10ms);
    }
    FAIL() << "nobody reads " << path;
}

// The pty path from the program's first line, "PORT <path>"; empty when it printed none.
std::string PortPath(SimProcess &sim) {
    const std::string line = sim.ReadLine(3000).value_or("");
    EXPECT_TRUE(line.starts_with("PORT /dev/pts/")) << line << sim.Stderr();
    return line.starts_with("PORT ") ? line.substr(5) : "";
}

bool Contains(const std::vector<std::string> &lines, const std::string &line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(SimProgram, ServesUntilSigtermThenPrintsStatistics) {
    TempCwd dir;
    dir.WriteFile("net.ini", "[plc P1]\nroute = 1+5\nbackup = 2+5\n100 = 0x1234\n"
                             "[plc P2]\nroute = 10+255\n");
    SimProcess sim({"--config", "net.ini", "--init-out", "vpiSD01.int", "--link", "line"});
    const std::string path = PortPath(sim);
    ASSERT_NE(path, "");
    EXPECT_LE(path.size(), 11u);
    EXPECT_EQ(std::filesystem::read_symlink("line"), path);
    std::ifstream init("vpiSD01.int");
    std::string initText((std::istreambuf_iterator<char>(init)), std::istreambuf_iterator<char>());
    EXPECT_EQ(initText, "P1=1+5,2+5\nP2=10+255\n");

    {
        test::DriverSide driver(path);
        EXPECT_EQ(ToHex(driver.Enquire()), "10 12");
    }
    sim.WriteLine("get P1 100");
    EXPECT_EQ(sim.ReadLine(3000), "VALUE P1 100 4660");
    EXPECT_EQ(sim.ReadLine(3000), "OK");
    sim.WriteLine("fault P9 any silence");
    EXPECT_TRUE(sim.ReadLine(3000).value_or("").starts_with("ERR "));

    sim.Signal(SIGTERM);
    const auto lines = sim.ReadUntil("END");
    EXPECT_TRUE(Contains(lines, "END"));
    EXPECT_TRUE(Contains(lines, "STAT enquiries 1"));
    EXPECT_TRUE(Contains(lines, "STAT fillers 10"));
    EXPECT_EQ(sim.Wait(3000), 0);
    EXPECT_FALSE(std::filesystem::is_symlink("line")) << "link removed at exit";
}

// A second simulator on the same --link takes the link over; the first, stopped later, leaves
// it pointing at the second's pty.
TEST(SimProgram, LinkRemovedAtExitOnlyWhileItIsStillItsOwn) {
    TempCwd dir;
    SimProcess first({"--plc", "P1=1", "--link", "line"});
    ASSERT_NE(PortPath(first), "");
    SimProcess second({"--plc", "P1=1", "--link", "line"});
    const std::string secondPath = PortPath(second);
    ASSERT_EQ(std::filesystem::read_symlink("line"), secondPath);
    first.Signal(SIGTERM);
    first.ReadUntil("END");
    EXPECT_EQ(first.Wait(3000), 0);
    std::error_code ec;
    EXPECT_EQ(std::filesystem::read_symlink("line", ec), secondPath) << "the second's link kept";
}

TEST(SimProgram, ControlFifoAndQuit) {
    TempCwd dir;
    SimProcess sim({"--plc", "P1=1", "--registers", "10", "--control", "ctl", "--no-stdin"});
    ASSERT_NE(PortPath(sim), "");
    WriteFifo("ctl", "set P1 10 77\nget P1 10\nset P1 11 1\n");
    EXPECT_EQ(sim.ReadLine(3000), "OK");
    EXPECT_EQ(sim.ReadLine(3000), "VALUE P1 10 77");
    EXPECT_EQ(sim.ReadLine(3000), "OK");
    EXPECT_TRUE(sim.ReadLine(3000).value_or("").starts_with("ERR ")) << "register 11 of 10";
    WriteFifo("ctl", "quit\n");
    EXPECT_EQ(sim.ReadLine(3000), "OK");
    const auto lines = sim.ReadUntil("END");
    EXPECT_TRUE(Contains(lines, "STAT frames 0"));
    EXPECT_EQ(sim.Wait(3000), 0);
}

TEST(SimProgram, PlcsFromADriverInitFileAndHelp) {
    TempCwd dir;
    dir.WriteFile("vpiSD01.int", "P1=1+5,2+5\nPB = 003\n");
    SimProcess sim({"--init", "vpiSD01.int"});
    ASSERT_NE(PortPath(sim), "");
    sim.WriteLine("get PB 1");
    EXPECT_EQ(sim.ReadLine(3000), "VALUE PB 1 0");
    EXPECT_EQ(sim.ReadLine(3000), "OK");
    sim.WriteLine("help");
    const auto help = sim.ReadUntil("OK");
    ASSERT_FALSE(help.empty());
    for (const char *verb : {"fault", "clear", "faults", "set", "get", "stats", "quit"}) {
        EXPECT_TRUE(std::any_of(help.begin(), help.end(), [&](const std::string &line) {
            return line.starts_with(std::string("HELP ") + verb + " ");
        })) << verb;
    }
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Wait(3000), 0);
}

TEST(SimProgram, BadConfigurationExitsBeforeAnyPort) {
    TempCwd dir;
    dir.WriteFile("bad.ini", "[plc P1]\nroute = 1+300\n");
    dir.WriteFile("bad.int", "P1=1+5\nP2=1+300\n");
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--config", "bad.ini"}, "bad.ini: line 2"},
        {{"--init", "bad.int"}, "bad.int: line 2"},
        {{}, "no PLCs"},
        {{"--plc", "P1=1", "--plc", "P2=1"}, "used twice"},
        {{"--plc", "PUMP=1", "--init-out", "x.int"}, "two-character"},
        {{"--plc", "P1=1", "--enquiry", "13"}, "enquiry"},
        {{"--plc", "P1=1", "--bits", "3"}, "--bits"},
    };
    for (const auto &[args, message] : cases) {
        SimProcess sim(args);
        EXPECT_EQ(sim.Wait(3000), 2) << message;
        EXPECT_EQ(sim.ReadLine(200), std::nullopt) << message;
        EXPECT_NE(sim.Stderr().find(message), std::string::npos) << message;
    }
}

} // namespace
} // namespace vpisd::sim
