// Sparkplug B command payloads as any host may send them, written byte by byte: a metric's
// value in the field of the test's choice, its datatype given or left out (Sparkplug 3.0 hosts
// leave it out), which neither the gateway's encoder nor Tahu's would produce.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "gateway/sparkplug/sparkplug_payload.h"

namespace vpisd::test {

struct WireMetric {
    std::string name{};
    std::optional<uint32_t> datatype{};
    gateway::sparkplug::ValueField field = gateway::sparkplug::ValueField::None;
    uint64_t integer = 0; // Int, Long, Boolean
    double real = 0;      // Float, Double
    std::string text{};   // String
};

namespace wire {

inline void Varint(std::vector<uint8_t> &out, uint64_t value) {
    for (; value >= 0x80; value >>= 7)
        out.push_back(static_cast<uint8_t>(value | 0x80));
    out.push_back(static_cast<uint8_t>(value));
}

inline void Key(std::vector<uint8_t> &out, uint32_t number, uint32_t wireType) {
    Varint(out, (number << 3) | wireType);
}

inline void Bytes(std::vector<uint8_t> &out, uint32_t number, const std::string &bytes) {
    Key(out, number, 2);
    Varint(out, bytes.size());
    out.insert(out.end(), bytes.begin(), bytes.end());
}

template <typename T> void Fixed(std::vector<uint8_t> &out, uint32_t number, T value) {
    Key(out, number, sizeof(T) == 4 ? 5 : 1);
    uint8_t bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T)); // little-endian, as protobuf and this machine
    out.insert(out.end(), bytes, bytes + sizeof(T));
}

} // namespace wire

// A Payload holding `metrics` (its Metric fields: name 1, datatype 4, values 10 to 15).
inline std::string WirePayload(const std::vector<WireMetric> &metrics) {
    using gateway::sparkplug::ValueField;
    std::vector<uint8_t> payload;
    for (const WireMetric &metric : metrics) {
        std::vector<uint8_t> out;
        wire::Bytes(out, 1, metric.name);
        if (metric.datatype) {
            wire::Key(out, 4, 0);
            wire::Varint(out, *metric.datatype);
        }
        switch (metric.field) {
        case ValueField::Int:
        case ValueField::Long:
        case ValueField::Boolean:
            wire::Key(out,
                      metric.field == ValueField::Int    ? 10
                      : metric.field == ValueField::Long ? 11
                                                         : 14,
                      0);
            wire::Varint(out, metric.integer);
            break;
        case ValueField::Float:
            wire::Fixed(out, 12, static_cast<float>(metric.real));
            break;
        case ValueField::Double:
            wire::Fixed(out, 13, metric.real);
            break;
        case ValueField::String:
            wire::Bytes(out, 15, metric.text);
            break;
        case ValueField::None:
            break;
        }
        wire::Bytes(payload, 2, std::string(out.begin(), out.end()));
    }
    return std::string(payload.begin(), payload.end());
}

} // namespace vpisd::test
