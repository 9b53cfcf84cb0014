// The gateway's configuration, read once from its TOML file into these plain records and
// checked there; nothing else reads the file.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "gateway/config/allow_list.h"
#include "gateway/config/mqtt_config.h"

namespace vpisd::gateway {

struct ServerConfig {
    std::string listenHost = "127.0.0.1";
    uint16_t listenPort = 5020; // 0: any free port (the log says which)
    int maxClients = 32;
    std::vector<AddressBlock> allow = LoopbackOnly();
    bool readOnly = false; // every write refused with exception 01
    int idleTimeoutS = 60; // a connection that sends no request for this long is closed; 0 never
};

// The HTTP status endpoint ([http]): /metrics, /status.json and a status page.
struct HttpConfig {
    std::string listenHost = "127.0.0.1";
    uint16_t listenPort = 8080; // 0: any free port (the log says which)
    std::vector<AddressBlock> allow = LoopbackOnly();

    bool operator==(const HttpConfig &) const = default;
};

// How a line's worker may spare the line for one PLC: taken from the [[unit]]s that serve it
// (the smallest value when several do), the defaults for a PLC that only [[poll]]s read.
struct PlcPolicy {
    std::string plc;
    int32_t maxAgeMs = 0;          // 0: every read answered from a line read begun after it came
    int32_t refusedHoldMs = 60000; // 0: a refused range goes to the line every time

    bool operator==(const PlcPolicy &) const = default;
};

// When a PLC that stays silent is demoted ([[line]] demote_after, demote_s, demote_max_s).
struct DemotionPolicy {
    int after = 1;                         // transactions in a row without an answer, 1..10
    std::chrono::seconds hold{10};         // the first hold; 0 never demotes
    std::chrono::seconds longestHold{300}; // a failed probe doubles the hold up to this

    bool operator==(const DemotionPolicy &) const = default;
};

struct LineConfig {
    std::string name;
    std::string port;             // a driver port name, or "tcp:HOST:PORT"
    int32_t vpi = 1;              // names the init file the driver loads: vpiSDnn.int
    std::string init;             // absolute path; empty: peer to peer
    std::optional<uint16_t> baud; // unset: the driver's default
    std::optional<uint16_t> dataBits;
    std::optional<uint16_t> stopBits; // 0 one, 1 one and a half, 2 two
    std::optional<uint16_t> parity;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
    int32_t timeoutMs = 1000;
    size_t queueDepth = 32; // requests waiting for the line, per source
    uint16_t mergeGap = 16; // registers allowed between two ranges served by one block read
    DemotionPolicy demotion;
    std::vector<PlcPolicy> plcs; // from the units of this line, one per PLC
    int64_t fileLine = 0;        // where [[line]] stands, for later messages

    bool operator==(const LineConfig &) const = default;
};

struct UnitConfig {
    uint8_t id = 0;  // Modbus unit identifier, 1..247
    size_t line = 0; // index into Config::lines
    std::string plc; // GAS prefix: a PLC of the line's init file, or "00"
    bool readOnly = false;
    int32_t maxAgeMs = 0;
    int32_t refusedHoldMs = 60000;
    int64_t fileLine = 0; // where plc (or [[unit]]) stands
};

struct Config {
    std::string path;
    ServerConfig server;
    std::vector<LineConfig> lines;
    std::vector<UnitConfig> units;
    std::optional<MqttConfig> mqtt;           // the MQTT side, when [mqtt] is given
    std::optional<SparkplugConfig> sparkplug; // the Sparkplug B side, when [sparkplug] is given
    std::vector<PollConfig> polls;
    std::optional<HttpConfig> http; // the status endpoint, when [http] is given

    // The unit with Modbus identifier `id`, or nullptr.
    const UnitConfig *FindUnit(uint8_t id) const;
};

// Reads and checks `path`. Each problem is one line "FILE:LINE: KEY: what is wrong" in
// `problems`; the records are returned with the problems too (for a check that goes on to the
// init files and PLC names); nullopt only when the file cannot be read or parsed. A missing or
// unreadable file is the problem "cannot read FILE: reason".
std::optional<Config> ReadConfig(const std::string &path, std::vector<std::string> &problems);
// ReadConfig of the file's text: `path` names it in the problems, and the files it names are
// taken from path's folder.
std::optional<Config> ReadConfigText(const std::string &text, const std::string &path,
                                     std::vector<std::string> &problems);

// What a good file serves, as --check prints it: "2 lines, 2 units, 3 poll groups, MQTT to
// 127.0.0.1:1883, HTTP on 127.0.0.1:8080"; the parts after the units only when configured.
std::string Summary(const Config &config);

} // namespace vpisd::gateway
