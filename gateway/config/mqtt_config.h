// The MQTT side's configuration: the [mqtt] table and the [[poll]] groups of the gateway's
// TOML file, read into plain records next to the rest of the gateway's configuration.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// What one poll group covers: `count` values from `first`, each a register, a register pair
// (32 bits, the odd register holds the high word) or one bit of a register.
enum class ValueForm : uint8_t { Register, Pair, Bit };

struct RegisterSpec {
    ValueForm form = ValueForm::Register;
    uint16_t first = 1; // SY/MAX register, 1..9999; odd for a pair
    uint16_t count = 1; // values (a pair is one value)
    uint8_t bit = 1;    // 1 (least significant) to 16, as the driver's bit tags count

    // Registers one read of the group covers.
    uint16_t Registers() const { return form == ValueForm::Pair ? uint16_t(count * 2) : count; }
    // The topic level that names value `index`: "100", "101F", "100/3".
    std::string Name(uint16_t index) const;
};

// "100:8" (eight registers from 100), "101F:2" (two pairs from 101), "100/3" (bit 3 of 100);
// a count of 1 may be left out. nullopt with the reason in `why`.
std::optional<RegisterSpec> ParseRegisterSpec(std::string_view text, std::string &why);
// The value a topic level names ("100", "101F", "100/3"), as a group of one.
std::optional<RegisterSpec> ParseValueName(std::string_view text);

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
