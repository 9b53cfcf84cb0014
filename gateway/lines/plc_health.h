// What each PLC of a line has been doing lately, fed by every transaction the line's worker runs
// with it: answering, silent, demoted, or unknown. A PLC that stays silent is demoted: for a
// while every request for it is answered at once without traffic, so that it stops costing its
// line whole transactions; when the hold ends the next transaction is a probe, and the requests
// that come while it is on the line are still answered at once. Thread-safe: the
// worker notes outcomes, the scheduler asks about demotion under the queue's lock, the status
// endpoint and the MQTT side take snapshots.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "gateway/config/config.h"
#include "gateway/status.h"

namespace vpisd::gateway {

class PlcHealth {
  public:
    using Clock = std::chrono::steady_clock;

    PlcHealth(std::string line, DemotionPolicy policy);

    // The PLCs of the line's init file (name, has a backup route), listed before any
    // transaction; a PLC first met in a transaction is added then.
    void List(const std::vector<std::pair<std::string, bool>> &plcs);
    // True while `plc` is demoted and its hold runs, or its probe is on the line: answer it at
    // once, without the line.
    bool Demoted(const std::string &plc, Clock::time_point now) const;
    // A job for `plc` was taken for the line: true when it is the probe after a hold. Called
    // under the queue's lock, so that no request slips past Demoted between pick and probe.
    bool Picked(const std::string &plc, Clock::time_point now);
    // The job picked for `plc` is done, whatever became of it (a line down puts no traffic
    // on the line): its probe, if it was one and got no outcome, is over.
    void Served(const std::string &plc);
    // A transaction with `plc` was answered (a refusal is an answer).
    void Answered(const std::string &plc, Clock::time_point now);
    // A transaction with `plc` got no answer; `onBackup`: it went by the PLC's backup route.
    // `what` says what failed ("no_answer" for a read, a write's words).
    void Unanswered(const std::string &plc, bool onBackup, const std::string &what,
                    Clock::time_point now);
    // The line's device is gone: nothing is known of its PLCs until they are asked again.
    void LineDown();
    // Every PLC, in the order listed (then first met).
    std::vector<PlcHealthSnapshot> Snapshot() const;
    // Goes up at every change of a PLC's state, so that a watcher can poll it cheaply.
    uint64_t changes() const { return changes_; }
    // When the line's worker started: since then a PLC not yet listed has been unknown.
    WallClock::time_point born() const { return born_; }

  private:
    struct Entry {
        std::string plc;
        bool hasBackup = false;
        PlcState state = PlcState::Unknown;
        WallClock::time_point since = WallClock::now();
        std::optional<WallClock::time_point> lastSuccess;
        std::optional<std::string> lastError;
        WallClock::time_point lastErrorAt{};
        uint64_t demotions = 0;
        int misses = 0;           // transactions in a row without an answer
        uint8_t missedRoutes = 0; // bit 0 normal, bit 1 backup, since the last answer or hold
        bool probing = false;     // demoted, and a transaction with it is on the line
        WallClock::time_point silentSince{}; // the first of those misses
        std::chrono::seconds hold{};         // the hold in force, or the last one
        Clock::time_point holdEnds{};
    };

    Entry &Find(const std::string &plc); // adds an unlisted PLC
    void Enter(Entry &entry, PlcState state);

    const std::string line_;
    const DemotionPolicy policy_;
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    std::atomic<uint64_t> changes_{0};
    const WallClock::time_point born_ = WallClock::now();
};

} // namespace vpisd::gateway
