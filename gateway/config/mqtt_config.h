// The MQTT side's configuration: the [mqtt] table and the [[poll]] groups of the gateway's
// TOML file, read into plain records next to the rest of the gateway's configuration.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "gateway/config/poll_registers.h"
#include "host/scaling.h"

namespace vpisd::gateway {

// How one MQTT connection reaches its broker: [mqtt] and [sparkplug] read it alike.
struct BrokerConfig {
    std::string host = "127.0.0.1";
    uint16_t port = 1883;
    std::string username;
    std::string passwordFile; // absolute path; the password is its first line
    std::string cafile;       // absolute path; set: the broker is reached over TLS
    std::string certfile;     // absolute paths of the client certificate and its key, or both empty
    std::string keyfile;
    std::string tlsVersion; // the lowest TLS version accepted: "tlsv1.2", "tlsv1.3", or empty

    bool operator==(const BrokerConfig &) const = default;
};

struct MqttConfig : BrokerConfig {
    std::string clientId = "vpisd-gateway";
    std::string topicPrefix = "vpisd";
    std::string discoveryPrefix; // Home Assistant discovery under it; empty: none
    int qos = 1;
    int keepaliveS = 30;
    int64_t fileLine = 0;

    bool operator==(const MqttConfig &) const = default;
};

// The Sparkplug B side ([sparkplug]): the gateway as edge node `edgeNodeId` of `groupId`.
struct SparkplugConfig : BrokerConfig {
    std::string groupId;
    std::string edgeNodeId;
    std::string primaryHostId; // empty: births at once, whatever a host application says
    int keepaliveS = 30;
    int64_t fileLine = 0;

    bool operator==(const SparkplugConfig &) const = default;
};

enum class PublishMode : uint8_t { OnChange, Always };

struct PollConfig {
    size_t line = 0; // index into Config::lines
    std::string plc; // GAS prefix, or "00" peer to peer
    PollRegisters registers;
    int32_t intervalMs = 1000;
    PublishMode publish = PublishMode::OnChange;
    // How each value sits in its registers: a 32-bit type over a plain form takes the
    // registers in consecutive pairs.
    host::ValueType type = host::ValueType::Uint16;
    host::WordOrder order = host::WordOrder::HighFirst;
    host::Scaling scaling;
    double deadband = 0;                 // published units; on_change only
    std::map<size_t, std::string> names; // value index -> topic levels used instead of its key
    std::string unitOfMeasurement;       // passed on to discovery
    std::string deviceClass;
    int64_t fileLine = 0;

    size_t Values() const;
    // The first register of value `index`, its key ("100", "101F", "100/3") and its topic
    // levels under <prefix>/<line>/<plc>/ (its name when it has one, else its key).
    uint16_t RegisterOf(size_t index) const;
    std::string Key(size_t index) const;
    std::string Level(size_t index) const;
    host::ValueFormat Format() const;

    bool operator==(const PollConfig &) const = default;
};

} // namespace vpisd::gateway
