// The MQTT front end: one MqttLine (its own broker connection, poll groups and /set commands)
// per serial line, over the same line workers as the Modbus front end. A reload that leaves
// [mqtt] as it was keeps every line's connection: a line whose worker is replaced is refused
// writes while it restarts and then bound to its new worker; only a line that comes or goes (or
// whose client id changes) connects or disconnects.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gateway/config/config.h"
#include "gateway/front_end.h"
#include "gateway/mqtt/mqtt_line.h"
#include "gateway/mqtt/mqtt_statistics.h"

namespace vpisd::gateway {

class MqttFrontEnd : public FrontEnd {
  public:
    // `mqtt`: the [mqtt] table of every configuration it serves.
    explicit MqttFrontEnd(const MqttConfig &mqtt);
    ~MqttFrontEnd() override;
    bool Start(const ServedLines &lines, std::string &error) override;
    void Prepare(const ReloadPlan &plan, const std::shared_ptr<const Config> &next) override;
    void Apply(const ServedLines &lines) override;
    // Every line's status goes "offline".
    void Stop() override;
    const MqttStatistics &statistics() const { return statistics_; }
    // From any thread: the broker and each line's connection to it.
    MqttSnapshot Status() const;

  private:
    std::unique_ptr<MqttLine> MakeLine(const ServedLines &lines, size_t line,
                                       const std::shared_ptr<const DiscoveryPlan> &discovery);

    const std::string broker_; // "host:port"
    MqttStatistics statistics_;
    mutable std::mutex linesMutex_; // held while lines_ changes, and by Status()
    std::vector<std::unique_ptr<MqttLine>> lines_;
};

// The broker client id of a line: client_id itself for a gateway of one line, else
// client_id-<line name> (each line has its own connection for its own last will).
std::string LineClientId(const Config &config, size_t line);

} // namespace vpisd::gateway
