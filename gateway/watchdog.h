// The watchdog's own thread: it kicks systemd's watchdog while every watched worker and the
// main loop make progress, whatever a line, a client or a broker holds up; a stuck one is
// logged once.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "gateway/lines/line_worker.h"

namespace vpisd::gateway {

class Watchdog {
  public:
    using Clock = std::chrono::steady_clock;
    // `tick`: the longest pause between two looks (systemd's interval may ask for less).
    // `longestMainStep`: longer than anything the main loop does in one go; beyond it the loop
    // is stuck.
    Watchdog(Clock::duration tick, Clock::duration longestMainStep)
        : tick_(tick), longestMainStep_(longestMainStep) {}
    ~Watchdog() { Stop(); }
    Watchdog(const Watchdog &) = delete;
    Watchdog &operator=(const Watchdog &) = delete;

    void Start();
    void Stop();
    // The workers looked at from now on; a worker leaves this list before it is destroyed.
    void Watch(std::vector<LineWorker *> workers);
    // The main loop came round.
    void Beat() { mainBeat_ = Clock::now().time_since_epoch().count(); }

  private:
    void Run();

    const Clock::duration tick_;
    const Clock::duration longestMainStep_;
    std::thread thread_;
    std::mutex mutex_; // guards watched_ and stop_; held while a worker is looked at
    std::condition_variable wake_;
    std::vector<LineWorker *> watched_;
    bool stop_ = false;
    std::atomic<Clock::rep> mainBeat_{Clock::now().time_since_epoch().count()};
};

} // namespace vpisd::gateway
