// A snapshot of the gateway's state for the HTTP status endpoint: plain records filled from
// short, thread-safe reads of the line workers and of the Modbus, MQTT and Sparkplug B faces.
// The HTTP server sees nothing else of them.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vpisd::gateway {

using WallClock = std::chrono::system_clock;

// Upper bounds (seconds) of the request-duration histogram's finite buckets.
constexpr std::array<double, 8> kDurationBoundsS = {0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30};

// Modbus requests answered, as the statistics count them.
struct RequestCounts {
    uint64_t requests = 0;
    uint64_t ok = 0;
    uint64_t refused = 0;
    uint64_t noAnswer = 0;
    uint64_t busy = 0;
    uint64_t rejected = 0;
    double medianMs = 0;
    // Arrival-to-answer times of the requests that went to a line (all but the rejected): the
    // count per bucket (not cumulative), the last one above the largest bound.
    std::array<uint64_t, kDurationBoundsS.size() + 1> durations{};
    double durationSumS = 0;
};

// A failed request: "refused", "no_answer", "busy" or "restarting", and when its answer went out.
struct Failure {
    std::string outcome;
    WallClock::time_point at{};
};

enum class LineState : uint8_t {
    Up,        // the line's device is open
    Down,      // not open since the worker started (or the worker has stopped)
    Reopening, // was open, lost: being opened again with a growing pause
};

// What a line's worker tells about itself (LineWorker::Status()).
struct WorkerStatus {
    LineState state = LineState::Down;
    std::optional<std::string> lastError; // why the line was last down, with its cause
    WallClock::time_point lastErrorAt{};  // when lastError happened
    size_t queueDepth = 0;                // requests waiting, not the one on the line
    std::vector<std::pair<std::string, bool>> backupRoutes; // PLC, true: on its backup route
};

enum class PlcState : uint8_t {
    Unknown,   // no transaction yet, or its line is down
    Answering, // its last transaction was answered (a refusal is an answer)
    Silent,    // its last transaction got no answer
    Demoted,   // answered at once without the line until its hold ends
};

// "unknown", "answering", "silent" or "demoted": the word every face shows.
constexpr const char *PlcStateName(PlcState state) {
    switch (state) {
    case PlcState::Answering:
        return "answering";
    case PlcState::Silent:
        return "silent";
    case PlcState::Demoted:
        return "demoted";
    case PlcState::Unknown:
        break;
    }
    return "unknown";
}

struct PlcHealthSnapshot {
    std::string plc;
    PlcState state = PlcState::Unknown;
    WallClock::time_point since{}; // when it entered `state`
    std::optional<WallClock::time_point> lastSuccess;
    std::optional<std::string> lastError; // what its last unanswered transaction was
    WallClock::time_point lastErrorAt{};
    uint64_t demotions = 0;
};

struct PlcRoute {
    std::string plc;
    bool backup = false; // the driver's route selection after the latest transaction
    PlcHealthSnapshot health;
};

struct LineSnapshot {
    std::string name;
    std::string port;
    WorkerStatus worker;
    uint64_t transactions = 0; // the worker's LineCounters
    uint64_t answered = 0;
    uint64_t merged = 0;
    uint64_t stored = 0;
    uint64_t held = 0;
    double busyS = 0;        // time spent in transactions since the worker started
    double requestsPerS = 0; // requests answered per second over the last minute
    double busyShare = 0;    // share of the last minute spent in transactions, 0..1
    RequestCounts requests;  // Modbus requests of the line's units
    // Every PLC of the line's init file, then any other that a unit or poll group names.
    std::vector<PlcRoute> plcs;
};

struct UnitSnapshot {
    uint8_t id = 0;
    std::string line;
    std::string plc;
    bool backupRoute = false;
    RequestCounts requests;
    std::optional<Failure> lastFailure;
};

struct ModbusClientSnapshot {
    std::string address; // "a.b.c.d:port"
    WallClock::time_point since{};
    uint64_t requests = 0;
};

// One PLC's polls and writes on one line's MQTT side, by the words MQTT publishes.
struct MqttPlcCounts {
    std::string plc;
    bool polled = false;                                  // a poll group reads it
    std::vector<std::pair<std::string, uint64_t>> polls;  // by quality: good, no_answer, refused
    std::vector<std::pair<std::string, uint64_t>> writes; // by result: ok, refused, ...
};

// One line's broker connection.
struct MqttLineSnapshot {
    std::string line;
    bool connected = false;
    uint64_t publishes = 0;
    std::optional<std::string> lastError; // why the broker was last not reached, or lost
    std::vector<MqttPlcCounts> plcs;      // the PLCs its groups read, then the line's others
};

struct MqttSnapshot {
    std::string broker; // "host:port"
    std::vector<MqttLineSnapshot> lines;
};

// The Sparkplug B edge node's connection.
struct SparkplugSnapshot {
    std::string broker; // "host:port"
    bool connected = false;
    std::optional<uint8_t> bdSeq; // of the latest connection; none before the first
    std::optional<std::string> lastError;
    std::map<std::string, uint64_t>
        messages; // by type (NBIRTH, DDATA, DCMD, ...): sent and received
};

struct GatewayStatus {
    std::string version;
    std::string config; // the configuration file, an absolute path
    double uptimeS = 0;
    std::vector<LineSnapshot> lines;
    std::vector<UnitSnapshot> units;
    std::vector<ModbusClientSnapshot> modbusClients;
    std::optional<MqttSnapshot> mqtt;           // with [mqtt]
    std::optional<SparkplugSnapshot> sparkplug; // with [sparkplug]
};

} // namespace vpisd::gateway
