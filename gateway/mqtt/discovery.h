// Home Assistant discovery: one retained config per polled value under
// <discovery_prefix>/<component>/vpisd_<client_id>_<line>_<plc>/<key>/config, published at
// connect, and the configs of values no longer polled cleared with an empty retained message.
#pragma once

#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/config/config.h"
#include "gateway/write_command.h"

namespace vpisd::gateway {

struct DiscoveryConfig {
    size_t line = 0; // of the polled value
    std::string topic;
    std::string payload; // JSON
};

// Every character other than a letter, digit, "_" or "-" as "_".
std::string DiscoveryId(std::string_view text);

// The configs of every polled value of every line; none without a discovery prefix.
std::vector<DiscoveryConfig> DiscoveryConfigs(const Config &config);

// The configs of one configuration, built once and shared by its lines.
struct DiscoveryPlan {
    std::vector<std::vector<DiscoveryConfig>> lines; // by line index
    std::set<std::string> topics;                    // of every line: the configs to keep
};
std::shared_ptr<const DiscoveryPlan> PlanDiscovery(const Config &config);

// What a line whose configs were `before` publishes when they become `after`: the configs that
// came or changed (a PLC made read-only is a sensor, no longer a number), and the topics of the
// ones that no line keeps (not in `kept`), to clear.
struct DiscoveryChange {
    std::vector<DiscoveryConfig> published;
    std::vector<std::string> cleared;
};
DiscoveryChange ChangeDiscovery(const std::vector<DiscoveryConfig> &before,
                                const std::vector<DiscoveryConfig> &after,
                                const std::set<std::string> &kept);

// What to subscribe to for the configs kept by the broker.
std::string DiscoverySubscription(const MqttConfig &mqtt);
// True for a config this gateway (its client_id and topic_prefix) published, judged from the
// topic's node id and the line status topic among the payload's availability, so that a gateway
// whose client_id begins the same way keeps its own.
bool IsOwnDiscoveryConfig(const MqttConfig &mqtt, const std::string &topic,
                          const std::string &payload);

} // namespace vpisd::gateway
