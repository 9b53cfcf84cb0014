// Fills the status snapshot from the parts of a running gateway; each is read through its own
// thread-safe accessor, so this may run on any thread (the HTTP server's).
#pragma once

#include <chrono>
#include <memory>
#include <vector>

#include "gateway/config/config.h"
#include "gateway/lines/line_worker.h"
#include "gateway/modbus/modbus_server.h"
#include "gateway/modbus/statistics.h"
#include "gateway/mqtt/mqtt_front_end.h"
#include "gateway/sparkplug/sparkplug_front_end.h"
#include "gateway/status.h"

namespace vpisd::gateway {

struct StatusSources {
    const Config *config = nullptr;
    const std::vector<std::unique_ptr<LineWorker>> *workers = nullptr; // one per config line
    const ModbusServer *modbus = nullptr;                              // null: no Modbus front end
    const Statistics *statistics = nullptr;
    const MqttFrontEnd *mqtt = nullptr; // null: no [mqtt]
    std::chrono::steady_clock::time_point started{};
    const SparkplugFrontEnd *sparkplug = nullptr; // null: no [sparkplug]
};

GatewayStatus CollectStatus(const StatusSources &sources);

} // namespace vpisd::gateway
