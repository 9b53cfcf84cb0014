// The gateway's MQTT side as a whole: one MqttLine per serial line, and the checks of the
// poll groups that only the driver can make.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "gateway/config/config.h"
#include "gateway/lines/line_worker.h"
#include "gateway/mqtt/mqtt_line.h"
#include "gateway/mqtt/mqtt_statistics.h"
#include "gateway/modbus/statistics.h"
#include "host/driver_library.h"

namespace vpisd::gateway {

class MqttSide {
  public:
    // Nothing to do when the configuration has no [mqtt].
    MqttSide(const Config &config, std::vector<std::unique_ptr<LineWorker>> &workers,
             Statistics &statistics);
    // After the workers have started.
    bool Start(std::string &error);
    // After the workers have finished: every line's status goes "offline".
    void Stop();

  private:
    MqttStatistics statistics_;
    std::vector<std::unique_ptr<MqttLine>> lines_;
};

// The broker client id of a line: client_id itself for a gateway of one line, else
// client_id-<line name> (each line has its own connection for its own last will).
std::string LineClientId(const Config &config, size_t line);

// Every poll group's PLC parsed against the routes of its line's init file. The current
// directory must hold the init files (host::WorkDir). Problems as "FILE:LINE: KEY: what".
void CheckPolls(const Config &config, const host::DriverLibrary &library, const DriverInfo &info,
                std::vector<std::string> &problems);

} // namespace vpisd::gateway
