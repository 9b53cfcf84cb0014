#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace vpisd::test {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> Environment(const std::vector<std::string> &changes) {
    std::vector<std::string> environment;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('=') + 1);
        bool replaced = false;
        for (const std::string &change : changes)
            replaced = replaced || change.starts_with(name);
        if (!replaced)
            environment.push_back(text);
    }
    environment.insert(environment.end(), changes.begin(), changes.end());
    return environment;
}

std::vector<char *> Pointers(std::vector<std::string> &texts) {
    std::vector<char *> pointers;
    for (std::string &text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

int ExitCode(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

ChildProcess::ChildProcess(const std::string &program, const std::vector<std::string> &args,
                           const ChildOptions &options) {
    std::vector<std::string> argTexts{program};
    argTexts.insert(argTexts.end(), args.begin(), args.end());
    std::vector<std::string> envTexts = Environment(options.env);
    const std::vector<char *> argv = Pointers(argTexts);
    const std::vector<char *> envp = Pointers(envTexts);

    int in[2] = {-1, -1};
    int out[2];
    int err[2];
    if ((options.input && pipe2(in, O_CLOEXEC) != 0) || pipe2(out, O_CLOEXEC) != 0 ||
        pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (options.input)
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    if (!options.cwd.empty())
        posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());
    // Nothing of the test's own (ptys, sockets) stays open in the program, unless it asks.
    if (!options.inheritDescriptors)
        posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);

    // The test may block signals (a program taking them through a signalfd does) or ignore
    // them; the program starts with none blocked and every one at its default.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                              POSIX_SPAWN_SETPGROUP);

    const int failed =
        posix_spawnp(&pid_, program.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    for (int fd : {in[0], out[1], err[1]}) {
        if (fd >= 0)
            close(fd);
    }
    inFd_ = in[1];
    if (failed != 0) {
        pid_ = -1;
        close(out[0]);
        close(err[0]);
        result_.exitCode = 127;
        result_.err = "cannot start " + program + ": " + std::strerror(failed) + "\n";
        outputEnded_ = true;
        return;
    }
    reader_ = std::thread([this, outFd = out[0], errFd = err[0]] { ReadOutput(outFd, errFd); });
}

ChildProcess::~ChildProcess() {
    Kill();
    stopReading_ = true;
    if (reader_.joinable())
        reader_.join();
    if (inFd_ >= 0)
        close(inFd_);
}

void ChildProcess::ReadOutput(int outFd, int errFd) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    char buffer[4096];
    // A short poll so that the destructor is heard even when a grandchild holds the pipes.
    while ((fds[0].fd >= 0 || fds[1].fd >= 0) && !stopReading_) {
        if (poll(fds, 2, 50) <= 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
                continue;
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            std::lock_guard lock(mutex_);
            if (n > 0) {
                (i == 0 ? result_.out : result_.err).append(buffer, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1; // poll skips it from now on
            }
            changed_.notify_all();
        }
    }
    for (const pollfd &p : fds) {
        if (p.fd >= 0)
            close(p.fd);
    }
    std::lock_guard lock(mutex_);
    outputEnded_ = true;
    changed_.notify_all();
}

bool ChildProcess::WaitFor(const std::string &text, bool onStderr, int timeoutMs, size_t from) {
    std::unique_lock lock(mutex_);
    const std::string &seen = onStderr ? result_.err : result_.out;
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [&] { return seen.find(text, from) != std::string::npos || outputEnded_; });
    return seen.find(text, from) != std::string::npos;
}

bool ChildProcess::WaitForOutput(const std::string &text, int timeoutMs) {
    return WaitFor(text, false, timeoutMs);
}

bool ChildProcess::WaitForError(const std::string &text, int timeoutMs) {
    return WaitFor(text, true, timeoutMs);
}

bool ChildProcess::WaitForErrorFrom(size_t from, const std::string &text, int timeoutMs) {
    return WaitFor(text, true, timeoutMs, from);
}

size_t ChildProcess::errorSize() const {
    std::lock_guard lock(mutex_);
    return result_.err.size();
}

std::optional<std::string> ChildProcess::ReadLine(int timeoutMs) {
    std::unique_lock lock(mutex_);
    const auto lineEnd = [this] { return result_.out.find('\n', lineStart_); };
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [&] { return lineEnd() != std::string::npos || outputEnded_; });
    const size_t end = lineEnd();
    if (end == std::string::npos)
        return std::nullopt;
    std::string line = result_.out.substr(lineStart_, end - lineStart_);
    lineStart_ = end + 1;
    return line;
}

bool ChildProcess::WriteInput(const std::string &text) const {
    size_t done = 0;
    while (inFd_ >= 0 && done < text.size()) {
        const ssize_t n = write(inFd_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return done == text.size();
}

void ChildProcess::Signal(int signal) const {
    if (pid_ > 0)
        kill(pid_, signal);
}

void ChildProcess::Kill() {
    if (pid_ <= 0)
        return;
    kill(-pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    std::lock_guard lock(mutex_);
    result_.exitCode = ExitCode(status);
}

ChildResult ChildProcess::Finish(int timeoutMs) {
    if (pid_ <= 0)
        return sofar();
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    {
        std::unique_lock lock(mutex_);
        changed_.wait_until(lock, deadline, [this] { return outputEnded_; });
    }
    // Seen to exit without being collected yet, so that what it left in its group goes too.
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const bool exited = info.si_pid == pid_;
    Kill();
    stopReading_ = true;
    if (reader_.joinable())
        reader_.join();
    std::lock_guard lock(mutex_);
    if (!exited)
        result_.exitCode = -1;
    return result_;
}

ChildResult ChildProcess::sofar() const {
    std::lock_guard lock(mutex_);
    return result_;
}

ChildResult RunChild(const std::string &program, const std::vector<std::string> &args,
                     int timeoutMs, const ChildOptions &options) {
    ChildProcess child(program, args, options);
    return child.Finish(timeoutMs);
}

} // namespace vpisd::test
