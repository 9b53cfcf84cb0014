#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace vpisd::gateway::test {
namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

} // namespace

ChildProcess::ChildProcess(const std::string &program, const std::vector<std::string> &args) {
    // Everything the child needs is built before fork: a simulator thread may hold the
    // allocator's lock at that moment, so the child makes no allocation.
    std::string path = program;
    std::vector<std::string> copies(args);
    std::vector<char *> argv{path.data()};
    for (auto &arg : copies)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        // The gateway takes its signals through a signalfd; start it with none blocked.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execvp(path.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    outFd_ = out[0];
    errFd_ = err[0];
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (outFd_ >= 0)
        close(outFd_);
    if (errFd_ >= 0)
        close(errFd_);
}

void ChildProcess::Pump(int timeoutMs) {
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

bool ChildProcess::WaitFor(const std::string &text, bool onStderr, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const std::string &seen = onStderr ? result_.err : result_.out;
    while (seen.find(text) == std::string::npos) {
        if ((outFd_ < 0 && errFd_ < 0) || Clock::now() >= deadline)
            return false;
        Pump(std::min(RemainingMs(deadline), 100));
    }
    return true;
}

bool ChildProcess::WaitForOutput(const std::string &text, int timeoutMs) {
    return WaitFor(text, false, timeoutMs);
}

bool ChildProcess::WaitForError(const std::string &text, int timeoutMs) {
    return WaitFor(text, true, timeoutMs);
}

void ChildProcess::Signal(int signal) const {
    if (pid_ > 0)
        kill(pid_, signal);
}

ChildResult ChildProcess::Finish(int timeoutMs) {
    if (pid_ <= 0)
        return result_; // finished before
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while ((outFd_ >= 0 || errFd_ >= 0) && Clock::now() < deadline)
        Pump(std::min(RemainingMs(deadline), 100));
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(pid_, &status, WNOHANG)) == 0 && Clock::now() < deadline)
        usleep(10000);
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

ChildResult RunChild(const std::string &program, const std::vector<std::string> &args,
                     int timeoutMs) {
    ChildProcess child(program, args);
    return child.Finish(timeoutMs);
}

} // namespace vpisd::gateway::test
