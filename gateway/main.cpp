// vpisd-gateway: the PLCs behind SY/MAX serial lines served as Modbus TCP. It loads
// libvpisd.so and drives one VPI per line through VpiMain, each on its own worker thread.
#include <CLI/CLI.hpp>

#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <vector>

#include "gateway/config/config.h"
#include "gateway/lines/line_worker.h"
#include "gateway/log.h"
#include "gateway/modbus/modbus_server.h"
#include "gateway/mqtt/mqtt_side.h"
#include "gateway/lines/route_check.h"
#include "gateway/modbus/statistics.h"
#include "host/driver_library.h"
#include "host/session.h"
#include "host/work_dir.h"

namespace {

using namespace vpisd::gateway;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1; // cannot listen, cannot set up
constexpr int kExitConfig = 2;  // the configuration (or the driver it needs) is wrong
constexpr int32_t kLargestSensibleContext = 1 << 20;

void ReportProblems(const std::vector<std::string> &problems) {
    for (const std::string &problem : problems)
        std::fprintf(stderr, "%s\n", problem.c_str());
}

// Signals are taken from a signalfd by the event loop; blocked here, before any thread
// starts, so that every thread inherits the mask.
int BlockSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGTERM, SIGINT, SIGUSR1})
        sigaddset(&set, signal);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return signalfd(-1, &set, SFD_CLOEXEC);
}

} // namespace

int main(int argc, char **argv) {
    CLI::App app{"vpisd-gateway: SY/MAX PLCs on serial lines served as Modbus TCP ([gateway], "
                 "[[line]], [[unit]]) and on MQTT ([mqtt], [[poll]]); the tables of the --config "
                 "file are in man 8 vpisd-gateway"};
    std::string configPath;
    std::string libraryPath;
    bool check = false;
    bool verbose = false;
    app.add_option("-c,--config", configPath, "configuration file (TOML)")->required();
    app.add_flag("--check", check,
                 "check the configuration, the init files and the unit map, then exit "
                 "(0 good, 2 with one line per problem); opens no port or socket");
    app.add_option("--lib", libraryPath, "path of libvpisd.so (default: next to this program)");
    app.add_flag("-v,--verbose", verbose,
                 "debug messages too, the driver's protocol traces included");
    app.set_version_flag("--version", std::string("vpisd-gateway ") + VPISD_VERSION);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        const int code = app.exit(e);
        return code == 0 ? kExitOk : kExitConfig;
    }
    SetLogLevel(verbose ? Level::Debug : Level::Info);

    std::vector<std::string> problems;
    const std::optional<Config> config = LoadConfig(configPath, problems);
    if (!config) {
        ReportProblems(problems);
        return kExitConfig;
    }

    vpisd::host::DriverLibrary library;
    std::string error;
    if (!library.Load(vpisd::host::LibraryCandidates(libraryPath), error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return kExitConfig;
    }
    RouteDriverMessages();
    const DriverInfo info = vpisd::host::VpiSession(library).Describe();
    if (info.contextSize <= 0 || info.contextSize > kLargestSensibleContext) {
        std::fprintf(stderr, "%s: describe reports an instance size of %d bytes\n",
                     library.path().c_str(), info.contextSize);
        return kExitConfig;
    }

    // From here a signal waits for the event loop, so that the working directory is removed.
    const int signalFd = BlockSignals();
    // The driver reads each VPI's init file from the current directory at start.
    std::vector<std::pair<int32_t, std::string>> inits;
    for (const LineConfig &line : config->lines)
        inits.emplace_back(line.vpi, line.init);
    vpisd::host::WorkDir workDir;
    if (!workDir.PrepareMany(inits, "vpisd-gateway", error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return kExitConfig;
    }
    CheckRoutes(*config, library, info, problems);
    CheckPolls(*config, library, info, problems);
    if (!problems.empty()) {
        ReportProblems(problems);
        return kExitConfig;
    }
    if (check) {
        std::printf("%s: %zu lines, %zu units, good\n", configPath.c_str(), config->lines.size(),
                    config->units.size());
        return kExitOk;
    }

    Statistics statistics(*config);
    std::vector<std::unique_ptr<LineWorker>> workers;
    for (const LineConfig &line : config->lines)
        workers.push_back(std::make_unique<LineWorker>(library, info, line));
    ModbusServer server(*config, workers, statistics);
    MqttSide mqtt(*config, workers, statistics);
    if (signalFd < 0 || !server.Listen(error)) {
        Log(Level::Error, "", signalFd < 0 ? "cannot take signals" : error);
        return kExitFailure;
    }
    Log(Level::Info, "",
        "driver " + library.path() + "; " + std::to_string(workers.size()) + " lines, " +
            std::to_string(config->units.size()) + " units");
    for (auto &worker : workers)
        worker->Start();
    if (!mqtt.Start(error)) {
        Log(Level::Error, "", error);
        for (auto &worker : workers)
            worker->BeginStop();
        return kExitFailure;
    }
    server.Run(signalFd);
    mqtt.Stop();
    for (auto &worker : workers)
        worker->Join();
    statistics.Report();
    Log(Level::Notice, "", "stopped; every VPI closed");
    close(signalFd);
    return kExitOk;
}
