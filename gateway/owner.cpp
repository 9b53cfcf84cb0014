#include "gateway/owner.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <thread>

#include "gateway/descriptor_limit.h"
#include "gateway/http/http_server.h"
#include "gateway/log.h"
#include "gateway/modbus/modbus_front_end.h"
#include "gateway/mqtt/mqtt_front_end.h"
#include "gateway/service_notify.h"
#include "gateway/sparkplug/sparkplug_front_end.h"
#include "gateway/status_source.h"
#include "host/endpoint.h"

namespace vpisd::gateway {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kTick = std::chrono::milliseconds(1000); // status and watchdog, at the most
constexpr auto kFirstOpenWait = std::chrono::seconds(15);
// Longer than anything the main loop does in one go (a reload, a front end's stop: each bounded
// by a few seconds): beyond it the loop is stuck and the watchdog is no longer kicked.
constexpr auto kLongestMainStep = std::chrono::seconds(60);

// What the owner knows of each kind of front end, in FaceKind's order.
struct FaceTraits {
    const char *name;
    FrontEndChange ReloadPlan::*change;
    // Publishes what the workers answer: stopped at the end only once they have finished.
    bool publishes;
};
constexpr FaceTraits kFaces[] = {
    {"Modbus TCP", &ReloadPlan::modbus, false},
    {"MQTT", &ReloadPlan::mqtt, true},
    {"Sparkplug B", &ReloadPlan::sparkplug, true},
    {"HTTP", &ReloadPlan::http, false},
};

const FaceTraits &TraitsOf(FaceKind kind) {
    return kFaces[static_cast<size_t>(kind)];
}

bool Configured(FaceKind kind, const Config &config) {
    switch (kind) {
    case FaceKind::Modbus:
        return !config.units.empty();
    case FaceKind::Mqtt:
        return config.mqtt.has_value();
    case FaceKind::Sparkplug:
        return config.sparkplug.has_value();
    case FaceKind::Http:
        return config.http.has_value();
    }
    return false;
}

// A configuration without [[line]] (the file as the package installs it) is served as nothing
// at all: the log says so and where to add one.
void LogNoLine(const std::string &configPath) {
    Log(Level::Notice, "",
        "no [[line]] configured: nothing is served; add a [[line]] and its [[unit]]s to " +
            configPath + ", then reload");
}

} // namespace

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0)
        close(fd_);
}

Owner::Owner(const GatewayOptions &options, const host::DriverLibrary &library,
             const DriverInfo &info, const host::WorkDir &workDir, CheckedConfig checked)
    : options_(options), library_(library), info_(info), workDir_(workDir),
      checked_(std::move(checked)), lines_(library, info), statistics_(checked_.config),
      endedFd_(eventfd(0, EFD_CLOEXEC)), watchdog_(kTick, kLongestMainStep) {
    for (auto kind : {FaceKind::Modbus, FaceKind::Mqtt, FaceKind::Sparkplug, FaceKind::Http})
        faces_.push_back({kind, nullptr, std::nullopt});
}

// Each front end's counters, then how each line spent its time.
void Owner::ReportStatistics() const {
    if (modbusServed_)
        statistics_.Report();
    if (const auto *mqtt = Running<MqttFrontEnd>(FaceKind::Mqtt))
        mqtt->statistics().Report();
    if (const auto *sparkplug = Running<SparkplugFrontEnd>(FaceKind::Sparkplug))
        sparkplug->Report();
    for (const auto &worker : lines_.workers())
        Log(Level::Notice, worker->name(),
            "statistics: line time: " + worker->counters().Describe());
}

std::unique_ptr<FrontEnd> Owner::Make(FaceKind kind) {
    const Config &config = *checked_.config;
    switch (kind) {
    case FaceKind::Modbus:
        modbusServed_ = true;
        return std::make_unique<ModbusFrontEnd>(statistics_, [this] {
            const uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = write(endedFd_.get(), &one, sizeof one);
        });
    case FaceKind::Mqtt:
        return std::make_unique<MqttFrontEnd>(*config.mqtt);
    case FaceKind::Sparkplug:
        return std::make_unique<SparkplugFrontEnd>();
    case FaceKind::Http:
        // It reads the gateway's state only through Status().
        return std::make_unique<HttpServer>(*config.http, [this] { return Status(); });
    }
    return nullptr;
}

bool Owner::StartFace(Face &face, std::string &error) {
    std::unique_ptr<FrontEnd> made = Make(face.kind);
    if (!made->Start(Served(), error)) {
        made->Stop();
        return false;
    }
    std::lock_guard lock(mutex_);
    face.running = std::move(made);
    return true;
}

// A reload, before the workers change: a front end the plan keeps is told what comes; one it
// stops or restarts stops now, while its lines are still there to answer it, and gives back its
// sockets and descriptors before a new one starts.
void Owner::BeforeWorkers(Face &face, const ReloadPlan &plan, const CheckedConfig &next) {
    if (!face.running)
        return;
    if (plan.*TraitsOf(face.kind).change == FrontEndChange::Apply) {
        face.running->Prepare(plan, next.config);
        return;
    }
    face.running->Stop();
    // Destroyed here, outside the lock that the HTTP server's status snapshot takes. No worker
    // answers into it any more: every face's jobs complete into queues they share with the job.
    std::unique_ptr<FrontEnd> stopped;
    std::lock_guard lock(mutex_);
    stopped = std::move(face.running);
}

// The same reload, the new workers started: a kept front end takes the new lines, a new one
// starts on them.
void Owner::AfterWorkers(Face &face, const ReloadPlan &plan) {
    const FrontEndChange change = plan.*TraitsOf(face.kind).change;
    std::optional<std::string> error;
    if (face.running) {
        face.running->Apply(Served());
    } else if (change != FrontEndChange::None && change != FrontEndChange::Stop) {
        std::string why;
        if (!StartFace(face, why))
            error = why;
    }
    std::lock_guard lock(mutex_);
    face.down = std::move(error);
}

GatewayStatus Owner::Status() const {
    std::lock_guard lock(mutex_);
    const Config &config = *checked_.config;
    const auto *modbus = Running<ModbusFrontEnd>(FaceKind::Modbus);
    const StatusSources sources{&config,
                                &lines_.workers(),
                                modbus ? &modbus->server() : nullptr,
                                &statistics_,
                                Running<MqttFrontEnd>(FaceKind::Mqtt),
                                started_,
                                Running<SparkplugFrontEnd>(FaceKind::Sparkplug)};
    GatewayStatus status = CollectStatus(sources);
    status.config = options_.configPath;
    const Face &mqtt = faces_[static_cast<size_t>(FaceKind::Mqtt)];
    if (config.mqtt && !mqtt.running && mqtt.down) {
        MqttSnapshot &snapshot = status.mqtt.emplace();
        snapshot.broker = host::EndpointText(config.mqtt->host, config.mqtt->port);
        for (const LineConfig &line : config.lines)
            snapshot.lines.push_back({line.name, false, 0, mqtt.down, {}});
    }
    const Face &sparkplug = faces_[static_cast<size_t>(FaceKind::Sparkplug)];
    if (config.sparkplug && !sparkplug.running && sparkplug.down)
        status.sparkplug =
            SparkplugSnapshot{host::EndpointText(config.sparkplug->host, config.sparkplug->port),
                              false,
                              std::nullopt,
                              sparkplug.down,
                              {}};
    return status;
}

// Readiness waits for each line's first try at its device, not for the device.
void Owner::WaitFirstOpen() const {
    const auto until = Clock::now() + kFirstOpenWait;
    for (LineWorker *worker : lines_.Workers()) {
        while (!worker->started() && Clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// "2 lines up, 1 down, 3 Modbus clients": systemd's status line, and the readiness log line.
std::string Owner::StatusLine() const {
    const auto &workers = lines_.workers();
    if (workers.empty())
        return "no [[line]] configured: edit " + options_.configPath;
    size_t up = 0;
    for (const auto &worker : workers)
        up += worker->up() ? 1U : 0U;
    std::string status = std::to_string(up) + (up == 1 ? " line up, " : " lines up, ") +
                         std::to_string(workers.size() - up) + " down";
    if (const auto *modbus = Running<ModbusFrontEnd>(FaceKind::Modbus))
        status += ", " + std::to_string(modbus->server().clientCount()) + " Modbus clients";
    return status;
}

// The status line, and the lines a reload stopped once they have finished.
void Owner::Tick() {
    watchdog_.Beat();
    std::vector<std::unique_ptr<LineWorker>> finished = lines_.TakeFinished();
    if (!finished.empty())
        watchdog_.Watch(lines_.Watched()); // before they go
    if (auto *http = Running<HttpServer>(FaceKind::Http))
        http->Tick();
    const std::string status = StatusLine();
    if (status != status_) {
        status_ = status;
        Notify("STATUS=" + status);
    }
}

// SIGHUP: the new configuration is applied only when it has no problem, as one plan: the
// lines whose tables and init files are unchanged keep running, the others stop or start, and
// each front end is kept (it takes the new lines and units), started, stopped or restarted.
void Owner::Reload() {
    const auto monotonic =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch());
    Notify("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(monotonic.count()));
    std::vector<std::string> problems;
    std::optional<CheckedConfig> next =
        CheckConfigFile(options_.configPath, library_, info_, problems);
    if (!next || !problems.empty()) {
        for (const std::string &problem : problems)
            Log(Level::Error, "", problem);
        Log(Level::Error, "",
            "not reloaded " + options_.configPath + ": " + std::to_string(problems.size()) +
                (problems.size() == 1 ? " problem" : " problems") + "; nothing changed");
        Notify("READY=1");
        return;
    }
    const ReloadPlan plan =
        PlanReload(*checked_.config, checked_.initBytes, *next->config, next->initBytes);
    CheckDescriptorLimit(*next->config);
    for (Face &face : faces_)
        BeforeWorkers(face, plan, *next);
    if (plan.modbus == FrontEndChange::Stop)
        Log(Level::Notice, "", "no [[unit]]: Modbus TCP is no longer served");
    LineWorkers::Swapped swapped;
    {
        std::lock_guard lock(mutex_);
        swapped = lines_.Swap(plan, *checked_.config, *next);
        checked_ = *next; // with the workers: workers()[i] serves lines[i]
    }
    lines_.Launch(swapped, plan, checked_, workDir_.path());
    watchdog_.Watch(lines_.Watched());
    statistics_.Apply(checked_.config);
    for (Face &face : faces_)
        AfterWorkers(face, plan);
    swapped.replaced.clear(); // no face listens to them any more
    lines_.StartPollers();
    // A face the file asks for that did not start makes the reload an error, and says so.
    std::string down;
    for (const Face &face : faces_) {
        if (face.down)
            down += std::string("; ") + TraitsOf(face.kind).name + " is down: " + *face.down;
    }
    const Config &config = *checked_.config;
    Log(down.empty() ? Level::Notice : Level::Error, "",
        "reloaded " + options_.configPath + ": " + plan.Describe() + ", " +
            std::to_string(config.units.size()) + " units" + down);
    if (config.lines.empty())
        LogNoLine(options_.configPath);
    Notify("READY=1");
    status_.clear(); // sent again with the new state
    Tick();
}

// Waits for a signal to stop, or for the Modbus front end to end on its own.
void Owner::Serve(int signalFd) {
    auto nextTick = Clock::now();
    while (true) {
        watchdog_.Beat();
        if (Clock::now() >= nextTick) {
            Tick();
            nextTick = Clock::now() + kTick;
        }
        const auto wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(nextTick - Clock::now());
        pollfd fds[] = {{signalFd, POLLIN, 0}, {endedFd_.get(), POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(std::max<int64_t>(wait.count(), 0) + 1)) < 0) {
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
            ReportStatistics();
            continue;
        }
        if (info.ssi_signo == SIGHUP) {
            Reload();
            watchdog_.Beat();
            continue;
        }
        Log(Level::Notice, "",
            std::string("stopping on ") + strsignal(static_cast<int>(info.ssi_signo)) +
                ": finishing the transactions in progress");
        return;
    }
}

// The workers are told to stop and finish the transaction in progress while the faces that
// answer on their clients' connections (Modbus, HTTP) stop, Modbus sending what they still
// answer. Once the workers are gone the pollers stop, then the publishing faces: MQTT publishes
// the result of every write they answered and Sparkplug its NDEATH, each before its broker
// connection goes.
void Owner::StopEverything() {
    lines_.BeginStop();
    for (Face &face : faces_) {
        if (face.running && !TraitsOf(face.kind).publishes)
            face.running->Stop();
    }
    lines_.JoinAndStopPollers();
    for (Face &face : faces_) {
        if (face.running && TraitsOf(face.kind).publishes)
            face.running->Stop();
    }
}

int Owner::Run(int signalFd) {
    if (endedFd_.get() < 0) {
        Log(Level::Error, "", "cannot take signals");
        return kExitFailure;
    }
    const Config &config = *checked_.config;
    lines_.Make(checked_);
    // Modbus first: a port that cannot be listened on ends the start before any line opens.
    Face &modbus = faces_[static_cast<size_t>(FaceKind::Modbus)];
    std::string error;
    if (Configured(FaceKind::Modbus, config) && !StartFace(modbus, error)) {
        Log(Level::Error, "", error);
        return kExitFailure;
    }
    Log(Level::Info, "",
        "driver " + library_.path() + "; " + std::to_string(config.lines.size()) + " lines, " +
            std::to_string(config.units.size()) + " units");
    if (config.lines.empty())
        LogNoLine(options_.configPath);
    else if (!modbus.running)
        Log(Level::Notice, "", "no [[unit]]: Modbus TCP is not served, no port opened");
    lines_.StartWorkers();
    watchdog_.Watch(lines_.Watched());
    watchdog_.Start();
    for (Face &face : faces_) {
        if (face.running || !Configured(face.kind, config) || StartFace(face, error))
            continue;
        Log(Level::Error, "", error);
        Notify("STOPPING=1");
        StopEverything();
        return kExitFailure;
    }
    lines_.StartPollers();
    WaitFirstOpen();
    Log(Level::Info, "", "ready: " + StatusLine());
    Notify("READY=1");

    Serve(signalFd);

    Notify("STOPPING=1");
    StopEverything();
    ReportStatistics();
    Log(Level::Notice, "", "stopped; every VPI closed");
    return kExitOk;
}

} // namespace vpisd::gateway
