// Home Assistant discovery: one retained config per polled value under
// <discovery_prefix>/<component>/vpisd_<client_id>_<line>_<plc>/<key>/config, published at
// connect, and the configs of values no longer polled cleared with an empty retained message.
#pragma once

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

// What to subscribe to for the configs kept by the broker.
std::string DiscoverySubscription(const MqttConfig &mqtt);
// True for a config this gateway (its client_id and topic_prefix) published, judged from the
// topic's node id and the line status topic among the payload's availability, so that a gateway
// whose client_id begins the same way keeps its own.
bool IsOwnDiscoveryConfig(const MqttConfig &mqtt, const std::string &topic,
                          const std::string &payload);

} // namespace vpisd::gateway
