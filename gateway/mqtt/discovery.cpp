#include "gateway/mqtt/discovery.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <optional>

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

Json Availability(const std::string &topic) {
    return {
        {"topic", topic}, {"payload_available", "online"}, {"payload_not_available", "offline"}};
}

// The line status topic a config kept by the broker names: the entry of its availability list
// that is <topic_prefix>/<line>/status, or its availability_topic (configs of earlier versions).
std::optional<std::string> LineStatusTopic(const MqttConfig &mqtt, const Json &json) {
    const std::string head = mqtt.topicPrefix + "/";
    const std::string tail = "/status";
    const auto lineStatus = [&](const Json &topic) {
        if (!topic.is_string())
            return false;
        const std::string &text = topic.get_ref<const std::string &>();
        return text.size() > head.size() + tail.size() && text.starts_with(head) &&
               text.ends_with(tail) &&
               text.find('/', head.size()) == text.size() - tail.size(); // one level: the line
    };
    if (json.contains("availability_topic") && lineStatus(json["availability_topic"]))
        return json["availability_topic"].get<std::string>();
    if (json.contains("availability") && json["availability"].is_array()) {
        for (const Json &entry : json["availability"]) {
            if (entry.is_object() && entry.contains("topic") && lineStatus(entry["topic"]))
                return entry["topic"].get<std::string>();
        }
    }
    return std::nullopt;
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
            // Available while the line's connection is up and its PLC answers.
            json["availability"] = Json::array(
                {Availability(base + "/status"), Availability(base + "/" + poll.plc + "/status")});
            json["availability_mode"] = "all";
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
            if (component == "sensor")
                json["state_class"] = "measurement"; // kept as long-term statistics
            json["device"] = {{"identifiers", Json::array({node})},
                              {"name", line + " " + poll.plc},
                              {"manufacturer", "vpisd"},
                              {"model", "SY/MAX PLC"},
                              {"sw_version", VPISD_VERSION}};
            json["origin"] = {{"name", "vpisd"}, {"sw", VPISD_VERSION}};
            out.push_back(
                {poll.line,
                 mqtt.discoveryPrefix + "/" + component + "/" + node + "/" + key + "/config",
                 json.dump()});
        }
    }
    return out;
}

std::shared_ptr<const DiscoveryPlan> PlanDiscovery(const Config &config) {
    auto plan = std::make_shared<DiscoveryPlan>();
    plan->lines.resize(config.lines.size());
    for (DiscoveryConfig &discovery : DiscoveryConfigs(config)) {
        plan->topics.insert(discovery.topic);
        plan->lines[discovery.line].push_back(std::move(discovery));
    }
    return plan;
}

DiscoveryChange ChangeDiscovery(const std::vector<DiscoveryConfig> &before,
                                const std::vector<DiscoveryConfig> &after,
                                const std::set<std::string> &kept) {
    DiscoveryChange change;
    for (const DiscoveryConfig &old : before) {
        if (!kept.contains(old.topic))
            change.cleared.push_back(old.topic);
    }
    for (const DiscoveryConfig &discovery : after) {
        const bool unchanged = std::any_of(before.begin(), before.end(), [&](const auto &old) {
            return old.topic == discovery.topic && old.payload == discovery.payload;
        });
        if (!unchanged)
            change.published.push_back(discovery);
    }
    return change;
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
    if (!json.is_object())
        return false;
    // <topic_prefix>/<line>/status names the line whose node id this must be.
    const std::optional<std::string> availability = LineStatusTopic(mqtt, json);
    if (!availability)
        return false;
    const size_t head = mqtt.topicPrefix.size() + 1;
    const std::string line = availability->substr(head, availability->size() - head -
                                                            std::string_view("/status").size());
    const std::string expected =
        "vpisd_" + DiscoveryId(mqtt.clientId) + "_" + DiscoveryId(line) + "_";
    constexpr size_t kPlcLength = 2;
    return node.size() == expected.size() + kPlcLength && node.starts_with(expected);
}

} // namespace vpisd::gateway
