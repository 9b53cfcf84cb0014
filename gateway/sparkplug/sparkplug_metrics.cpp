#include "gateway/sparkplug/sparkplug_metrics.h"

#include <string>

#include "host/scaling.h"

namespace vpisd::gateway::sparkplug {

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

} // namespace vpisd::gateway::sparkplug
