#include "gateway/watchdog.h"

#include <set>
#include <string>

#include "gateway/log.h"
#include "gateway/service_notify.h"

namespace vpisd::gateway {

void Watchdog::Start() {
    thread_ = std::thread([this] { Run(); });
}

void Watchdog::Stop() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        wake_.notify_all();
    }
    if (thread_.joinable())
        thread_.join();
}

void Watchdog::Watch(std::vector<LineWorker *> workers) {
    std::lock_guard lock(mutex_);
    watched_ = std::move(workers);
}

void Watchdog::Run() {
    uint64_t watchdogUs = 0;
    Clock::duration tick = tick_;
    if (sd_watchdog_enabled(0, &watchdogUs) > 0)
        tick = std::min(tick, std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::microseconds(watchdogUs / 3)));
    std::set<std::string> stuck;
    bool mainStuck = false;
    std::unique_lock lock(mutex_);
    while (!stop_) {
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
            now - Clock::time_point(Clock::duration(mainBeat_.load())) < longestMainStep_;
        if (!mainAlive && !mainStuck)
            Log(Level::Error, "",
                "the main loop has not come round for " +
                    std::to_string(
                        std::chrono::duration_cast<std::chrono::seconds>(longestMainStep_)
                            .count()) +
                    " s; the watchdog is no longer kicked");
        mainStuck = !mainAlive;
        if (alive && mainAlive)
            Notify("WATCHDOG=1");
        wake_.wait_for(lock, tick, [this] { return stop_; });
    }
}

} // namespace vpisd::gateway
