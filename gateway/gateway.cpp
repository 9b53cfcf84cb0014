#include "gateway/gateway.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "gateway/config/config.h"
#include "gateway/http/http_server.h"
#include "gateway/lines/line_worker.h"
#include "gateway/lines/plc_name_check.h"
#include "gateway/log.h"
#include "gateway/modbus/modbus_server.h"
#include "gateway/modbus/statistics.h"
#include "gateway/mqtt/mqtt_front_end.h"
#include "gateway/status_source.h"
#include "host/driver_library.h"
#include "host/session.h"
#include "host/work_dir.h"

namespace vpisd::gateway {
namespace {

constexpr int32_t kLargestSensibleContext = 1 << 20;

void ReportProblems(const std::vector<std::string> &problems) {
    for (const std::string &problem : problems)
        std::fprintf(stderr, "%s\n", problem.c_str());
}

// The signals are read from a signalfd by the main thread; blocked before any thread starts,
// so that every thread inherits the mask and none of them is interrupted.
int BlockSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGTERM, SIGINT, SIGUSR1})
        sigaddset(&set, signal);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return signalfd(-1, &set, SFD_CLOEXEC);
}

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0)
            close(fd_);
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

// Each front end's counters, then how each line spent its time.
void ReportStatistics(const Statistics *modbus, const MqttFrontEnd *mqtt,
                      const std::vector<std::unique_ptr<LineWorker>> &workers) {
    if (modbus != nullptr)
        modbus->Report();
    if (mqtt != nullptr)
        mqtt->statistics().Report();
    for (const auto &worker : workers)
        Log(Level::Notice, worker->name(),
            "statistics: line time: " + worker->counters().Describe());
}

// The front ends started, the workers running: waits for a signal to stop, or for the Modbus
// front end to end on its own (`endedFd`). Reports the statistics on SIGUSR1.
void ServeUntilStopped(int signalFd, int endedFd, const Statistics *modbus,
                       const MqttFrontEnd *mqtt,
                       const std::vector<std::unique_ptr<LineWorker>> &workers) {
    const auto report = [&] { ReportStatistics(modbus, mqtt, workers); };
    while (true) {
        pollfd fds[] = {{signalFd, POLLIN, 0}, {endedFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            Log(Level::Error, "",
                std::string("stopping on a failed poll: ") + std::strerror(errno));
            return;
        }
        if ((fds[1].revents & POLLIN) != 0)
            return;
        signalfd_siginfo info{};
        if ((fds[0].revents & POLLIN) == 0 || read(signalFd, &info, sizeof info) != sizeof info)
            continue;
        if (info.ssi_signo == SIGUSR1) {
            report();
            continue;
        }
        Log(Level::Notice, "",
            std::string("stopping on ") + strsignal(static_cast<int>(info.ssi_signo)) +
                ": finishing the transactions in progress");
        return;
    }
}

} // namespace

int RunGateway(const GatewayOptions &options) {
    std::vector<std::string> problems;
    const std::optional<Config> config = LoadConfig(options.configPath, problems);
    if (!config) {
        ReportProblems(problems);
        return kExitConfig;
    }

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

    // From here a signal waits for the main thread, so that the working directory is removed.
    const FileDescriptor signalFd(BlockSignals());
    // The driver reads each VPI's init file from the current directory at start.
    std::vector<std::pair<int32_t, std::string>> inits;
    for (const LineConfig &line : config->lines)
        inits.emplace_back(line.vpi, line.init);
    host::WorkDir workDir;
    if (!workDir.PrepareMany(inits, "vpisd-gateway", error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return kExitConfig;
    }
    CheckPlcNames(*config, library, info, problems);
    if (!problems.empty()) {
        ReportProblems(problems);
        return kExitConfig;
    }
    if (options.check) {
        std::printf("%s: %zu lines, %zu units, good\n", options.configPath.c_str(),
                    config->lines.size(), config->units.size());
        return kExitOk;
    }

    const FileDescriptor endedFd(eventfd(0, EFD_CLOEXEC));
    if (signalFd.get() < 0 || endedFd.get() < 0) {
        Log(Level::Error, "", "cannot take signals");
        return kExitFailure;
    }
    std::vector<std::unique_ptr<LineWorker>> workers;
    for (const LineConfig &line : config->lines)
        workers.push_back(std::make_unique<LineWorker>(library, info, line));
    Statistics statistics(*config);
    std::unique_ptr<ModbusServer> modbus;
    if (!config->units.empty()) {
        modbus = std::make_unique<ModbusServer>(*config, workers, statistics);
        if (!modbus->Listen(error)) {
            Log(Level::Error, "", error);
            return kExitFailure;
        }
    }
    std::unique_ptr<MqttFrontEnd> mqtt;
    if (config->mqtt)
        mqtt = std::make_unique<MqttFrontEnd>(*config, workers);
    std::unique_ptr<HttpServer> http;
    if (config->http) {
        const StatusSources sources{&*config,    &workers,   modbus.get(),
                                    &statistics, mqtt.get(), std::chrono::steady_clock::now()};
        http = std::make_unique<HttpServer>(*config->http,
                                            [sources] { return CollectStatus(sources); });
        if (!http->Listen(error)) {
            Log(Level::Error, "", error);
            return kExitFailure;
        }
    }
    Log(Level::Info, "",
        "driver " + library.path() + "; " + std::to_string(workers.size()) + " lines, " +
            std::to_string(config->units.size()) + " units");
    if (!modbus)
        Log(Level::Notice, "", "no [[unit]]: Modbus TCP is not served, no port opened");
    for (auto &worker : workers)
        worker->Start();
    if (mqtt && !mqtt->Start(error)) {
        Log(Level::Error, "", error);
        for (auto &worker : workers)
            worker->BeginStop();
        for (auto &worker : workers)
            worker->Join();
        return kExitFailure;
    }
    std::thread modbusThread;
    if (modbus) {
        modbusThread = std::thread([&] {
            modbus->Run();
            const uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = write(endedFd.get(), &one, sizeof one);
        });
    }

    if (http)
        http->Start();
    ServeUntilStopped(signalFd.get(), endedFd.get(), modbus ? &statistics : nullptr, mqtt.get(),
                      workers);

    if (http)
        http->Stop();
    // The Modbus front end keeps sending what the workers answer until they have finished.
    if (modbus)
        modbus->Stop();
    for (auto &worker : workers)
        worker->BeginStop();
    if (modbusThread.joinable())
        modbusThread.join();
    for (auto &worker : workers)
        worker->Join();
    if (mqtt)
        mqtt->Stop();
    ReportStatistics(modbus ? &statistics : nullptr, mqtt.get(), workers);
    Log(Level::Notice, "", "stopped; every VPI closed");
    return kExitOk;
}

} // namespace vpisd::gateway
