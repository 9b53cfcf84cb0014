// A program of the test as a child process: started in its own process group with no signal
// blocked or ignored, stdin from /dev/null (or a pipe), stdout and stderr read by a thread of
// its own so that a chatty program never blocks, every wait bounded, and the whole group
// killed when the object goes.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vpisd::test {

struct ChildOptions {
    std::string cwd;                 // working directory; empty: the test's own
    std::vector<std::string> env;    // "NAME=value", set or replaced in the test's environment
    bool input = false;              // stdin is a pipe fed by WriteInput (otherwise /dev/null)
    bool inheritDescriptors = false; // the test's descriptors from 3 up stay open in the program
};

struct ChildResult {
    int exitCode = -1; // 128 + signal when a signal ended it; -1 when it had to be killed
    std::string out;
    std::string err;
};

class ChildProcess {
  public:
    // `program` is looked up on PATH when it has no slash. A program that cannot be started
    // ends at once with 127 and the reason on its stderr, as a shell would report it.
    ChildProcess(const std::string &program, const std::vector<std::string> &args,
                 const ChildOptions &options = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // True once stdout (or stderr) holds `text`; false when the time is up or the output ended.
    bool WaitForOutput(const std::string &text, int timeoutMs);
    bool WaitForError(const std::string &text, int timeoutMs);
    // The same for what stderr holds from byte `from` on (e.g. its size before a signal).
    bool WaitForErrorFrom(size_t from, const std::string &text, int timeoutMs);
    size_t errorSize() const;
    // The next stdout line not yet taken, without its line end; nothing within timeoutMs.
    std::optional<std::string> ReadLine(int timeoutMs);
    // False when the text could not all be written (no input pipe, or the program closed it).
    bool WriteInput(const std::string &text) const;

    void Signal(int signal) const;
    // SIGKILL to the process group, then the exit status is collected.
    void Kill();
    // The rest of the output and the exit status; the group is killed at the deadline.
    ChildResult Finish(int timeoutMs);
    // What it has written so far (and its exit status once finished).
    ChildResult sofar() const;
    pid_t pid() const { return pid_; }

  private:
    bool WaitFor(const std::string &text, bool onStderr, int timeoutMs, size_t from = 0);
    void ReadOutput(int outFd, int errFd);

    pid_t pid_ = -1;
    int inFd_ = -1;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    ChildResult result_;
    size_t lineStart_ = 0; // where ReadLine takes the next line from
    bool outputEnded_ = false;
    std::atomic<bool> stopReading_{false};
    std::thread reader_;
};

// Runs a program to its end (killed after timeoutMs) and returns its status and output.
ChildResult RunChild(const std::string &program, const std::vector<std::string> &args,
                     int timeoutMs = 30000, const ChildOptions &options = {});

} // namespace vpisd::test
