// The line workers of the served configuration, one per line, each with the poller of its
// groups when a face publishes them; and the workers a reload stopped, kept until they have
// finished their transaction in progress. Changed by the owner's main thread alone.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "gateway/config_check.h"
#include "gateway/lines/line_worker.h"
#include "gateway/poll/line_poller.h"
#include "gateway/reload_plan.h"

namespace vpisd::gateway {

class LineWorkers {
  public:
    LineWorkers(const host::DriverLibrary &library, const DriverInfo &info)
        : library_(library), info_(info) {}

    // The workers and pollers of `checked`'s lines, none started yet.
    void Make(const CheckedConfig &checked);
    void StartWorkers();
    // Once the front ends listen: the first round of each group reaches them all as it settles.
    void StartPollers();
    // What a reload changes, swapped in by Swap and carried out by Launch.
    struct Swapped {
        std::vector<std::unique_ptr<LineWorker>> retired;
        std::vector<LineWorker *> fresh;
        // The pollers the new lines do not keep, stopped by Launch; to be kept until every
        // front end has taken the new lines.
        std::vector<std::unique_ptr<LinePoller>> replaced;
    };
    // A reload, under the lock of whoever reads the workers meanwhile: kept workers take the
    // new per-PLC policies, `next`'s new lines get new workers (not started), the others leave.
    Swapped Swap(const ReloadPlan &plan, const Config &running, const CheckedConfig &next);
    // Then, the lock released: the workers that left finish their transaction in progress on
    // their own thread; the new ones start from `next`'s checked init files, written into
    // `workDir`, and open their ports once every retiring one has closed its own.
    void Launch(Swapped &swapped, const ReloadPlan &plan, const CheckedConfig &next,
                const std::string &workDir);
    // The retiring workers that have finished, joined and no longer listed; destroyed by the
    // caller once nothing looks at them.
    std::vector<std::unique_ptr<LineWorker>> TakeFinished();

    // The end: every worker is told to stop, then waited for, then the pollers stop.
    void BeginStop();
    void JoinAndStopPollers();

    // workers()[i] serves the served configuration's lines[i].
    const std::vector<std::unique_ptr<LineWorker>> &workers() const { return workers_; }
    std::vector<LineWorker *> Workers() const;
    std::vector<LinePoller *> Pollers() const;
    // The serving and the retiring workers: what the watchdog looks at.
    std::vector<LineWorker *> Watched() const;

  private:
    // The poller of `config->lines[line]`'s groups, when a face publishes them; null when none.
    static std::unique_ptr<LinePoller> MakePoller(const std::shared_ptr<const Config> &config,
                                                  size_t line, LineWorker &worker);

    const host::DriverLibrary &library_;
    const DriverInfo info_;
    std::vector<std::unique_ptr<LineWorker>> workers_;
    std::vector<std::unique_ptr<LineWorker>> retiring_;
    // pollers_[i] reads the groups of workers_[i]'s line for every face that publishes them.
    std::vector<std::unique_ptr<LinePoller>> pollers_;
};

} // namespace vpisd::gateway
