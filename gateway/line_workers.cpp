#include "gateway/line_workers.h"

#include <algorithm>
#include <future>

#include "gateway/log.h"

namespace vpisd::gateway {
namespace {

// A face that publishes the poll groups' values: MQTT or Sparkplug B.
bool PollsPublished(const Config &config) {
    return config.mqtt || config.sparkplug;
}

} // namespace

std::unique_ptr<LinePoller> LineWorkers::MakePoller(const std::shared_ptr<const Config> &config,
                                                    size_t line, LineWorker &worker) {
    // Every line of a publishing face has its poller, also one with no groups: the faces' writes
    // go through it.
    if (!PollsPublished(*config))
        return nullptr;
    return std::make_unique<LinePoller>(config, line, worker);
}

void LineWorkers::Make(const CheckedConfig &checked) {
    for (size_t i = 0; i < checked.config->lines.size(); ++i) {
        workers_.push_back(std::make_unique<LineWorker>(library_, info_, checked.config->lines[i],
                                                        checked.initBytes[i]));
        pollers_.push_back(MakePoller(checked.config, i, *workers_.back()));
    }
}

void LineWorkers::StartWorkers() {
    for (auto &worker : workers_)
        worker->Start();
}

void LineWorkers::StartPollers() {
    for (auto &poller : pollers_) {
        if (poller)
            poller->Start();
    }
}

LineWorkers::Swapped LineWorkers::Swap(const ReloadPlan &plan, const Config &running,
                                       const CheckedConfig &next) {
    const std::vector<std::optional<size_t>> &from = plan.keptFrom;
    const Config &config = *next.config;
    Swapped swapped;
    std::vector<std::unique_ptr<LineWorker>> old = std::move(workers_);
    std::vector<std::unique_ptr<LinePoller>> oldPollers = std::move(pollers_);
    workers_.clear();
    pollers_.clear();
    for (size_t i = 0; i < config.lines.size(); ++i) {
        // A kept worker keeps its poller while a face publishes the same groups of it: no group
        // is read twice or out of rhythm across the reload.
        if (from[i] && oldPollers[*from[i]] && PollsPublished(config) &&
            SameLinePolls(running, *from[i], config, i))
            pollers_.push_back(std::move(oldPollers[*from[i]]));
        else
            pollers_.push_back(nullptr);
        if (from[i]) {
            workers_.push_back(std::move(old[*from[i]]));
            workers_.back()->SetPolicies(config.lines[i].plcs);
        } else {
            workers_.push_back(
                std::make_unique<LineWorker>(library_, info_, config.lines[i], next.initBytes[i]));
            swapped.fresh.push_back(workers_.back().get());
        }
        if (!pollers_.back())
            pollers_.back() = MakePoller(next.config, i, *workers_.back());
    }
    for (auto &worker : old) {
        if (worker)
            swapped.retired.push_back(std::move(worker));
    }
    for (auto &poller : oldPollers) {
        if (poller)
            swapped.replaced.push_back(std::move(poller));
    }
    return swapped;
}

void LineWorkers::Launch(Swapped &swapped, const ReloadPlan &plan, const CheckedConfig &next,
                         const std::string &workDir) {
    // A replaced poller reads no more; the faces still listening to it leave it as they take
    // the new lines.
    for (auto &poller : swapped.replaced)
        poller->Stop();
    for (auto &worker : swapped.retired) {
        worker->BeginStop();
        retiring_.push_back(std::move(worker));
    }
    std::vector<std::shared_future<void>> before;
    for (const auto &worker : retiring_)
        before.push_back(worker->Closed());
    // The new lines' init files as they were checked, under their VPI numbers.
    for (size_t i = 0; i < next.config->lines.size(); ++i) {
        std::string error;
        if (!plan.keptFrom[i] && !WriteInitFile(workDir, next, i, error))
            Log(Level::Error, next.config->lines[i].name, error);
    }
    for (LineWorker *worker : swapped.fresh)
        worker->Start(before);
}

std::vector<std::unique_ptr<LineWorker>> LineWorkers::TakeFinished() {
    const auto done = std::partition(retiring_.begin(), retiring_.end(),
                                     [](const auto &worker) { return !worker->finished(); });
    std::vector<std::unique_ptr<LineWorker>> finished;
    for (auto it = done; it != retiring_.end(); ++it) {
        (*it)->Join(); // finished: at once
        finished.push_back(std::move(*it));
    }
    retiring_.erase(done, retiring_.end());
    return finished;
}

void LineWorkers::BeginStop() {
    for (auto &worker : workers_)
        worker->BeginStop();
}

void LineWorkers::JoinAndStopPollers() {
    for (auto &worker : workers_)
        worker->Join();
    for (auto &worker : retiring_)
        worker->Join();
    for (auto &poller : pollers_) {
        if (poller)
            poller->Stop();
    }
}

std::vector<LineWorker *> LineWorkers::Workers() const {
    std::vector<LineWorker *> out;
    for (const auto &worker : workers_)
        out.push_back(worker.get());
    return out;
}

std::vector<LinePoller *> LineWorkers::Pollers() const {
    std::vector<LinePoller *> out;
    for (const auto &poller : pollers_)
        out.push_back(poller.get());
    return out;
}

std::vector<LineWorker *> LineWorkers::Watched() const {
    std::vector<LineWorker *> watched = Workers();
    for (const auto &worker : retiring_)
        watched.push_back(worker.get());
    return watched;
}

} // namespace vpisd::gateway
