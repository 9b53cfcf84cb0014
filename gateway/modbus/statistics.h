// Counters per unit and per line, kept by the network side alone (no locks): each request is
// counted once, when its answer goes out.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "gateway/config/config.h"
#include "gateway/lines/line_counters.h"
#include "gateway/mqtt/mqtt_statistics.h"

namespace vpisd::gateway {

enum class Outcome : uint8_t {
    Ok,
    Refused,  // driver result 1 (exception 04)
    NoAnswer, // driver result 2 or the line down (0B)
    Busy,     // queue full or cancelled at stop (06)
    Rejected, // answered before any traffic: 01, 02, 03, 0A
};

struct Tally {
    uint64_t requests = 0;
    uint64_t ok = 0;
    uint64_t refused = 0;
    uint64_t noAnswer = 0;
    uint64_t busy = 0;
    uint64_t rejected = 0;
    std::vector<uint32_t> latencyUs; // the latest answers, for the median
    size_t nextSample = 0;

    void Add(Outcome outcome, std::chrono::microseconds latency);
    double MedianMs() const;
};

class Statistics {
  public:
    explicit Statistics(const Config &config) : config_(config) {}

    // `unit` 0 or unknown: counted under the gateway only.
    void Record(uint8_t unit, Outcome outcome, std::chrono::microseconds latency);
    // One log line per line and per unit that has seen requests, then the unknown units.
    void Report() const;
    // The MQTT side's counters, reported after the Modbus ones.
    void Attach(const MqttStatistics *mqtt) { mqtt_ = mqtt; }
    // How each line spent its time, reported after the line's requests (index as config.lines).
    void AttachLines(std::vector<const LineCounters *> lines) { lineCounters_ = std::move(lines); }

  private:
    const Config &config_;
    std::map<size_t, Tally> lines_;
    std::map<uint8_t, Tally> units_;
    Tally unknown_;
    const MqttStatistics *mqtt_ = nullptr;
    std::vector<const LineCounters *> lineCounters_;
};

} // namespace vpisd::gateway
