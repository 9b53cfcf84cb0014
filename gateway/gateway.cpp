#include "gateway/gateway.h"

#include <sys/signalfd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <vector>

#include "gateway/config_check.h"
#include "gateway/descriptor_limit.h"
#include "gateway/driver_log.h"
#include "gateway/log.h"
#include "gateway/owner.h"
#include "host/driver_library.h"
#include "host/session.h"
#include "host/work_dir.h"

namespace vpisd::gateway {
namespace {

namespace fs = std::filesystem;

constexpr int32_t kLargestSensibleContext = 1 << 20;

std::string AbsolutePath(const std::string &path) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(path, ec);
    return ec ? path : absolute.lexically_normal().string();
}

// The signals are read from a signalfd by the main thread; blocked before any thread starts,
// so that every thread inherits the mask and none of them is interrupted.
int BlockSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGTERM, SIGINT, SIGUSR1, SIGHUP})
        sigaddset(&set, signal);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return signalfd(-1, &set, SFD_CLOEXEC);
}

} // namespace

int RunGateway(const GatewayOptions &given) {
    // The process works in a directory of its own: a reload finds the file (and the files it
    // names relative to it) by the absolute path it had at start.
    GatewayOptions options = given;
    if (!options.check)
        options.configPath = AbsolutePath(given.configPath);

    host::DriverLibrary library;
    std::string error;
    if (!library.Load(host::LibraryCandidates(options.libraryPath), error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return kExitConfig;
    }
    RouteDriverMessages();
    const DriverInfo info = host::VpiSession(library).Describe();
    if (info.contextSize <= 0 || info.contextSize > kLargestSensibleContext) {
        std::fprintf(stderr, "%s: describe reports an instance size of %d bytes\n",
                     library.path().c_str(), info.contextSize);
        return kExitConfig;
    }
    if (options.check)
        return ReportCheck(options.configPath, library, info);

    // From here a signal waits for the main thread, so that the working directories are removed.
    const FileDescriptor signalFd(BlockSignals());
    std::vector<std::string> problems;
    std::optional<CheckedConfig> checked =
        CheckConfigFile(options.configPath, library, info, problems);
    if (!checked || !problems.empty()) {
        ReportProblems(problems);
        return kExitConfig;
    }
    host::WorkDir workDir;
    if (!PrepareWorkDir(workDir, *checked, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return kExitConfig;
    }
    if (signalFd.get() < 0) {
        Log(Level::Error, "", "cannot take signals");
        return kExitFailure;
    }
    CheckDescriptorLimit(*checked->config);
    Owner owner(options, library, info, workDir, std::move(*checked));
    return owner.Run(signalFd.get());
}

} // namespace vpisd::gateway
