#include "gateway/sparkplug/edge_node.h"

#include <nlohmann/json.hpp>

#include "gateway/poll/deadband.h"
#include "gateway/sparkplug/sparkplug_metrics.h"
#include "gateway/write_command.h"

namespace vpisd::gateway::sparkplug {
namespace {

constexpr const char *kRebirth = "Node Control/Rebirth";
constexpr const char *kBdSeq = "bdSeq";

// A change the host must be told of: null or quality, or the value beyond the deadband (any
// change without one).
bool Changed(const Metric &now, const Metric &sent, double deadband) {
    if (now.isNull != sent.isNull || now.quality != sent.quality || now.type != sent.type)
        return true;
    if (now.isNull)
        return false;
    const std::optional<double> a = now.Number();
    const std::optional<double> b = sent.Number();
    if (!a || !b)
        return now.text != sent.text;
    return BeyondDeadband(*a, *b, deadband);
}

} // namespace

NodeCommand ReadNodeCommand(const Payload &payload) {
    NodeCommand command;
    const auto ignore = [&](const Metric &metric, const std::string &why) {
        if (command.ignored++ == 0)
            command.firstIgnored = "\"" + Cut(metric.name) + "\": " + why;
    };
    for (const Metric &metric : payload.metrics) {
        if (metric.name != kRebirth) {
            ignore(metric, "unknown");
            continue;
        }
        const CommandValue value = CommandValueOf(metric, DataType::Boolean);
        std::string reason = value.reason;
        const std::optional<int64_t> asked =
            value.value ? RawFromValue(*value.value, {host::ValueType::Bit}, {}, reason)
                        : std::nullopt;
        if (!asked)
            ignore(metric, reason);
        else if (*asked != 0)
            command.rebirth = true;
    }
    return command;
}

EdgeNode::EdgeNode(std::string group, std::string node, std::optional<std::string> primaryHost,
                   std::optional<uint8_t> lastBdSeq)
    : group_(std::move(group)), node_(std::move(node)), primaryHost_(std::move(primaryHost)),
      bdSeq_(lastBdSeq.value_or(0)), connectedBefore_(lastBdSeq.has_value()) {}

std::string EdgeNode::NodeTopic(std::string_view type) const {
    return Topic(group_, type, node_);
}

std::string EdgeNode::DeviceTopic(std::string_view type, std::string_view device) const {
    return Topic(group_, type, node_, device);
}

Outgoing EdgeNode::Connecting() {
    bdSeq_ = connectedBefore_ ? static_cast<uint8_t>(bdSeq_ + 1) : uint8_t{0};
    connectedBefore_ = true;
    born_ = false;
    // The primary host's STATE is read again on every connection before any birth.
    hostOnline_ = false;
    ForgetHostState();
    devices_.clear();
    return Death();
}

Outgoing EdgeNode::Death() const {
    Payload payload;
    payload.metrics.push_back(IntegerMetric(kBdSeq, DataType::Int64, bdSeq_, 0));
    return {NodeTopic("NDEATH"), Encode(payload), 1, false};
}

std::vector<std::string> EdgeNode::Subscriptions() const {
    std::vector<std::string> topics = {NodeTopic("NCMD"), NodeTopic("DCMD") + "/+"};
    if (primaryHost_)
        topics.push_back(StateTopic(*primaryHost_));
    return topics;
}

Outgoing EdgeNode::Message(std::string topic, Payload payload) {
    payload.seq = seq_;
    seq_ = static_cast<uint8_t>(seq_ + 1);
    return {std::move(topic), Encode(payload), 0, false};
}

Outgoing EdgeNode::Birth(uint64_t now, const Device &device) {
    Sent &sent = devices_[device.id];
    sent.alive = true;
    sent.metrics.clear();
    Payload payload;
    payload.timestamp = now;
    for (const Metric &metric : device.metrics) {
        sent.metrics[metric.name] = metric;
        payload.metrics.push_back(metric);
    }
    return Message(DeviceTopic("DBIRTH", device.id), std::move(payload));
}

std::vector<Outgoing> EdgeNode::Births(uint64_t now, const std::vector<Device> &devices) {
    std::vector<Outgoing> out;
    seq_ = 0;
    Payload node;
    node.timestamp = now;
    node.metrics.push_back(IntegerMetric(kBdSeq, DataType::Int64, bdSeq_, now));
    node.metrics.push_back(BooleanMetric(kRebirth, false, now));
    out.push_back(Message(NodeTopic("NBIRTH"), std::move(node)));
    born_ = true;
    devices_.clear();
    for (const Device &device : devices) {
        if (device.alive)
            out.push_back(Birth(now, device));
        else
            devices_[device.id].alive = false;
    }
    return out;
}

std::vector<Outgoing> EdgeNode::Connected(uint64_t now, const std::vector<Device> &devices) {
    if (primaryHost_ && !hostOnline_)
        return {};
    return Births(now, devices);
}

bool EdgeNode::RebirthDue(uint64_t now) const {
    // A clock set back makes the next rebirth due at once.
    return !lastRebirth_ || now < *lastRebirth_ || now - *lastRebirth_ >= kRebirthGapMs;
}

std::vector<Outgoing> EdgeNode::Rebirth(uint64_t now, const std::vector<Device> &devices) {
    if (!born_ || !RebirthDue(now))
        return {};
    lastRebirth_ = now;
    return Births(now, devices);
}

std::vector<Outgoing> EdgeNode::Update(uint64_t now, const Device &device) {
    if (!born_)
        return {};
    Sent &sent = devices_[device.id];
    if (!device.alive) {
        if (!sent.alive)
            return {};
        sent.alive = false;
        Payload payload;
        payload.timestamp = now;
        return {Message(DeviceTopic("DDEATH", device.id), std::move(payload))};
    }
    if (!sent.alive)
        return {Birth(now, device)};
    Payload payload;
    payload.timestamp = now;
    for (size_t i = 0; i < device.metrics.size(); ++i) {
        const Metric &metric = device.metrics[i];
        const double deadband = i < device.deadbands.size() ? device.deadbands[i] : 0;
        const auto found = sent.metrics.find(metric.name);
        if (found != sent.metrics.end() && !Changed(metric, found->second, deadband))
            continue;
        sent.metrics[metric.name] = metric;
        payload.metrics.push_back(metric);
    }
    if (payload.metrics.empty())
        return {};
    return {Message(DeviceTopic("DDATA", device.id), std::move(payload))};
}

void EdgeNode::ForgetHostState() {
    hostTimestamp_ = 0;
    futureTold_ = false;
}

EdgeNode::HostChange EdgeNode::OnState(std::string_view text, uint64_t now) {
    const nlohmann::json state = nlohmann::json::parse(text, nullptr, false);
    if (!state.is_object() || !state.contains("online") || !state["online"].is_boolean())
        return HostChange::None;
    const uint64_t timestamp =
        state.contains("timestamp") && state["timestamp"].is_number_unsigned()
            ? state["timestamp"].get<uint64_t>()
            : 0;
    if (timestamp > now && timestamp - now > kStateAheadMs) {
        if (futureTold_)
            return HostChange::None;
        futureTold_ = true;
        return HostChange::Future;
    }
    if (timestamp < hostTimestamp_)
        return HostChange::None;
    hostTimestamp_ = timestamp;
    futureTold_ = false;
    const bool online = state["online"].get<bool>();
    if (online == hostOnline_)
        return HostChange::None;
    hostOnline_ = online;
    if (!online)
        born_ = false;
    return online ? HostChange::Online : HostChange::Offline;
}

} // namespace vpisd::gateway::sparkplug
