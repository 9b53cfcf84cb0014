// The tests' child processes: what a program finds when it starts, and that nothing it
// started outlives its ChildProcess.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vpisd::test {
namespace {

// Running, or stopped: anything but gone or a zombie that no one has collected yet.
bool Alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const size_t close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}

// The test blocks and ignores signals as a program with a signalfd would; the child starts
// with none blocked or ignored, in the directory and environment it was given.
TEST(ChildProcess, StartsWithCleanSignalsInItsDirectoryAndEnvironment) {
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGUSR1);
    sigset_t previous;
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &previous), 0);
    struct sigaction ignore {};
    struct sigaction before {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGHUP, &ignore, &before);
    TempDir dir;
    ChildOptions options;
    options.cwd = dir.path();
    options.env = {"VPISD_PROBE=seen"};
    // grep itself reads its status: a shell would change its own signal mask.
    const ChildResult result =
        RunChild("grep", {"-E", "^Sig(Blk|Ign)", "/proc/self/status"}, 10000, options);
    const ChildResult where =
        RunChild("/bin/sh", {"-c", "pwd; echo \"$VPISD_PROBE\""}, 10000, options);
    sigaction(SIGHUP, &before, nullptr);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("SigBlk:\t0000000000000000\n"), std::string::npos) << result.out;
    // SIGHUP is not ignored any more (glibc's own real-time signals may be).
    const size_t ignored = result.out.find("SigIgn:\t");
    ASSERT_NE(ignored, std::string::npos) << result.out;
    EXPECT_EQ(std::stoull(result.out.substr(ignored + 8, 16), nullptr, 16) & (1ull << (SIGHUP - 1)),
              0u)
        << result.out;
    EXPECT_EQ(where.out, dir.path() + "\nseen\n");
}

TEST(ChildProcess, ProgramThatCannotStartEndsWith127) {
    const ChildResult result = RunChild("/nonexistent/program", {});
    EXPECT_EQ(result.exitCode, 127);
    EXPECT_NE(result.err.find("cannot start /nonexistent/program"), std::string::npos);
}

// Killed at the deadline, with what it started; its output up to then is kept.
TEST(ChildProcess, NothingOutlivesIt) {
    pid_t grandchild = 0;
    {
        ChildProcess child("/bin/sh", {"-c", "sleep 60 & echo $!; wait"});
        const auto line = child.ReadLine(5000);
        ASSERT_TRUE(line.has_value()) << child.sofar().err;
        grandchild = static_cast<pid_t>(std::stol(*line));
        const ChildResult result = child.Finish(200);
        EXPECT_EQ(result.exitCode, -1);
        EXPECT_EQ(result.out, *line + "\n");
    }
    // SIGKILL is delivered at once, but the process takes a moment to end.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (Alive(grandchild) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(Alive(grandchild)) << "sleep " << grandchild << " is still there";
}

} // namespace
} // namespace vpisd::test
