// One line's Home Assistant discovery configs on its broker connection: published at each
// connect, changed at a reload, cleared when no line of the configuration has them any more.
// The first line also clears the configs of an earlier run that this one no longer has.
#pragma once

#include <memory>
#include <set>
#include <string>

#include "gateway/config/mqtt_config.h"
#include "gateway/mqtt/discovery.h"
#include "gateway/mqtt/publisher.h"

namespace vpisd::gateway {

class LineDiscovery {
  public:
    // Line `index` (named `line`, for the log) of the configuration `plan` was built from.
    LineDiscovery(Publisher &publisher, const MqttConfig &mqtt, std::string line,
                  std::shared_ptr<const DiscoveryPlan> plan, size_t index);

    // At each connect: every config of the line; the first line subscribes to the configs the
    // broker keeps, which come back through OnRetained.
    void Connected();
    // A reload: the line is `index` of `plan`'s configuration. The configs that came or
    // changed are published, the old ones no line has any more are cleared.
    void Rebind(std::shared_ptr<const DiscoveryPlan> plan, size_t index);
    // The line goes: its configs that `kept` does not hold are cleared.
    void Clear(const std::set<std::string> &kept);
    // A retained message: true when it is a discovery config (one of this gateway's that the
    // configuration no longer has is cleared).
    bool OnRetained(const std::string &topic, const std::string &payload);

  private:
    const std::vector<DiscoveryConfig> &Own() const { return plan_->lines[index_]; }
    void Publish(const DiscoveryChange &change);

    Publisher &publisher_;
    const MqttConfig &mqtt_;
    const std::string line_;
    std::shared_ptr<const DiscoveryPlan> plan_;
    size_t index_;
};

} // namespace vpisd::gateway
