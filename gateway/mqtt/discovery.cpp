#include "gateway/mqtt/discovery.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>

namespace vpisd::gateway {
namespace {

using Json = nlohmann::ordered_json;

constexpr double kFloatStep = 0.001;

// A published number as JSON, rounded as the values are published.
Json NumberJson(const PollConfig &poll, int64_t raw) {
    const auto text = host::ScaledText(poll.Format(), poll.scaling, raw);
    return text ? Json::parse(*text) : Json(nullptr);
}

void AddLimits(const PollConfig &poll, Json &config) {
    Json low;
    Json high;
    if (poll.type == host::ValueType::Float32) {
        const double most = std::numeric_limits<float>::max();
        low = -most * std::fabs(poll.scaling.scale) + poll.scaling.offset;
        high = most * std::fabs(poll.scaling.scale) + poll.scaling.offset;
        config["min"] = low;
        config["max"] = high;
        config["step"] = kFloatStep;
        return;
    }
    const host::ValueRange range = host::ReadRangeOf(poll.type);
    low = NumberJson(poll, range.low);
    high = NumberJson(poll, range.high);
    if (poll.scaling.scale < 0)
        std::swap(low, high);
    config["min"] = low;
    config["max"] = high;
    config["step"] =
        poll.scaling.Identity()
            ? Json(1)
            : Json::parse(*host::ScaledText(poll.Format(), {std::fabs(poll.scaling.scale), 0}, 1));
}

std::string Component(bool bit, bool readOnly) {
    if (bit)
        return readOnly ? "binary_sensor" : "switch";
    return readOnly ? "sensor" : "number";
}

} // namespace

std::string DiscoveryId(std::string_view text) {
    std::string id(text);
    for (char &c : id) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-')
            c = '_';
    }
    return id;
}

bool PlcReadOnly(const Config &config, size_t line, const std::string &plc) {
    if (config.server.readOnly)
        return true;
    return std::any_of(config.units.begin(), config.units.end(), [&](const UnitConfig &unit) {
        return unit.readOnly && unit.line == line && unit.plc == plc;
    });
}

std::vector<DiscoveryConfig> DiscoveryConfigs(const Config &config) {
    std::vector<DiscoveryConfig> out;
    if (!config.mqtt || config.mqtt->discoveryPrefix.empty())
        return out;
    const MqttConfig &mqtt = *config.mqtt;
    for (const PollConfig &poll : config.polls) {
        const std::string &line = config.lines[poll.line].name;
        const std::string node = "vpisd_" + DiscoveryId(mqtt.clientId) + "_" + DiscoveryId(line) +
                                 "_" + DiscoveryId(poll.plc);
        const std::string base = mqtt.topicPrefix + "/" + line;
        const bool bit = poll.type == host::ValueType::Bit;
        const bool readOnly = PlcReadOnly(config, poll.line, poll.plc);
        const std::string component = Component(bit, readOnly);
        for (size_t i = 0; i < poll.Values(); ++i) {
            const std::string level = poll.Level(i);
            const std::string key = DiscoveryId(level); // "/" becomes "_" with the rest
            const std::string state = base + "/" + poll.plc + "/" + level;
            Json json;
            json["name"] = level;
            json["unique_id"] = node + "_" + key;
            json["state_topic"] = state;
            json["value_template"] = "{{ value_json.value }}";
            if (!readOnly)
                json["command_topic"] = state + "/set";
            json["availability_topic"] = base + "/status";
            json["payload_available"] = "online";
            json["payload_not_available"] = "offline";
            if (bit) {
                json["payload_on"] = "1";
                json["payload_off"] = "0";
                if (!readOnly) {
                    json["state_on"] = "1";
                    json["state_off"] = "0";
                }
            } else if (!readOnly) {
                AddLimits(poll, json);
            }
            if (!poll.unitOfMeasurement.empty())
                json["unit_of_measurement"] = poll.unitOfMeasurement;
            if (!poll.deviceClass.empty())
                json["device_class"] = poll.deviceClass;
            json["device"] = {{"identifiers", Json::array({node})},
                              {"name", line + " " + poll.plc},
                              {"manufacturer", "vpisd"},
                              {"model", "SY/MAX PLC"},
                              {"sw_version", VPISD_VERSION}};
            out.push_back(
                {poll.line,
                 mqtt.discoveryPrefix + "/" + component + "/" + node + "/" + key + "/config",
                 json.dump()});
        }
    }
    return out;
}

std::string DiscoverySubscription(const MqttConfig &mqtt) {
    return mqtt.discoveryPrefix + "/+/+/+/config";
}

bool IsOwnDiscoveryConfig(const MqttConfig &mqtt, const std::string &topic,
                          const std::string &payload) {
    // <prefix>/<component>/<node>/<key>/config
    if (!topic.starts_with(mqtt.discoveryPrefix + "/"))
        return false;
    std::string_view rest = std::string_view(topic).substr(mqtt.discoveryPrefix.size() + 1);
    const size_t component = rest.find('/');
    if (component == std::string_view::npos)
        return false;
    rest.remove_prefix(component + 1);
    const std::string_view node = rest.substr(0, rest.find('/'));
    const Json json = Json::parse(payload, nullptr, false);
    if (!json.is_object() || !json.contains("availability_topic") ||
        !json["availability_topic"].is_string())
        return false;
    // <topic_prefix>/<line>/status names the line whose node id this must be.
    const std::string availability = json["availability_topic"].get<std::string>();
    const std::string head = mqtt.topicPrefix + "/";
    const std::string tail = "/status";
    if (availability.size() <= head.size() + tail.size() || !availability.starts_with(head) ||
        !availability.ends_with(tail))
        return false;
    const std::string line =
        availability.substr(head.size(), availability.size() - head.size() - tail.size());
    const std::string expected =
        "vpisd_" + DiscoveryId(mqtt.clientId) + "_" + DiscoveryId(line) + "_";
    constexpr size_t kPlcLength = 2;
    return node.size() == expected.size() + kPlcLength && node.starts_with(expected);
}

} // namespace vpisd::gateway
