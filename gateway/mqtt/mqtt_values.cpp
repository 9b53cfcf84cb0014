#include "gateway/mqtt/mqtt_values.h"

#include <algorithm>

#include "gateway/mqtt/mqtt_payload.h"
#include "gateway/poll/deadband.h"

namespace vpisd::gateway {
namespace {

std::string Payload(const GroupTopics &group, const ValueState &value) {
    // A failed read keeps the last good value beside its quality; a bad value has none.
    std::optional<std::string> number;
    if (value.value && value.quality != Quality::BadValue)
        number = host::ScaledText(group.poll->Format(), group.poll->scaling, *value.value);
    return ValuePayload(number, value.ts, *value.quality);
}

} // namespace

const char *PlcStatusWord(const PlcHealthSnapshot *health, bool lineDown) {
    const PlcState state = health != nullptr ? health->state : PlcState::Unknown;
    switch (state) {
    case PlcState::Answering:
        return "online";
    case PlcState::Silent:
    case PlcState::Demoted:
        return "offline";
    case PlcState::Unknown:
        break;
    }
    // Unknown: the line is down, or came back and has not asked the PLC again yet. A PLC never
    // asked is first told with the outcome of its first transaction, so that it does not go
    // offline for a moment at every start.
    const bool asked = health != nullptr && (health->lastSuccess || health->lastError);
    return lineDown || asked ? "offline" : "";
}

MqttValues::MqttValues(Publisher &publisher, MqttStatistics &statistics,
                       MqttPlcStatistics &plcStatistics)
    : publisher_(publisher), statistics_(statistics), plcStatistics_(plcStatistics) {}

void MqttValues::PollDone(GroupTopics &group, const PolledGroup &polled) {
    if (polled.busy) {
        ++statistics_.pollsBusy;
        return; // not a judgement on the PLC: the next round tries again
    }
    const Quality quality = *polled.quality;
    if (!polled.retold)
        CountPoll(group.poll->plc, quality);
    const std::string ts = TimeStamp(polled.at);
    const PollConfig &poll = *group.poll;
    const bool always = poll.publish == PublishMode::Always;
    for (size_t i = 0; i < group.values.size() && i < polled.values.size(); ++i) {
        ValueState &value = group.values[i];
        const PolledValue &read = polled.values[i];
        const std::optional<Quality> before = value.quality;
        const Quality now = read.quality.value_or(quality);
        if (read.raw)
            value.value = read.raw;
        value.quality = now;
        value.ts = ts;
        bool publish = before != now; // a change of quality is always told
        if (!publish && now == Quality::Good && read.number) {
            // on_change: a change beyond the deadband from the number last published.
            publish = always || !value.published ||
                      BeyondDeadband(*read.number, *value.published, poll.deadband);
        }
        if (publish && read.number)
            value.published = read.number;
        Send(group, value, publish);
    }
}

void MqttValues::CountPoll(const std::string &plc, Quality quality) {
    switch (quality) {
    case Quality::Good:
    case Quality::BadValue: // judged per value
        ++statistics_.pollsOk;
        break;
    case Quality::Refused:
        ++statistics_.pollsRefused;
        break;
    case Quality::NoAnswer:
        ++statistics_.pollsNoAnswer;
        break;
    }
    plcStatistics_.CountPoll(plc, quality);
}

void MqttValues::Send(const GroupTopics &group, ValueState &value, bool publish) {
    if (!publish && value.sent)
        return;
    // Unsent values (the broker was away) go out with the next round or at the reconnect.
    value.sent = publisher_.Publish(value.topic, Payload(group, value), true);
}

void MqttValues::RouteRead(RouteTopic &route, const PolledRoute &polled) {
    const bool changed = route.selection != polled.selection;
    route.selection = polled.selection;
    route.ts = TimeStamp(polled.at);
    if (changed || !route.sent)
        route.sent =
            publisher_.Publish(route.topic, RoutePayload(*route.selection, route.ts), true);
}

void MqttValues::UpdatePlcStatus(std::vector<PlcStatusTopic> &statuses, const LineService &line,
                                 bool all) {
    const WorkerStatus worker = line.Status();
    // Down with a cause: not merely not opened yet.
    const bool lineDown = worker.state != LineState::Up && worker.lastError.has_value();
    const std::vector<PlcHealthSnapshot> health = line.health().Snapshot();
    for (PlcStatusTopic &status : statuses) {
        const auto found =
            std::find_if(health.begin(), health.end(),
                         [&](const PlcHealthSnapshot &h) { return h.plc == status.plc; });
        const std::string word = PlcStatusWord(found == health.end() ? nullptr : &*found, lineDown);
        if (word.empty() || (word == status.published && !all))
            continue;
        // Not connected: the word goes out with the others at the reconnect.
        publisher_.Publish(status.topic, word, true);
        status.published = word;
    }
}

void MqttValues::Republish(LineTopics &topics, const LineService &line) {
    // The broker may have lost the retained messages, and a subscriber must not keep a stale
    // value without knowing.
    UpdatePlcStatus(topics.plcStatuses, line, true);
    for (GroupTopics &group : topics.groups) {
        for (ValueState &value : group.values) {
            if (value.quality)
                value.sent = publisher_.Publish(value.topic, Payload(group, value), true);
        }
    }
    for (RouteTopic &route : topics.routes) {
        if (route.selection)
            route.sent =
                publisher_.Publish(route.topic, RoutePayload(*route.selection, route.ts), true);
    }
}

void MqttValues::MarkOffline(const std::vector<PlcStatusTopic> &statuses) {
    for (const PlcStatusTopic &status : statuses) {
        if (!status.published.empty() && status.published != "offline")
            publisher_.Publish(status.topic, "offline", true);
    }
}

} // namespace vpisd::gateway
