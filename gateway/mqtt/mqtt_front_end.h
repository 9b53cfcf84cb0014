// The MQTT front end: one MqttLine (its own broker connection, poll groups and /set commands)
// per serial line, over the same line workers as the Modbus front end. Started by the process
// owner when the configuration has an [mqtt] table.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "gateway/config/config.h"
#include "gateway/lines/line_worker.h"
#include "gateway/mqtt/mqtt_line.h"
#include "gateway/mqtt/mqtt_statistics.h"

namespace vpisd::gateway {

class MqttFrontEnd {
  public:
    // `config` must have an [mqtt] table.
    MqttFrontEnd(const Config &config, std::vector<std::unique_ptr<LineWorker>> &workers);
    // After the workers have started.
    bool Start(std::string &error);
    // After the workers have finished: every line's status goes "offline".
    void Stop();
    const MqttStatistics &statistics() const { return statistics_; }
    // A reload that keeps the MQTT side (same [mqtt], polls and lines): the new units' and the
    // gateway's read_only apply to /set at once.
    void SetWriteRights(const std::shared_ptr<const Config> &config);
    // From any thread: the broker and each line's connection to it.
    MqttSnapshot Status() const;

  private:
    std::string broker_; // "host:port"
    MqttStatistics statistics_;
    std::vector<std::unique_ptr<MqttLine>> lines_;
};

// The broker client id of a line: client_id itself for a gateway of one line, else
// client_id-<line name> (each line has its own connection for its own last will).
std::string LineClientId(const Config &config, size_t line);

} // namespace vpisd::gateway
