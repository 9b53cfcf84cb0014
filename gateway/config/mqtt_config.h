// The MQTT side's configuration: the [mqtt] table and the [[poll]] groups of the gateway's
// TOML file, read into plain records next to the rest of the gateway's configuration.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "gateway/config/register_spec.h"

namespace vpisd::gateway {

struct MqttConfig {
    std::string host = "127.0.0.1";
    uint16_t port = 1883;
    std::string clientId = "vpisd-gateway";
    std::string topicPrefix = "vpisd";
    std::string username;
    std::string passwordFile; // absolute path; the password is its first line
    std::string cafile;       // absolute path; set: the broker is reached over TLS
    std::string certfile;     // absolute paths of the client certificate and its key, or both empty
    std::string keyfile;
    std::string tlsVersion; // the lowest TLS version accepted: "tlsv1.2", "tlsv1.3", or empty
    int qos = 1;
    int keepaliveS = 30;
    int64_t fileLine = 0;
};

enum class PublishMode : uint8_t { OnChange, Always };

struct PollConfig {
    size_t line = 0; // index into Config::lines
    std::string plc; // GAS prefix, or "00" peer to peer
    RegisterSpec registers;
    int32_t intervalMs = 1000;
    PublishMode publish = PublishMode::OnChange;
    int64_t fileLine = 0;
};

} // namespace vpisd::gateway
