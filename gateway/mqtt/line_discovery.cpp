#include "gateway/mqtt/line_discovery.h"

#include "gateway/log.h"

namespace vpisd::gateway {

LineDiscovery::LineDiscovery(Publisher &publisher, const MqttConfig &mqtt, std::string line,
                             std::shared_ptr<const DiscoveryPlan> plan, size_t index)
    : publisher_(publisher), mqtt_(mqtt), line_(std::move(line)), plan_(std::move(plan)),
      index_(index) {}

void LineDiscovery::Connected() {
    if (mqtt_.discoveryPrefix.empty())
        return;
    for (const DiscoveryConfig &discovery : Own())
        publisher_.Publish(discovery.topic, discovery.payload, true);
    // The broker hands over what it keeps when the subscription is made.
    if (index_ == 0)
        publisher_.Subscribe(DiscoverySubscription(mqtt_));
}

void LineDiscovery::Rebind(std::shared_ptr<const DiscoveryPlan> plan, size_t index) {
    Publish(ChangeDiscovery(Own(), plan->lines[index], plan->topics));
    plan_ = std::move(plan);
    index_ = index;
}

void LineDiscovery::Clear(const std::set<std::string> &kept) {
    Publish(ChangeDiscovery(Own(), {}, kept));
}

void LineDiscovery::Publish(const DiscoveryChange &change) {
    for (const std::string &topic : change.cleared) {
        Log(Level::Info, line_,
            "mqtt discovery config " + topic + " cleared (no longer polled as it was)");
        publisher_.Publish(topic, "", true);
    }
    for (const DiscoveryConfig &discovery : change.published)
        publisher_.Publish(discovery.topic, discovery.payload, true);
}

bool LineDiscovery::OnRetained(const std::string &topic, const std::string &payload) {
    const std::string &prefix = mqtt_.discoveryPrefix;
    if (prefix.empty() || !topic.starts_with(prefix + "/"))
        return false;
    if (!payload.empty() && !plan_->topics.contains(topic) &&
        IsOwnDiscoveryConfig(mqtt_, topic, payload)) {
        Log(Level::Info, line_, "mqtt discovery config " + topic + " cleared (no longer polled)");
        publisher_.Publish(topic, "", true);
    }
    return true;
}

} // namespace vpisd::gateway
