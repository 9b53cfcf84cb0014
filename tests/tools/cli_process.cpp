#include "cli_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace vpisd::cli::test {
namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

} // namespace

CliProcess::CliProcess(const std::vector<std::string> &args, const std::string &cwd,
                       const std::string &tmpdir) {
    // Everything the child needs is built before fork: the simulator's thread may hold the
    // allocator's lock at that moment, so the child makes no allocation.
    std::string program = VPISD_CLI_PATH;
    std::vector<std::string> copies(args);
    std::vector<char *> argv{program.data()};
    for (auto &arg : copies)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        if (!tmpdir.empty() && text.starts_with("TMPDIR="))
            continue;
        environment.push_back(text);
    }
    if (!tmpdir.empty())
        environment.push_back("TMPDIR=" + tmpdir);
    std::vector<char *> envp;
    for (auto &text : environment)
        envp.push_back(text.data());
    envp.push_back(nullptr);
    const char *directory = cwd.empty() ? nullptr : cwd.c_str();

    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        if (directory != nullptr && chdir(directory) != 0)
            _exit(126);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    outFd_ = out[0];
    errFd_ = err[0];
}

CliProcess::~CliProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (outFd_ >= 0)
        close(outFd_);
    if (errFd_ >= 0)
        close(errFd_);
}

void CliProcess::Pump(int timeoutMs) {
    pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    if (poll(fds, 2, timeoutMs) <= 0)
        return;
    char buffer[4096];
    for (int i = 0; i < 2; ++i) {
        if ((fds[i].revents & (POLLIN | POLLHUP)) == 0)
            continue;
        const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
        if (n > 0) {
            (i == 0 ? result_.out : result_.err).append(buffer, static_cast<size_t>(n));
        } else {
            close(fds[i].fd);
            (i == 0 ? outFd_ : errFd_) = -1;
        }
    }
}

bool CliProcess::WaitForOutput(const std::string &text, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (result_.out.find(text) == std::string::npos) {
        if (outFd_ < 0 || Clock::now() >= deadline)
            return false;
        Pump(std::min(RemainingMs(deadline), 100));
    }
    return true;
}

void CliProcess::Signal(int signal) const {
    if (pid_ > 0)
        kill(pid_, signal);
}

CliResult CliProcess::Finish(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while ((outFd_ >= 0 || errFd_ >= 0) && Clock::now() < deadline) {
        Pump(std::min(RemainingMs(deadline), 100));
    }
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(pid_, &status, WNOHANG)) == 0 && Clock::now() < deadline) {
        usleep(10000);
    }
    if (done == pid_) {
        result_.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    } else {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        result_.exitCode = -1;
    }
    pid_ = -1;
    return result_;
}

CliResult RunCli(const std::vector<std::string> &args, int timeoutMs, const std::string &cwd,
                 const std::string &tmpdir) {
    CliProcess process(args, cwd, tmpdir);
    return process.Finish(timeoutMs);
}

} // namespace vpisd::cli::test
