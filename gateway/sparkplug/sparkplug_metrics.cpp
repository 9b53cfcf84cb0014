#include "gateway/sparkplug/sparkplug_metrics.h"

#include <string>

#include "gateway/write_command.h"
#include "host/scaling.h"

namespace vpisd::gateway::sparkplug {
namespace {

bool IntegerType(DataType type) {
    switch (type) {
    case DataType::Int16:
    case DataType::Int32:
    case DataType::Int64:
    case DataType::UInt16:
    case DataType::UInt32:
        return true;
    default:
        return false;
    }
}

// The fields a value of `type` may be sent in.
bool FieldFits(DataType type, ValueField field) {
    if (IntegerType(type))
        return field == ValueField::Int || field == ValueField::Long;
    switch (type) {
    case DataType::Float:
        return field == ValueField::Float;
    case DataType::Double:
        return field == ValueField::Double;
    case DataType::Boolean:
        return field == ValueField::Boolean;
    case DataType::String:
        return field == ValueField::String;
    default:
        return false;
    }
}

TypedValue FieldValue(const Metric &metric, DataType type) {
    const bool isUnsigned = type == DataType::UInt16 || type == DataType::UInt32;
    switch (metric.field) {
    case ValueField::Int:
        // int_value carries 32 bits; a signed type's are two's complement.
        return isUnsigned ? int64_t{static_cast<uint32_t>(metric.integer)}
                          : int64_t{static_cast<int32_t>(metric.integer)};
    case ValueField::Long:
        // Past INT64_MAX an unsigned value is out of every range: shown as the number it is.
        if (isUnsigned && metric.integer < 0)
            return static_cast<double>(static_cast<uint64_t>(metric.integer));
        return metric.integer;
    case ValueField::Float:
    case ValueField::Double:
        return metric.real;
    case ValueField::Boolean:
        return metric.boolean;
    case ValueField::String:
    case ValueField::None:
        break;
    }
    return metric.text;
}

} // namespace

std::string Topic(std::string_view group, std::string_view type, std::string_view node,
                  std::string_view device) {
    std::string topic = std::string(kNamespace) + "/" + std::string(group) + "/" +
                        std::string(type) + "/" + std::string(node);
    if (!device.empty())
        topic += "/" + std::string(device);
    return topic;
}

std::string StateTopic(std::string_view host) {
    return std::string(kNamespace) + "/STATE/" + std::string(host);
}

std::string DeviceId(std::string_view line, std::string_view plc) {
    return std::string(line) + "." + std::string(plc);
}

std::string IdProblem(std::string_view id) {
    if (id.empty())
        return "expected a name";
    if (id.find_first_of("+#/") != std::string_view::npos)
        return "a Sparkplug id holds no \"+\", \"#\" or \"/\"";
    return "";
}

DataType MetricType(const PollConfig &poll) {
    if (!poll.scaling.Identity())
        return DataType::Double;
    switch (poll.type) {
    case host::ValueType::Int16:
        return DataType::Int16;
    case host::ValueType::Uint32:
        return DataType::UInt32;
    case host::ValueType::Int32:
        return DataType::Int32;
    case host::ValueType::Float32:
        return DataType::Float;
    case host::ValueType::Bit:
        return DataType::Boolean;
    case host::ValueType::Uint16:
        break;
    }
    return DataType::UInt16;
}

Metric ValueMetric(const PollConfig &poll, size_t index, std::optional<int64_t> raw,
                   uint64_t timestamp) {
    Metric metric;
    metric.name = poll.Level(index);
    const DataType type = MetricType(poll);
    metric.type = static_cast<uint32_t>(type);
    metric.timestamp = timestamp;
    const std::optional<double> number =
        raw ? host::ScaledNumber(poll.Format(), poll.scaling, *raw) : std::nullopt;
    if (!number) {
        metric.isNull = true;
        metric.quality = kQualityBad;
        return metric;
    }
    switch (type) {
    case DataType::Double:
        // The number the JSON side publishes (30.2 rather than 302 * 0.1 = 30.200000000000003).
        metric.real = std::stod(*host::ScaledText(poll.Format(), poll.scaling, *raw));
        break;
    case DataType::Float:
        metric.real = *number;
        break;
    case DataType::Boolean:
        metric.boolean = *number != 0;
        break;
    default:
        metric.integer = static_cast<int64_t>(*number);
        break;
    }
    metric.quality = kQualityGood;
    return metric;
}

CommandValue CommandValueOf(const Metric &metric, DataType type) {
    CommandValue command;
    const std::string name = DataTypeName(metric.type);
    const std::string sentAs =
        "sent as " + (name == "Unknown" ? "datatype " + std::to_string(metric.type) : name);
    if (metric.type != 0 && metric.type != static_cast<uint32_t>(type)) {
        command.reason = sentAs + ", the metric is " + DataTypeName(static_cast<uint32_t>(type));
        return command;
    }
    if (metric.isNull || metric.field == ValueField::None) {
        command.reason = "the metric holds no value";
        return command;
    }
    if (metric.type != 0 && !FieldFits(type, metric.field)) {
        command.reason = sentAs + " with its value in " + ValueFieldName(metric.field);
        return command;
    }
    command.value = FieldValue(metric, type);
    return command;
}

std::optional<int64_t> CommandWrite(const Metric &metric, const PollConfig &poll,
                                    std::string &shown, std::string &reason) {
    const CommandValue command = CommandValueOf(metric, MetricType(poll));
    if (!command.value) {
        reason = command.reason;
        return std::nullopt;
    }
    shown = Shown(*command.value);
    return RawFromValue(*command.value, poll.Format(), poll.scaling, reason);
}

} // namespace vpisd::gateway::sparkplug
