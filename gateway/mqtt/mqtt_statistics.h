// Counters of the MQTT side. Its threads (the client's loop and the poll scheduler) count here
// and the network side reports on SIGUSR1, hence atomics.
#pragma once

#include <atomic>
#include <cstdint>

namespace vpisd::gateway {

enum class WriteOutcome : uint8_t { Ok, Refused, NoAnswer, ReadOnly };

struct MqttStatistics {
    std::atomic<uint64_t> publishes{0};
    std::atomic<uint64_t> connects{0};
    std::atomic<uint64_t> reconnects{0}; // connects after the first
    std::atomic<uint64_t> connectionsLost{0};
    std::atomic<uint64_t> pollsOk{0};
    std::atomic<uint64_t> pollsNoAnswer{0};
    std::atomic<uint64_t> pollsRefused{0};
    std::atomic<uint64_t> pollsBusy{0}; // the line's queue was full: tried again next round
    std::atomic<uint64_t> writes[4]{};  // by WriteOutcome

    void CountWrite(WriteOutcome outcome) { ++writes[static_cast<size_t>(outcome)]; }
    // One log line: "statistics: mqtt: publishes N reconnects N ...".
    void Report() const;
};

} // namespace vpisd::gateway
