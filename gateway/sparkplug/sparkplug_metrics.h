// How the gateway appears to a Sparkplug B host: its topics, the ids it goes by, and each polled
// value as a metric of its device <line>.<plc>, named as its JSON topic names it, typed by its
// poll group.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "gateway/config/mqtt_config.h"
#include "gateway/sparkplug/sparkplug_payload.h"
#include "gateway/typed_value.h"

namespace vpisd::gateway::sparkplug {

constexpr const char *kNamespace = "spBv1.0";

// "spBv1.0/<group>/<type>/<node>" or, with a device, ".../<node>/<device>".
std::string Topic(std::string_view group, std::string_view type, std::string_view node,
                  std::string_view device = {});
// "spBv1.0/STATE/<host>": where a primary host application says whether it is online.
std::string StateTopic(std::string_view host);
// "north.P1".
std::string DeviceId(std::string_view line, std::string_view plc);
// Why `id` cannot be a group, edge node or host id ("+", "#", "/" or nothing at all), or empty.
std::string IdProblem(std::string_view id);

// Double where the group scales its values, else the type's own.
DataType MetricType(const PollConfig &poll);
// Value `index` of `poll` as a metric: its raw value (a float32's bits) converted and scaled
// as the JSON side publishes it; without a good value, null with quality bad.
Metric ValueMetric(const PollConfig &poll, size_t index, std::optional<int64_t> raw,
                   uint64_t timestamp);

// The value a command's metric carries for a metric of `type` (its birth's datatype; Boolean
// for "Node Control/Rebirth"), taken from the field it was sent in: an int_value is 32 bits,
// read unsigned for UInt16 and UInt32. The datatype may be left out (Sparkplug 3.0 hosts do);
// one that is given must be `type`, with the value in a field of that datatype (either integer
// field for an integer type). Unset, with why, otherwise.
struct CommandValue {
    std::optional<TypedValue> value;
    std::string reason;
};
CommandValue CommandValueOf(const Metric &metric, DataType type);

// The raw value a DCMD metric writes to a value of `poll`: its CommandValueOf converted as an
// MQTT /set is (RawFromValue), or nullopt with why in `reason`; `shown` gets the value as the
// log shows it, when it has one.
std::optional<int64_t> CommandWrite(const Metric &metric, const PollConfig &poll,
                                    std::string &shown, std::string &reason);

} // namespace vpisd::gateway::sparkplug
