// vpisd-cli as a child process with bounded waits: output collected from pipes, killed if it
// outlives its deadline.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace vpisd::cli::test {

struct CliResult {
    int exitCode = -1; // -1 when it had to be killed
    std::string out;
    std::string err;
};

class CliProcess {
  public:
    // Starts the tool with `args`; `cwd` and `tmpdir` (TMPDIR) when not empty.
    explicit CliProcess(const std::vector<std::string> &args, const std::string &cwd = "",
                        const std::string &tmpdir = "");
    ~CliProcess();
    CliProcess(const CliProcess &) = delete;
    CliProcess &operator=(const CliProcess &) = delete;

    // Collects output until stdout contains `text` or the time is up; true when it was seen.
    bool WaitForOutput(const std::string &text, int timeoutMs);
    void Signal(int signal) const;
    // Collects the rest of the output and the exit status; kills the child at the deadline.
    CliResult Finish(int timeoutMs);

  private:
    void Pump(int timeoutMs);

    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    CliResult result_;
};

// Runs the tool to its end (at most `timeoutMs`).
CliResult RunCli(const std::vector<std::string> &args, int timeoutMs = 60000,
                 const std::string &cwd = "", const std::string &tmpdir = "");

} // namespace vpisd::cli::test
