// The vpisd-sim program as the demo and scripts use it: PORT line, control input, init file,
// signals and statistics at exit.
#include "driver_side.h"
#include "support/pty.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
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

class SimProcess {
  public:
    explicit SimProcess(std::vector<std::string> args) {
        int in[2], out[2], err[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe");
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(err[1], 2);
            std::vector<char *> argv{const_cast<char *>(VPISD_SIM_PROGRAM)};
            for (auto &a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(VPISD_SIM_PROGRAM, argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        close(err[1]);
        stdin_ = in[1];
        stdout_ = out[0];
        stderr_ = err[0];
    }
    ~SimProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (int fd : {stdin_, stdout_, stderr_}) {
            if (fd >= 0)
                close(fd);
        }
    }

    void WriteLine(const std::string &line) const {
        const std::string text = line + "\n";
        ASSERT_EQ(write(stdin_, text.data(), text.size()), ssize_t(text.size()));
    }
    // The next stdout line, or nothing after timeoutMs of silence.
    std::optional<std::string> ReadLine(int timeoutMs = 3000) {
        for (;;) {
            const size_t eol = buffered_.find('\n');
            if (eol != std::string::npos) {
                std::string line = buffered_.substr(0, eol);
                buffered_.erase(0, eol + 1);
                return line;
            }
            pollfd p{stdout_, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) <= 0)
                return std::nullopt;
            char chunk[256];
            const ssize_t n = read(stdout_, chunk, sizeof chunk);
            if (n <= 0)
                return std::nullopt;
            buffered_.append(chunk, static_cast<size_t>(n));
        }
    }
    // Lines up to and including `last`.
    std::vector<std::string> ReadUntil(const std::string &last) {
        std::vector<std::string> lines;
        while (auto line = ReadLine()) {
            lines.push_back(*line);
            if (*line == last)
                break;
        }
        return lines;
    }
    std::string Stderr() const {
        std::string text;
        char chunk[256];
        pollfd p{stderr_, POLLIN, 0};
        while (poll(&p, 1, 100) > 0) {
            const ssize_t n = read(stderr_, chunk, sizeof chunk);
            if (n <= 0)
                break;
            text.append(chunk, static_cast<size_t>(n));
        }
        return text;
    }
    void Signal(int signal) const { kill(pid_, signal); }
    // Exit status, or -1 when the program is still running after timeoutMs.
    int Wait(int timeoutMs) {
        for (int waited = 0; waited <= timeoutMs; waited += 10) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1;
    }

  private:
    pid_t pid_ = -1;
    int stdin_ = -1, stdout_ = -1, stderr_ = -1;
    std::string buffered_;
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

bool Contains(const std::vector<std::string> &lines, const std::string &line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(SimProgram, ServesUntilSigtermThenPrintsStatistics) {
    TempCwd dir;
    dir.WriteFile("net.ini", "[plc P1]\nroute = 1+5\nbackup = 2+5\n100 = 0x1234\n"
                             "[plc P2]\nroute = 10+255\n");
    SimProcess sim({"--config", "net.ini", "--init-out", "vpiSD01.int", "--link", "line"});
    const auto port = sim.ReadLine();
    ASSERT_TRUE(port.has_value()) << sim.Stderr();
    ASSERT_TRUE(port->starts_with("PORT /dev/pts/")) << *port;
    const std::string path = port->substr(5);
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
    EXPECT_EQ(sim.ReadLine(), "VALUE P1 100 4660");
    EXPECT_EQ(sim.ReadLine(), "OK");
    sim.WriteLine("fault P9 any silence");
    EXPECT_TRUE(sim.ReadLine().value_or("").starts_with("ERR "));

    sim.Signal(SIGTERM);
    const auto lines = sim.ReadUntil("END");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "END");
    EXPECT_TRUE(Contains(lines, "STAT enquiries 1"));
    EXPECT_TRUE(Contains(lines, "STAT fillers 10"));
    EXPECT_EQ(sim.Wait(3000), 0);
    EXPECT_FALSE(std::filesystem::is_symlink("line")) << "link removed at exit";
}

TEST(SimProgram, ControlFifoAndQuit) {
    TempCwd dir;
    SimProcess sim({"--plc", "P1=1", "--registers", "10", "--control", "ctl", "--no-stdin"});
    ASSERT_TRUE(sim.ReadLine().value_or("").starts_with("PORT ")) << sim.Stderr();
    WriteFifo("ctl", "set P1 10 77\nget P1 10\nset P1 11 1\n");
    EXPECT_EQ(sim.ReadLine(), "OK");
    EXPECT_EQ(sim.ReadLine(), "VALUE P1 10 77");
    EXPECT_EQ(sim.ReadLine(), "OK");
    EXPECT_TRUE(sim.ReadLine().value_or("").starts_with("ERR ")) << "register 11 of 10";
    WriteFifo("ctl", "quit\n");
    EXPECT_EQ(sim.ReadLine(), "OK");
    const auto lines = sim.ReadUntil("END");
    EXPECT_TRUE(Contains(lines, "STAT frames 0"));
    EXPECT_EQ(sim.Wait(3000), 0);
}

TEST(SimProgram, PlcsFromADriverInitFileAndHelp) {
    TempCwd dir;
    dir.WriteFile("vpiSD01.int", "P1=1+5,2+5\nPB = 003\n");
    SimProcess sim({"--init", "vpiSD01.int"});
    ASSERT_TRUE(sim.ReadLine().value_or("").starts_with("PORT ")) << sim.Stderr();
    sim.WriteLine("get PB 1");
    EXPECT_EQ(sim.ReadLine(), "VALUE PB 1 0");
    EXPECT_EQ(sim.ReadLine(), "OK");
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
