#include "cli_process.h"

namespace vpisd::cli::test {
namespace {

vpisd::test::ChildOptions Options(const std::string &cwd, const std::string &tmpdir) {
    vpisd::test::ChildOptions options;
    options.cwd = cwd;
    if (!tmpdir.empty())
        options.env.push_back("TMPDIR=" + tmpdir);
    return options;
}

} // namespace

CliProcess::CliProcess(const std::vector<std::string> &args, const std::string &cwd,
                       const std::string &tmpdir)
    : ChildProcess(VPISD_CLI_PATH, args, Options(cwd, tmpdir)) {}

CliResult RunCli(const std::vector<std::string> &args, int timeoutMs, const std::string &cwd,
                 const std::string &tmpdir) {
    return vpisd::test::RunChild(VPISD_CLI_PATH, args, timeoutMs, Options(cwd, tmpdir));
}

} // namespace vpisd::cli::test
