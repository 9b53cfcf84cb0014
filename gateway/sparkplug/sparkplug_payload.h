// Sparkplug B payloads in plain records, and their protobuf encoding (through protobuf-c, from
// sparkplug_b.proto). The gateway writes births, data and deaths and reads commands; nothing
// else of the protobuf types leaks out of sparkplug_payload.cpp.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vpisd::gateway::sparkplug {

// The Sparkplug datatypes the gateway uses, with their numbers on the wire.
enum class DataType : uint32_t {
    Int16 = 2,
    Int32 = 3,
    Int64 = 4,
    UInt16 = 6,
    UInt32 = 7,
    Float = 9,
    Double = 10,
    Boolean = 11,
    String = 12,
};

// "Int16", "UInt32", ...; "Unknown" for a number the gateway does not use.
const char *DataTypeName(uint32_t type);

// The field of a metric that carries its value on the wire.
enum class ValueField : uint8_t { None, Int, Long, Float, Double, Boolean, String };

// "int_value", "double_value", ...: the field's name in the payload definition.
const char *ValueFieldName(ValueField field);

// Sparkplug's quality codes, carried as the metric property "Quality" (Int32).
constexpr int32_t kQualityBad = 0;
constexpr int32_t kQualityGood = 192;

struct Metric {
    std::string name;
    uint32_t type = static_cast<uint32_t>(DataType::Int32); // a DataType, what a host sent, 0: none
    uint64_t timestamp = 0;                                 // ms since the Unix epoch; 0: none
    bool isNull = false;
    // The value, by type: integer types in `integer` (signed types sign-extended), Float and
    // Double in `real`, Boolean in `boolean`, String in `text`.
    int64_t integer = 0;
    double real = 0;
    bool boolean = false;
    std::string text;
    std::optional<int32_t> quality; // the "Quality" property, when set
    // Of a received metric: the field its value came in (an int_value sign-extended unless
    // its datatype is unsigned). The gateway's own metrics send the field of their type.
    ValueField field = ValueField::None;

    // The value as a number (Boolean 0 or 1); nullopt for a null, a String or an unknown type.
    std::optional<double> Number() const;
};

struct Payload {
    uint64_t timestamp = 0; // ms since the Unix epoch; 0: none
    std::optional<uint64_t> seq;
    std::vector<Metric> metrics;
};

std::vector<uint8_t> Encode(const Payload &payload);
// nullopt for bytes that are not a Payload.
std::optional<Payload> Decode(std::span<const uint8_t> bytes);

// Helpers for the values the gateway sends.
Metric IntegerMetric(std::string name, DataType type, int64_t value, uint64_t timestamp);
Metric RealMetric(std::string name, DataType type, double value, uint64_t timestamp);
Metric BooleanMetric(std::string name, bool value, uint64_t timestamp);

} // namespace vpisd::gateway::sparkplug
