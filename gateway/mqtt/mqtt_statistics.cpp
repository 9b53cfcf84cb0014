#include "gateway/mqtt/mqtt_statistics.h"

#include <string>

#include "gateway/log.h"

namespace vpisd::gateway {

void MqttStatistics::Report() const {
    const auto n = [](const std::atomic<uint64_t> &counter) {
        return std::to_string(counter.load());
    };
    Log(Level::Notice, "",
        "statistics: mqtt: publishes " + n(publishes) + " connects " + n(connects) +
            " reconnects " + n(reconnects) + " connections_lost " + n(connectionsLost) +
            " polls_ok " + n(pollsOk) + " polls_no_answer " + n(pollsNoAnswer) + " polls_refused " +
            n(pollsRefused) + " polls_busy " + n(pollsBusy) + " writes_ok " + n(writes[0]) +
            " writes_refused " + n(writes[1]) + " writes_no_answer " + n(writes[2]) +
            " writes_read_only " + n(writes[3]));
}

} // namespace vpisd::gateway
