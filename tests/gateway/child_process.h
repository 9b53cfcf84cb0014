// A program of the test as a child process with bounded waits: output collected from pipes,
// killed if it outlives its deadline or the test.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace vpisd::gateway::test {

struct ChildResult {
    int exitCode = -1; // -1 when it had to be killed
    std::string out;
    std::string err;
};

class ChildProcess {
  public:
    ChildProcess(const std::string &program, const std::vector<std::string> &args);
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // Collects output until stdout (or stderr) contains `text` or the time is up.
    bool WaitForOutput(const std::string &text, int timeoutMs);
    bool WaitForError(const std::string &text, int timeoutMs);
    void Signal(int signal) const;
    // Collects the rest of the output and the exit status; kills the child at the deadline.
    ChildResult Finish(int timeoutMs);
    const ChildResult &sofar() const { return result_; }
    pid_t pid() const { return pid_; }

  private:
    bool WaitFor(const std::string &text, bool onStderr, int timeoutMs);
    void Pump(int timeoutMs);

    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    ChildResult result_;
};

ChildResult RunChild(const std::string &program, const std::vector<std::string> &args,
                     int timeoutMs = 30000);

} // namespace vpisd::gateway::test
