// vpisd-cli as a child process of the test (see support/child_process.h).
#pragma once

#include <string>
#include <vector>

#include "support/child_process.h"

namespace vpisd::cli::test {

using CliResult = vpisd::test::ChildResult;

class CliProcess : public vpisd::test::ChildProcess {
  public:
    // Starts the tool with `args`; `cwd` and `tmpdir` (TMPDIR) when not empty.
    explicit CliProcess(const std::vector<std::string> &args, const std::string &cwd = "",
                        const std::string &tmpdir = "");
};

// Runs the tool to its end (at most `timeoutMs`).
CliResult RunCli(const std::vector<std::string> &args, int timeoutMs = 60000,
                 const std::string &cwd = "", const std::string &tmpdir = "");

} // namespace vpisd::cli::test
