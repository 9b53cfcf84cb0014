// Counters per unit and per line of the Modbus front end: each request is counted once, when
// its answer goes out. The server thread records; the process owner reports from its own.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "gateway/config/config.h"
#include "gateway/status.h"

namespace vpisd::gateway {

enum class Outcome : uint8_t {
    Ok,
    Refused,    // driver result 1 (exception 04)
    NoAnswer,   // driver result 2 or the line down (0B)
    Busy,       // queue full or cancelled at stop (06)
    Restarting, // the line's worker was being replaced by a reload (06, counted busy)
    Rejected,   // answered before any traffic: 01, 02, 03, 0A
};

// The counts as the status endpoint shows them (medianMs is taken by Counts()), the latest
// latencies for the median, and the last failure.
struct Tally {
    RequestCounts counts;
    std::vector<uint32_t> latencyUs; // the latest answers, for the median
    size_t nextSample = 0;
    std::optional<Failure> lastFailure;

    void Add(Outcome outcome, std::chrono::microseconds latency);
    double MedianMs() const;
    RequestCounts Counts() const;
};

class Statistics {
  public:
    explicit Statistics(std::shared_ptr<const Config> config) : config_(std::move(config)) {}
    // After a reload: the counters of the lines and units kept go on (by name and unit id).
    void Apply(std::shared_ptr<const Config> config);

    // `unit` 0 or unknown: counted under the gateway only.
    void Record(uint8_t unit, Outcome outcome, std::chrono::microseconds latency);
    // One log line per line and per unit that has seen requests, then the unknown units.
    void Report() const;
    // For the status endpoint; an index or unit that has seen no request counts zero.
    RequestCounts LineCounts(const std::string &line) const; // by line name
    RequestCounts UnitCounts(uint8_t unit, std::optional<Failure> &lastFailure) const;

  private:
    std::shared_ptr<const Config> config_;
    mutable std::mutex mutex_;
    std::map<std::string, Tally> lines_; // by line name
    std::map<uint8_t, Tally> units_;
    Tally unknown_;
};

} // namespace vpisd::gateway
