#include "gateway/sparkplug/sparkplug_payload.h"

#include <memory>

#include "sparkplug_b.pb-c.h"

namespace vpisd::gateway::sparkplug {
namespace {

using PbPayload = Vpisd__Sparkplug__Payload;
using PbMetric = Vpisd__Sparkplug__Payload__Metric;
using PbPropertySet = Vpisd__Sparkplug__Payload__PropertySet;
using PbPropertyValue = Vpisd__Sparkplug__Payload__PropertyValue;

constexpr const char *kQualityKey = "Quality";

// Everything one encoding points into: the protobuf-c records hold plain pointers, so their
// strings and sub-records live here until the bytes are packed.
struct Arena {
    std::vector<PbMetric> metrics;
    std::vector<PbMetric *> metricPointers;
    std::vector<PbPropertySet> sets;
    std::vector<PbPropertyValue> values;
    std::vector<PbPropertyValue *> valuePointers;
    std::vector<char *> keyPointers;
};

char *Text(const std::string &text) {
    return const_cast<char *>(text.c_str()); // protobuf-c only reads it while packing
}

void SetValue(const Metric &metric, PbMetric &out) {
    out.has_datatype = 1;
    out.datatype = metric.type;
    if (metric.isNull) {
        out.has_is_null = 1;
        out.is_null = 1;
        return;
    }
    switch (static_cast<DataType>(metric.type)) {
    case DataType::Int16:
    case DataType::Int32:
    case DataType::UInt16:
        // Signed values as 32-bit two's complement, as Sparkplug decoders read them back.
        out.value_case = VPISD__SPARKPLUG__PAYLOAD__METRIC__VALUE_INT_VALUE;
        out.int_value = static_cast<uint32_t>(static_cast<int32_t>(metric.integer));
        break;
    case DataType::Int64:
    case DataType::UInt32:
        // UInt32 travels in the 64-bit field, where Eclipse Tahu's codecs look for it.
        out.value_case = VPISD__SPARKPLUG__PAYLOAD__METRIC__VALUE_LONG_VALUE;
        out.long_value = static_cast<uint64_t>(metric.integer);
        break;
    case DataType::Float:
        out.value_case = VPISD__SPARKPLUG__PAYLOAD__METRIC__VALUE_FLOAT_VALUE;
        out.float_value = static_cast<float>(metric.real);
        break;
    case DataType::Double:
        out.value_case = VPISD__SPARKPLUG__PAYLOAD__METRIC__VALUE_DOUBLE_VALUE;
        out.double_value = metric.real;
        break;
    case DataType::Boolean:
        out.value_case = VPISD__SPARKPLUG__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE;
        out.boolean_value = metric.boolean ? 1 : 0;
        break;
    case DataType::String:
        out.value_case = VPISD__SPARKPLUG__PAYLOAD__METRIC__VALUE_STRING_VALUE;
        out.string_value = Text(metric.text);
        break;
    }
}

// The value of a received metric, in the field its sender chose.
void GetValue(const PbMetric &in, Metric &metric) {
    metric.isNull = in.has_is_null && in.is_null;
    switch (in.value_case) {
    case VPISD__SPARKPLUG__PAYLOAD__METRIC__VALUE_INT_VALUE:
        metric.field = ValueField::Int;
        metric.integer = metric.type == static_cast<uint32_t>(DataType::UInt16) ||
                                 metric.type == static_cast<uint32_t>(DataType::UInt32)
                             ? int64_t{in.int_value}
                             : int64_t{static_cast<int32_t>(in.int_value)};
        break;
    case VPISD__SPARKPLUG__PAYLOAD__METRIC__VALUE_LONG_VALUE:
        metric.field = ValueField::Long;
        metric.integer = static_cast<int64_t>(in.long_value);
        break;
    case VPISD__SPARKPLUG__PAYLOAD__METRIC__VALUE_FLOAT_VALUE:
        metric.field = ValueField::Float;
        metric.real = in.float_value;
        break;
    case VPISD__SPARKPLUG__PAYLOAD__METRIC__VALUE_DOUBLE_VALUE:
        metric.field = ValueField::Double;
        metric.real = in.double_value;
        break;
    case VPISD__SPARKPLUG__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE:
        metric.field = ValueField::Boolean;
        metric.boolean = in.boolean_value != 0;
        break;
    case VPISD__SPARKPLUG__PAYLOAD__METRIC__VALUE_STRING_VALUE:
        metric.field = ValueField::String;
        metric.text = in.string_value != nullptr ? in.string_value : "";
        break;
    default: // none, or one the gateway takes no value from (bytes)
        metric.isNull = metric.isNull || in.value_case == 0;
        break;
    }
}

Metric TypedMetric(std::string name, DataType type, uint64_t timestamp) {
    Metric metric;
    metric.name = std::move(name);
    metric.type = static_cast<uint32_t>(type);
    metric.timestamp = timestamp;
    return metric;
}

} // namespace

const char *DataTypeName(uint32_t type) {
    switch (static_cast<DataType>(type)) {
    case DataType::Int16:
        return "Int16";
    case DataType::Int32:
        return "Int32";
    case DataType::Int64:
        return "Int64";
    case DataType::UInt16:
        return "UInt16";
    case DataType::UInt32:
        return "UInt32";
    case DataType::Float:
        return "Float";
    case DataType::Double:
        return "Double";
    case DataType::Boolean:
        return "Boolean";
    case DataType::String:
        return "String";
    }
    return "Unknown";
}

const char *ValueFieldName(ValueField field) {
    switch (field) {
    case ValueField::Int:
        return "int_value";
    case ValueField::Long:
        return "long_value";
    case ValueField::Float:
        return "float_value";
    case ValueField::Double:
        return "double_value";
    case ValueField::Boolean:
        return "boolean_value";
    case ValueField::String:
        return "string_value";
    case ValueField::None:
        break;
    }
    return "no value field";
}

std::optional<double> Metric::Number() const {
    if (isNull)
        return std::nullopt;
    switch (static_cast<DataType>(type)) {
    case DataType::Int16:
    case DataType::Int32:
    case DataType::Int64:
    case DataType::UInt16:
    case DataType::UInt32:
        return static_cast<double>(integer);
    case DataType::Float:
    case DataType::Double:
        return real;
    case DataType::Boolean:
        return boolean ? 1.0 : 0.0;
    case DataType::String:
        break;
    }
    return std::nullopt;
}

std::vector<uint8_t> Encode(const Payload &payload) {
    Arena arena;
    const size_t count = payload.metrics.size();
    arena.metrics.assign(count, PbMetric VPISD__SPARKPLUG__PAYLOAD__METRIC__INIT);
    arena.sets.assign(count, PbPropertySet VPISD__SPARKPLUG__PAYLOAD__PROPERTY_SET__INIT);
    arena.values.assign(count, PbPropertyValue VPISD__SPARKPLUG__PAYLOAD__PROPERTY_VALUE__INIT);
    arena.valuePointers.resize(count);
    arena.keyPointers.assign(count, const_cast<char *>(kQualityKey));
    for (size_t i = 0; i < count; ++i) {
        const Metric &metric = payload.metrics[i];
        PbMetric &out = arena.metrics[i];
        out.name = Text(metric.name);
        if (metric.timestamp != 0) {
            out.has_timestamp = 1;
            out.timestamp = metric.timestamp;
        }
        SetValue(metric, out);
        if (metric.quality) {
            PbPropertyValue &value = arena.values[i];
            value.has_type = 1;
            value.type = static_cast<uint32_t>(DataType::Int32);
            value.value_case = VPISD__SPARKPLUG__PAYLOAD__PROPERTY_VALUE__VALUE_INT_VALUE;
            value.int_value = static_cast<uint32_t>(*metric.quality);
            arena.valuePointers[i] = &value;
            PbPropertySet &set = arena.sets[i];
            set.n_keys = 1;
            set.keys = &arena.keyPointers[i];
            set.n_values = 1;
            set.values = &arena.valuePointers[i];
            out.properties = &set;
        }
        arena.metricPointers.push_back(&out);
    }
    PbPayload out = VPISD__SPARKPLUG__PAYLOAD__INIT;
    if (payload.timestamp != 0) {
        out.has_timestamp = 1;
        out.timestamp = payload.timestamp;
    }
    if (payload.seq) {
        out.has_seq = 1;
        out.seq = *payload.seq;
    }
    out.n_metrics = count;
    out.metrics = arena.metricPointers.data();
    std::vector<uint8_t> bytes(vpisd__sparkplug__payload__get_packed_size(&out));
    vpisd__sparkplug__payload__pack(&out, bytes.data());
    return bytes;
}

std::optional<Payload> Decode(std::span<const uint8_t> bytes) {
    const std::unique_ptr<PbPayload, void (*)(PbPayload *)> in(
        vpisd__sparkplug__payload__unpack(nullptr, bytes.size(), bytes.data()),
        [](PbPayload *p) { vpisd__sparkplug__payload__free_unpacked(p, nullptr); });
    if (!in)
        return std::nullopt;
    Payload payload;
    payload.timestamp = in->has_timestamp ? in->timestamp : 0;
    if (in->has_seq)
        payload.seq = in->seq;
    for (size_t i = 0; i < in->n_metrics; ++i) {
        const PbMetric &pb = *in->metrics[i];
        Metric metric;
        metric.name = pb.name != nullptr ? pb.name : "";
        metric.type = pb.has_datatype ? pb.datatype : 0;
        metric.timestamp = pb.has_timestamp ? pb.timestamp : 0;
        GetValue(pb, metric);
        payload.metrics.push_back(std::move(metric));
    }
    return payload;
}

Metric IntegerMetric(std::string name, DataType type, int64_t value, uint64_t timestamp) {
    Metric metric = TypedMetric(std::move(name), type, timestamp);
    metric.integer = value;
    return metric;
}

Metric RealMetric(std::string name, DataType type, double value, uint64_t timestamp) {
    Metric metric = TypedMetric(std::move(name), type, timestamp);
    metric.real = value;
    return metric;
}

Metric BooleanMetric(std::string name, bool value, uint64_t timestamp) {
    Metric metric = TypedMetric(std::move(name), DataType::Boolean, timestamp);
    metric.boolean = value;
    return metric;
}

} // namespace vpisd::gateway::sparkplug
