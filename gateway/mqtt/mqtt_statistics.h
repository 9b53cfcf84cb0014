// Counters of the MQTT side. Its threads (the clients' loops and the lines' own) count here
// and the network side reports on SIGUSR1, hence atomics.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "gateway/poll/quality.h"
#include "gateway/status.h"
#include "gateway/write_command.h"

namespace vpisd::gateway {

struct MqttStatistics {
    std::atomic<uint64_t> publishes{0};
    std::atomic<uint64_t> connects{0};
    std::atomic<uint64_t> reconnects{0}; // connects after the first
    std::atomic<uint64_t> connectionsLost{0};
    std::atomic<uint64_t> pollsOk{0};
    std::atomic<uint64_t> pollsNoAnswer{0};
    std::atomic<uint64_t> pollsRefused{0};
    std::atomic<uint64_t> pollsBusy{0}; // the line's queue was full: tried again next round
    std::atomic<uint64_t> writes[kWriteOutcomeCount]{}; // by WriteOutcome

    void CountWrite(WriteOutcome outcome) { ++writes[static_cast<size_t>(outcome)]; }
    // One log line: "statistics: mqtt: publishes N reconnects N ...".
    void Report() const;
};

// One line's polls and writes per PLC, by the words MQTT publishes, for /metrics. The PLCs are
// fixed when the line's MQTT side is built (those its groups read, then the others of its init
// file), so counting from any thread takes no lock; a /set to any other name is counted only in
// MqttStatistics.
class MqttPlcStatistics {
  public:
    MqttPlcStatistics(const std::vector<std::string> &polled,
                      const std::vector<std::string> &others);
    // After a reload: the PLCs polled now, and the others the line knows, are counted too; a
    // PLC met before keeps its counters.
    void Track(const std::vector<std::string> &polled, const std::vector<std::string> &others);
    // A poll's read of `plc`: Good (the read was answered; its values are judged one by one),
    // NoAnswer or Refused.
    void CountPoll(const std::string &plc, Quality quality);
    void CountWrite(const std::string &plc, WriteOutcome outcome);
    std::vector<MqttPlcCounts> Snapshot() const;

  private:
    static constexpr size_t kQualities = 3; // Good, NoAnswer, Refused
    static constexpr size_t kOutcomes = kWriteOutcomeCount;
    struct Entry {
        std::string plc;
        std::atomic<bool> polled{false};
        std::atomic<uint64_t> polls[kQualities]{};
        std::atomic<uint64_t> writes[kOutcomes]{};
    };
    Entry *FindLocked(const std::string &plc) const;
    mutable std::mutex mutex_;  // held while entries_ grows and while it is walked
    std::deque<Entry> entries_; // never moved: its atomics stay where the counters are
};

} // namespace vpisd::gateway
