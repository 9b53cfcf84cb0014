// What one line's topics tell: each round of a group as its quality and deadband ask, the
// route of each PLC it polls, the <plc>/status words from the PLCs' health, and all of it again
// after a reconnect. It publishes through a Publisher and keeps no state of its own: what was
// told lives in the line's LineTopics.
#pragma once

#include <string>
#include <vector>

#include "gateway/lines/line_service.h"
#include "gateway/mqtt/line_topics.h"
#include "gateway/mqtt/mqtt_statistics.h"
#include "gateway/mqtt/publisher.h"
#include "gateway/poll/line_poller.h"

namespace vpisd::gateway {

// What <plc>/status says of `health` (null: a PLC the line has not met); `lineDown`: the
// line's device could not be opened or was lost. "" for a PLC not asked yet on a line that is
// up (or not tried yet), which is neither answering nor silent.
const char *PlcStatusWord(const PlcHealthSnapshot *health, bool lineDown);

class MqttValues {
  public:
    MqttValues(Publisher &publisher, MqttStatistics &statistics, MqttPlcStatistics &plcStatistics);

    // A round of `group` from the line's poller.
    void PollDone(GroupTopics &group, const PolledGroup &polled);
    // `route`'s PLC is on the route `polled` read.
    void RouteRead(RouteTopic &route, const PolledRoute &polled);
    // Publishes the <plc>/status topics whose word changed since last told, or all (`all`, at
    // a connect), from what `line` tells of its PLCs.
    void UpdatePlcStatus(std::vector<PlcStatusTopic> &statuses, const LineService &line, bool all);
    // After a (re)connect: every status, value and route known, whether it changed or not.
    void Republish(LineTopics &topics, const LineService &line);
    // Each status told and not "offline" goes "offline" (the line stops watching).
    void MarkOffline(const std::vector<PlcStatusTopic> &statuses);

  private:
    void CountPoll(const std::string &plc, Quality quality);
    void Send(const GroupTopics &group, ValueState &value, bool changed);

    Publisher &publisher_;
    MqttStatistics &statistics_;
    MqttPlcStatistics &plcStatistics_;
};

} // namespace vpisd::gateway
