#include "gateway/gateway.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "gateway/config/config.h"
#include "gateway/descriptor_limit.h"
#include "gateway/http/http_server.h"
#include "gateway/lines/line_worker.h"
#include "gateway/lines/plc_name_check.h"
#include "gateway/log.h"
#include "gateway/modbus/modbus_front_end.h"
#include "gateway/modbus/statistics.h"
#include "gateway/mqtt/mqtt_front_end.h"
#include "gateway/poll/line_poller.h"
#include "gateway/reload_plan.h"
#include "gateway/sparkplug/sparkplug_front_end.h"
#include "gateway/status_source.h"
#include "host/driver_library.h"
#include "host/endpoint.h"
#include "host/file_text.h"
#include "host/port_check.h"
#include "host/port_name.h"
#include "host/session.h"
#include "host/work_dir.h"

namespace vpisd::gateway {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int32_t kLargestSensibleContext = 1 << 20;
constexpr auto kTick = std::chrono::milliseconds(1000); // status and watchdog, at the most
constexpr auto kFirstOpenWait = std::chrono::seconds(15);
// Longer than anything the main loop does in one go (a reload, a front end's stop: each bounded
// by a few seconds): beyond it the loop is stuck and the watchdog is no longer kicked.
constexpr auto kLongestMainStep = std::chrono::seconds(60);

std::string AbsolutePath(const std::string &path) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(path, ec);
    return ec ? path : absolute.lexically_normal().string();
}

// A configuration without [[line]] (the file as the package installs it) is served as nothing
// at all: the log says so and where to add one.
void LogNoLine(const std::string &configPath) {
    Log(Level::Notice, "",
        "no [[line]] configured: nothing is served; add a [[line]] and its [[unit]]s to " +
            AbsolutePath(configPath) + ", then reload");
}

void ReportProblems(const std::vector<std::string> &problems) {
    for (const std::string &problem : problems)
        std::fprintf(stderr, "%s\n", problem.c_str());
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

// To systemd, when NOTIFY_SOCKET names one; nothing otherwise.
void Notify(const std::string &state) {
    sd_notify(0, state.c_str());
}

// Each line's init file as it is now, to tell what a reload changes.
std::vector<std::string> InitTexts(const Config &config) {
    std::vector<std::string> texts;
    for (const LineConfig &line : config.lines)
        texts.push_back(line.init.empty() ? "" : host::ReadWholeFile(line.init).value_or(""));
    return texts;
}

std::vector<std::pair<int32_t, std::string>> InitsOf(const Config &config) {
    std::vector<std::pair<int32_t, std::string>> inits;
    std::set<int32_t> seen;
    for (const LineConfig &line : config.lines) {
        std::error_code ec;
        if (!line.init.empty() && fs::is_regular_file(line.init, ec) &&
            seen.insert(line.vpi).second)
            inits.emplace_back(line.vpi, line.init);
    }
    return inits;
}

// The init files of `config` in `dir`, which becomes the current directory (the driver reads
// each VPI's init file from there), then each line's PLC names against the routes they give.
void PrepareAndCheckNames(host::WorkDir &dir, const Config &config,
                          const host::DriverLibrary &library, const DriverInfo &info,
                          std::vector<std::string> &problems) {
    std::string error;
    if (!dir.PrepareMany(InitsOf(config), "vpisd-gateway", error))
        problems.push_back(error);
    else
        CheckPlcNames(config, library, info, problems);
}

// Each line's init file loaded by the driver, and the PLC names against the routes it gave, in
// a directory that only the checking thread sees: a line that starts its VPI meanwhile (the
// lines run while a reload is checked) still reads the init file it was started with, from
// the process's own directory.
void CheckInitFiles(const Config &config, const host::DriverLibrary &library,
                    const DriverInfo &info, std::vector<std::string> &problems) {
    std::string error;
    const bool ran = host::RunInOwnDirectory(
        [&] {
            host::WorkDir checkDir;
            PrepareAndCheckNames(checkDir, config, library, info, problems);
        },
        error);
    if (!ran)
        problems.push_back(error);
}

// The one check of a configuration file, for --check and for every reload alike: the file's
// own problems, then its init files and PLC names through the driver (also when the file has
// problems of its own, so that one pass names them all). nullopt when the file cannot be read
// or parsed.
std::optional<Config> CheckConfigFile(const std::string &path, const host::DriverLibrary &library,
                                      const DriverInfo &info, std::vector<std::string> &problems) {
    std::optional<Config> config = ReadConfig(path, problems);
    if (config)
        CheckInitFiles(*config, library, info, problems);
    return config;
}

// The process once it runs: the workers, the front ends, the signals, the reloads.
class Owner {
  public:
    Owner(const GatewayOptions &options, const host::DriverLibrary &library, const DriverInfo &info,
          host::WorkDir &workDir, std::shared_ptr<const Config> config)
        : options_(options), library_(library), info_(info), workDir_(workDir),
          config_(std::move(config)), initTexts_(InitTexts(*config_)), statistics_(config_),
          endedFd_(eventfd(0, EFD_CLOEXEC)) {}
    ~Owner() { StopWatchdog(); }
    Owner(const Owner &) = delete;
    Owner &operator=(const Owner &) = delete;
    int Run(int signalFd);

  private:
    void Serve(int signalFd);
    ServedLines Served() const { return {config_, Workers(), Pollers()}; }
    std::unique_ptr<ModbusFrontEnd> MakeModbus();
    std::unique_ptr<MqttFrontEnd> MakeMqtt() const;
    std::unique_ptr<SparkplugFrontEnd> MakeSparkplug() const;
    std::unique_ptr<HttpServer> MakeHttp();
    template <typename T>
    bool StartFrontEnd(std::unique_ptr<T> &slot, std::unique_ptr<T> made, std::string &error);
    template <typename T>
    void BeforeWorkers(std::unique_ptr<T> &frontEnd, FrontEndChange change, const ReloadPlan &plan,
                       const std::shared_ptr<const Config> &next);
    // `replaced`: the pollers the new lines do not keep, stopped; kept until every front end has
    // taken the new lines.
    void ChangeWorkers(const ReloadPlan &plan, const std::shared_ptr<const Config> &next,
                       std::vector<std::unique_ptr<LinePoller>> &replaced);
    // The error of a front end the plan keeps or starts that cannot start, in `down`; reset
    // when it runs or is not configured.
    template <typename T, typename Make>
    void AfterWorkers(std::unique_ptr<T> &frontEnd, FrontEndChange change, Make make,
                      std::optional<std::string> &down);
    void StartPollers();
    void WaitFirstOpen(const std::vector<LineWorker *> &workers) const;
    void Reload();
    void StopEverything();
    GatewayStatus Status() const;
    std::vector<std::string> CheckReload(std::optional<Config> &next);
    void Tick();
    void Watch();
    void StartWatchdog();
    void StopWatchdog();
    void UpdateWatched();
    void Beat() { mainBeat_ = Clock::now().time_since_epoch().count(); }
    std::string StatusLine() const;
    void ReportStatistics() const;
    std::vector<LineWorker *> Workers() const;
    std::vector<LinePoller *> Pollers() const;
    // The poller of `config.lines[line]`'s groups, when a face publishes them; null when none.
    std::unique_ptr<LinePoller> MakePoller(const std::shared_ptr<const Config> &config, size_t line,
                                           LineWorker &worker) const;

    const GatewayOptions &options_;
    const host::DriverLibrary &library_;
    const DriverInfo info_;
    host::WorkDir &workDir_;
    std::shared_ptr<const Config> config_;
    std::vector<std::string> initTexts_; // of config_'s lines, as their workers loaded them
    // Held while workers_, config_ or a front end change, and while the HTTP server's thread
    // takes the status snapshot from them.
    mutable std::mutex workersMutex_;
    std::vector<std::unique_ptr<LineWorker>> workers_; // workers_[i] serves config_->lines[i]
    // Lines a reload stopped, finishing their transaction in progress: kept until they have.
    std::vector<std::unique_ptr<LineWorker>> retiring_;
    // pollers_[i] reads the groups of config_->lines[i] for every face that publishes them.
    std::vector<std::unique_ptr<LinePoller>> pollers_;
    Statistics statistics_;
    FileDescriptor endedFd_; // the Modbus front end ended on its own
    // The front ends, each driven through FrontEnd alike; null when not configured.
    std::unique_ptr<ModbusFrontEnd> modbus_;
    std::unique_ptr<MqttFrontEnd> mqtt_;
    std::unique_ptr<SparkplugFrontEnd> sparkplug_;
    std::optional<uint8_t> lastBdSeq_; // of a Sparkplug side a reload replaced
    std::unique_ptr<HttpServer> http_;
    bool modbusServed_ = false; // a Modbus front end ran: its statistics are reported
    // Why a configured front end is not running: it could not start at the latest reload (the
    // next one tries again). Under workersMutex_: status.json shows such a face as not connected.
    std::optional<std::string> modbusDown_, mqttDown_, sparkplugDown_, httpDown_;
    const Clock::time_point started_ = Clock::now();
    std::string status_; // the STATUS= last sent
    // The watchdog's own thread: it kicks while every worker and the main loop make progress,
    // whatever a line, a client or a broker holds up.
    std::thread watchdog_;
    std::mutex watchMutex_; // guards watched_ and watchStop_; held while a worker is looked at
    std::condition_variable watchWake_;
    std::vector<LineWorker *> watched_; // workers_ and retiring_
    bool watchStop_ = false;
    std::atomic<Clock::rep> mainBeat_{Clock::now().time_since_epoch().count()};
};

std::vector<LineWorker *> Owner::Workers() const {
    std::vector<LineWorker *> out;
    for (const auto &worker : workers_)
        out.push_back(worker.get());
    return out;
}

std::vector<LinePoller *> Owner::Pollers() const {
    std::vector<LinePoller *> out;
    for (const auto &poller : pollers_)
        out.push_back(poller.get());
    return out;
}

// A face that publishes the poll groups' values: MQTT or Sparkplug B.
bool PollsPublished(const Config &config) {
    return config.mqtt || config.sparkplug;
}

std::unique_ptr<LinePoller> Owner::MakePoller(const std::shared_ptr<const Config> &config,
                                              size_t line, LineWorker &worker) const {
    const bool polled = std::any_of(config->polls.begin(), config->polls.end(),
                                    [line](const PollConfig &poll) { return poll.line == line; });
    if (!PollsPublished(*config) || !polled)
        return nullptr;
    return std::make_unique<LinePoller>(config, line, worker);
}

// Each front end's counters, then how each line spent its time.
void Owner::ReportStatistics() const {
    if (modbusServed_)
        statistics_.Report();
    if (mqtt_)
        mqtt_->statistics().Report();
    if (sparkplug_)
        sparkplug_->Report();
    for (const auto &worker : workers_)
        Log(Level::Notice, worker->name(),
            "statistics: line time: " + worker->counters().Describe());
}

std::unique_ptr<ModbusFrontEnd> Owner::MakeModbus() {
    modbusServed_ = true;
    return std::make_unique<ModbusFrontEnd>(statistics_, [this] {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = write(endedFd_.get(), &one, sizeof one);
    });
}

std::unique_ptr<MqttFrontEnd> Owner::MakeMqtt() const {
    return std::make_unique<MqttFrontEnd>(*config_->mqtt);
}

// The next edge node session goes on from the bdSeq of the one a reload replaced.
std::unique_ptr<SparkplugFrontEnd> Owner::MakeSparkplug() const {
    return std::make_unique<SparkplugFrontEnd>(lastBdSeq_);
}

// The HTTP server of [http]; it reads the gateway's state only through Status().
std::unique_ptr<HttpServer> Owner::MakeHttp() {
    return std::make_unique<HttpServer>(*config_->http, [this] { return Status(); });
}

// Starts `made` on the lines of config_ into `slot`; a front end that fails to start is stopped
// and dropped.
template <typename T>
bool Owner::StartFrontEnd(std::unique_ptr<T> &slot, std::unique_ptr<T> made, std::string &error) {
    if (!made->Start(Served(), error)) {
        made->Stop();
        return false;
    }
    std::lock_guard lock(workersMutex_);
    slot = std::move(made);
    return true;
}

// A reload, before the workers change: a front end the plan keeps is told what comes; one it
// stops or restarts stops now, while its lines are still there to answer it, and gives back its
// sockets and descriptors before a new one starts.
template <typename T>
void Owner::BeforeWorkers(std::unique_ptr<T> &frontEnd, FrontEndChange change,
                          const ReloadPlan &plan, const std::shared_ptr<const Config> &next) {
    if (!frontEnd)
        return;
    if (change == FrontEndChange::Apply) {
        frontEnd->Prepare(plan, next);
        return;
    }
    frontEnd->Stop();
    // Destroyed here, outside the lock that the HTTP server's status snapshot takes. No worker
    // answers into it any more: every face's jobs complete into queues they share with the job.
    std::unique_ptr<FrontEnd> stopped;
    {
        std::lock_guard lock(workersMutex_);
        stopped = std::move(frontEnd);
    }
}

// The same reload, the new workers started: a kept front end takes the new lines, a new one
// starts on them.
template <typename T, typename Make>
void Owner::AfterWorkers(std::unique_ptr<T> &frontEnd, FrontEndChange change, Make make,
                         std::optional<std::string> &down) {
    std::optional<std::string> error;
    if (frontEnd) {
        frontEnd->Apply(Served());
    } else if (change != FrontEndChange::None && change != FrontEndChange::Stop) {
        std::string why;
        if (!StartFrontEnd(frontEnd, make(), why))
            error = why;
    }
    std::lock_guard lock(workersMutex_);
    down = std::move(error);
}

GatewayStatus Owner::Status() const {
    std::lock_guard lock(workersMutex_);
    const StatusSources sources{
        config_.get(),   &workers_,   modbus_ ? &modbus_->server() : nullptr,
        &statistics_,    mqtt_.get(), started_,
        sparkplug_.get()};
    GatewayStatus status = CollectStatus(sources);
    status.config = AbsolutePath(options_.configPath);
    if (config_->mqtt && !mqtt_ && mqttDown_) {
        MqttSnapshot &mqtt = status.mqtt.emplace();
        mqtt.broker = host::EndpointText(config_->mqtt->host, config_->mqtt->port);
        for (const LineConfig &line : config_->lines)
            mqtt.lines.push_back({line.name, false, 0, mqttDown_, {}});
    }
    if (config_->sparkplug && !sparkplug_ && sparkplugDown_)
        status.sparkplug = SparkplugSnapshot{
            host::EndpointText(config_->sparkplug->host, config_->sparkplug->port),
            false,
            std::nullopt,
            sparkplugDown_,
            {}};
    return status;
}

// Readiness waits for each line's first try at its device, not for the device.
void Owner::WaitFirstOpen(const std::vector<LineWorker *> &workers) const {
    const auto until = Clock::now() + kFirstOpenWait;
    for (LineWorker *worker : workers) {
        while (!worker->started() && Clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// "2 lines up, 1 down, 3 Modbus clients": systemd's status line, and the readiness log line.
std::string Owner::StatusLine() const {
    if (workers_.empty())
        return "no [[line]] configured: edit " + AbsolutePath(options_.configPath);
    size_t up = 0;
    for (const auto &worker : workers_)
        up += worker->up() ? 1U : 0U;
    std::string status = std::to_string(up) + (up == 1 ? " line up, " : " lines up, ") +
                         std::to_string(workers_.size() - up) + " down";
    if (modbus_)
        status += ", " + std::to_string(modbus_->server().clientCount()) + " Modbus clients";
    return status;
}

// The status line, and the lines a reload stopped once they have finished.
void Owner::Tick() {
    Beat();
    const auto done = std::partition(retiring_.begin(), retiring_.end(),
                                     [](const auto &worker) { return !worker->finished(); });
    if (done != retiring_.end()) {
        for (auto it = done; it != retiring_.end(); ++it)
            (*it)->Join(); // finished: at once
        std::vector<std::unique_ptr<LineWorker>> finished;
        std::move(done, retiring_.end(), std::back_inserter(finished));
        retiring_.erase(done, retiring_.end());
        UpdateWatched();
    }
    if (http_)
        http_->Tick();
    const std::string status = StatusLine();
    if (status != status_) {
        status_ = status;
        Notify("STATUS=" + status);
    }
}

// The workers the watchdog looks at: the serving ones and the retiring ones. A worker leaves
// this list before it is destroyed.
void Owner::UpdateWatched() {
    std::vector<LineWorker *> watched = Workers();
    for (const auto &worker : retiring_)
        watched.push_back(worker.get());
    std::lock_guard lock(watchMutex_);
    watched_ = std::move(watched);
}

// The watchdog's loop: WATCHDOG=1 while every worker and the main loop make progress; a stuck
// one is logged once.
void Owner::Watch() {
    uint64_t watchdogUs = 0;
    auto tick = std::chrono::duration_cast<Clock::duration>(kTick);
    if (sd_watchdog_enabled(0, &watchdogUs) > 0)
        tick = std::min(tick, std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::microseconds(watchdogUs / 3)));
    std::set<std::string> stuck;
    bool mainStuck = false;
    std::unique_lock lock(watchMutex_);
    while (!watchStop_) {
        const auto now = Clock::now();
        bool alive = true;
        for (const LineWorker *worker : watched_) {
            if (worker->Alive(now)) {
                stuck.erase(worker->name());
                continue;
            }
            alive = false;
            if (stuck.insert(worker->name()).second)
                Log(Level::Error, worker->name(),
                    "the worker is stuck in one call longer than a transaction can take (" +
                        std::to_string(worker->LongestStep().count() / 1000) +
                        " s); the watchdog is no longer kicked");
        }
        const bool mainAlive =
            now - Clock::time_point(Clock::duration(mainBeat_.load())) < kLongestMainStep;
        if (!mainAlive && !mainStuck)
            Log(Level::Error, "",
                "the main loop has not come round for " +
                    std::to_string(
                        std::chrono::duration_cast<std::chrono::seconds>(kLongestMainStep)
                            .count()) +
                    " s; the watchdog is no longer kicked");
        mainStuck = !mainAlive;
        if (alive && mainAlive)
            Notify("WATCHDOG=1");
        watchWake_.wait_for(lock, tick, [this] { return watchStop_; });
    }
}

void Owner::StartWatchdog() {
    UpdateWatched();
    watchdog_ = std::thread([this] { Watch(); });
}

void Owner::StopWatchdog() {
    {
        std::lock_guard lock(watchMutex_);
        watchStop_ = true;
        watchWake_.notify_all();
    }
    if (watchdog_.joinable())
        watchdog_.join();
}

std::vector<std::string> Owner::CheckReload(std::optional<Config> &next) {
    std::vector<std::string> problems;
    next = CheckConfigFile(options_.configPath, library_, info_, problems);
    return problems;
}

// The workers as the plan says: kept ones take the new per-PLC policies, stopped ones finish
// their transaction in progress on their own thread, new ones start (and open their ports once
// every retiring one has closed its own). config_ changes with them.
void Owner::ChangeWorkers(const ReloadPlan &plan, const std::shared_ptr<const Config> &next,
                          std::vector<std::unique_ptr<LinePoller>> &replaced) {
    const std::vector<std::optional<size_t>> &from = plan.keptFrom;
    std::vector<std::unique_ptr<LineWorker>> retired;
    std::vector<LineWorker *> fresh;
    {
        std::lock_guard lock(workersMutex_);
        std::vector<std::unique_ptr<LineWorker>> old = std::move(workers_);
        std::vector<std::unique_ptr<LinePoller>> oldPollers = std::move(pollers_);
        workers_.clear();
        pollers_.clear();
        for (size_t i = 0; i < next->lines.size(); ++i) {
            // A kept worker keeps its poller while a face publishes the same groups of it: no
            // group is read twice or out of rhythm across the reload.
            if (from[i] && oldPollers[*from[i]] && PollsPublished(*next) &&
                SameLinePolls(*config_, *from[i], *next, i))
                pollers_.push_back(std::move(oldPollers[*from[i]]));
            else
                pollers_.push_back(nullptr);
            if (from[i]) {
                workers_.push_back(std::move(old[*from[i]]));
                workers_.back()->SetPolicies(next->lines[i].plcs);
            } else {
                workers_.push_back(std::make_unique<LineWorker>(library_, info_, next->lines[i]));
                fresh.push_back(workers_.back().get());
            }
            if (!pollers_.back())
                pollers_.back() = MakePoller(next, i, *workers_.back());
        }
        for (auto &worker : old) {
            if (worker)
                retired.push_back(std::move(worker));
        }
        for (auto &poller : oldPollers) {
            if (poller)
                replaced.push_back(std::move(poller));
        }
        config_ = next; // with the workers, so that workers_[i] serves config_->lines[i]
    }
    // A replaced poller reads no more; the faces still listening to it leave it as they take
    // the new lines.
    for (auto &poller : replaced)
        poller->Stop();
    std::vector<std::shared_future<void>> before;
    for (auto &worker : retired) {
        worker->BeginStop();
        retiring_.push_back(std::move(worker));
    }
    for (const auto &worker : retiring_)
        before.push_back(worker->Closed());
    UpdateWatched();
    // The new lines' init files, under their VPI numbers, where the driver looks for them.
    for (size_t i = 0; i < next->lines.size(); ++i) {
        if (from[i])
            continue;
        const LineConfig &line = next->lines[i];
        const fs::path target = fs::path(workDir_.path()) / host::InitFileName(line.vpi);
        std::error_code ec;
        if (line.init.empty())
            fs::remove(target, ec);
        else if (!fs::copy_file(line.init, target, fs::copy_options::overwrite_existing, ec))
            Log(Level::Error, line.name, "cannot copy " + line.init + ": " + ec.message());
    }
    for (LineWorker *worker : fresh)
        worker->Start(before);
}

// Once the front ends listen: the first round of each group reaches them all as it settles.
void Owner::StartPollers() {
    for (auto &poller : pollers_) {
        if (poller)
            poller->Start();
    }
}

// SIGHUP: the new configuration is applied only when it has no problem, as one plan: the
// lines whose tables and init files are unchanged keep running, the others stop or start, and
// each front end is kept (it takes the new lines and units), started, stopped or restarted.
void Owner::Reload() {
    const auto monotonic = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    Notify("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(monotonic.count()));
    std::optional<Config> loaded;
    const std::vector<std::string> problems = CheckReload(loaded);
    if (!problems.empty()) {
        for (const std::string &problem : problems)
            Log(Level::Error, "", problem);
        Log(Level::Error, "",
            "not reloaded " + options_.configPath + ": " + std::to_string(problems.size()) +
                (problems.size() == 1 ? " problem" : " problems") + "; nothing changed");
        Notify("READY=1");
        return;
    }
    auto next = std::make_shared<const Config>(std::move(*loaded));
    std::vector<std::string> initTexts = InitTexts(*next);
    const ReloadPlan plan = PlanReload(*config_, initTexts_, *next, initTexts);
    CheckDescriptorLimit(*next);
    BeforeWorkers(http_, plan.http, plan, next);
    BeforeWorkers(mqtt_, plan.mqtt, plan, next);
    if (sparkplug_ && plan.sparkplug != FrontEndChange::Apply) {
        if (const std::optional<uint8_t> bdSeq = sparkplug_->bdSeq())
            lastBdSeq_ = bdSeq;
    }
    BeforeWorkers(sparkplug_, plan.sparkplug, plan, next);
    BeforeWorkers(modbus_, plan.modbus, plan, next);
    if (plan.modbus == FrontEndChange::Stop)
        Log(Level::Notice, "", "no [[unit]]: Modbus TCP is no longer served");
    std::vector<std::unique_ptr<LinePoller>> replaced;
    ChangeWorkers(plan, next, replaced);
    statistics_.Apply(next);
    AfterWorkers(
        modbus_, plan.modbus, [this] { return MakeModbus(); }, modbusDown_);
    AfterWorkers(
        mqtt_, plan.mqtt, [this] { return MakeMqtt(); }, mqttDown_);
    AfterWorkers(
        sparkplug_, plan.sparkplug, [this] { return MakeSparkplug(); }, sparkplugDown_);
    AfterWorkers(
        http_, plan.http, [this] { return MakeHttp(); }, httpDown_);
    replaced.clear(); // no face listens to them any more
    StartPollers();
    initTexts_ = std::move(initTexts);
    // A face the file asks for that did not start makes the reload an error, and says so.
    std::string down;
    for (const auto &[face, error] :
         {std::pair{"Modbus TCP", &modbusDown_}, std::pair{"MQTT", &mqttDown_},
          std::pair{"Sparkplug B", &sparkplugDown_}, std::pair{"HTTP", &httpDown_}}) {
        if (*error)
            down += std::string("; ") + face + " is down: " + **error;
    }
    Log(down.empty() ? Level::Notice : Level::Error, "",
        "reloaded " + options_.configPath + ": " + plan.Describe() + ", " +
            std::to_string(next->units.size()) + " units" + down);
    if (next->lines.empty())
        LogNoLine(options_.configPath);
    Notify("READY=1");
    status_.clear(); // sent again with the new state
    Tick();
}

// Waits for a signal to stop, or for the Modbus front end to end on its own.
void Owner::Serve(int signalFd) {
    const auto tick = kTick;
    auto nextTick = Clock::now();
    while (true) {
        Beat();
        if (Clock::now() >= nextTick) {
            Tick();
            nextTick = Clock::now() + tick;
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
            Beat();
            continue;
        }
        Log(Level::Notice, "",
            std::string("stopping on ") + strsignal(static_cast<int>(info.ssi_signo)) +
                ": finishing the transactions in progress");
        return;
    }
}

// Every part stops, the HTTP server first. The workers are told to stop and finish the
// transaction in progress while the Modbus front end sends what they still answer; once they
// are gone the pollers stop, then MQTT publishes the result of every write they answered and
// Sparkplug its NDEATH, each before its broker connection goes.
void Owner::StopEverything() {
    if (http_)
        http_->Stop();
    for (auto &worker : workers_)
        worker->BeginStop();
    if (modbus_)
        modbus_->Stop();
    for (auto &worker : workers_)
        worker->Join();
    for (auto &worker : retiring_)
        worker->Join();
    for (auto &poller : pollers_) {
        if (poller)
            poller->Stop();
    }
    if (mqtt_)
        mqtt_->Stop();
    if (sparkplug_)
        sparkplug_->Stop();
}

int Owner::Run(int signalFd) {
    if (endedFd_.get() < 0) {
        Log(Level::Error, "", "cannot take signals");
        return kExitFailure;
    }
    for (size_t i = 0; i < config_->lines.size(); ++i) {
        workers_.push_back(std::make_unique<LineWorker>(library_, info_, config_->lines[i]));
        pollers_.push_back(MakePoller(config_, i, *workers_.back()));
    }
    std::string error;
    if (!config_->units.empty() && !StartFrontEnd(modbus_, MakeModbus(), error)) {
        Log(Level::Error, "", error);
        return kExitFailure;
    }
    Log(Level::Info, "",
        "driver " + library_.path() + "; " + std::to_string(workers_.size()) + " lines, " +
            std::to_string(config_->units.size()) + " units");
    if (workers_.empty())
        LogNoLine(options_.configPath);
    else if (!modbus_)
        Log(Level::Notice, "", "no [[unit]]: Modbus TCP is not served, no port opened");
    for (auto &worker : workers_)
        worker->Start();
    StartWatchdog();
    if ((config_->mqtt && !StartFrontEnd(mqtt_, MakeMqtt(), error)) ||
        (config_->sparkplug && !StartFrontEnd(sparkplug_, MakeSparkplug(), error)) ||
        (config_->http && !StartFrontEnd(http_, MakeHttp(), error))) {
        Log(Level::Error, "", error);
        Notify("STOPPING=1");
        StopEverything();
        return kExitFailure;
    }
    StartPollers();
    WaitFirstOpen(Workers());
    Log(Level::Info, "", "ready: " + StatusLine());
    Notify("READY=1");

    Serve(signalFd);

    Notify("STOPPING=1");
    StopEverything();
    ReportStatistics();
    Log(Level::Notice, "", "stopped; every VPI closed");
    return kExitOk;
}

// --check: every problem of the file, its init files and its PLC names in one pass; a device
// that is not there (yet) is only a warning.
int RunCheck(const GatewayOptions &options, const host::DriverLibrary &library,
             const DriverInfo &info, std::vector<std::string> &problems) {
    const std::optional<Config> config =
        CheckConfigFile(options.configPath, library, info, problems);
    if (!config) {
        ReportProblems(problems);
        return kExitConfig;
    }
    std::vector<std::string> warnings;
    for (size_t i = 0; i < config->lines.size(); ++i) {
        const LineConfig &line = config->lines[i];
        if (line.port.empty() || host::IsTcpPort(line.port))
            continue;
        const std::string device = host::DevicePath(line.port);
        struct stat status {};
        if (device != "NUL" && stat(device.c_str(), &status) != 0)
            warnings.push_back("warning: " + config->path + ":" + std::to_string(line.fileLine) +
                               ": line[" + std::to_string(i + 1) +
                               "].port: " + host::PortProblem(device));
    }
    ReportProblems(warnings);
    if (!problems.empty()) {
        ReportProblems(problems);
        return kExitConfig;
    }
    std::printf("%s: %s, good%s%s\n", options.configPath.c_str(), Summary(*config).c_str(),
                config->lines.empty() ? "; no [[line]]: the gateway serves nothing" : "",
                warnings.empty() ? ""
                                 : (" (" + std::to_string(warnings.size()) +
                                    (warnings.size() == 1 ? " warning)" : " warnings)"))
                                       .c_str());
    return kExitOk;
}

} // namespace

int RunGateway(const GatewayOptions &given) {
    // The process works in a directory of its own: a reload finds the file (and the files it
    // names relative to it) by the absolute path it had at start.
    GatewayOptions options = given;
    if (!options.check)
        options.configPath = AbsolutePath(given.configPath);
    std::vector<std::string> problems;
    std::optional<Config> config;
    if (!options.check) {
        config = LoadConfig(options.configPath, problems);
        if (!config) {
            ReportProblems(problems);
            return kExitConfig;
        }
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
    if (options.check)
        return RunCheck(options, library, info, problems);

    // From here a signal waits for the main thread, so that the working directory is removed.
    const FileDescriptor signalFd(BlockSignals());
    host::WorkDir workDir;
    PrepareAndCheckNames(workDir, *config, library, info, problems);
    if (!problems.empty()) {
        ReportProblems(problems);
        return kExitConfig;
    }
    if (signalFd.get() < 0) {
        Log(Level::Error, "", "cannot take signals");
        return kExitFailure;
    }
    CheckDescriptorLimit(*config);
    Owner owner(options, library, info, workDir,
                std::make_shared<const Config>(std::move(*config)));
    return owner.Run(signalFd.get());
}

} // namespace vpisd::gateway
