// Sparkplug B command payloads as any host may send them, written byte by byte: a metric's
// value in the field of the test's choice, its datatype given or left out (Sparkplug 3.0 hosts
// leave it out), which neither the gateway's encoder nor Tahu's would produce.
#pragma once

#include <cstdint>
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

// A Payload holding `metrics` (Metric: name 1, datatype 4, the value fields 10 to 15).
inline std::string WirePayload(const std::vector<WireMetric> &metrics) {
    using gateway::sparkplug::ValueField;
    const auto varint = [](std::string &out, uint64_t value) {
        for (; value >= 0x80; value >>= 7)
            out += static_cast<char>(value | 0x80);
        out += static_cast<char>(value);
    };
    const auto bytes = [&](std::string &out, uint8_t key, const std::string &text) {
        out += static_cast<char>(key);
        varint(out, text.size());
        out += text;
    };
    std::string payload;
    for (const WireMetric &metric : metrics) {
        std::string out;
        bytes(out, 0x0A, metric.name);
        if (metric.datatype) {
            out += '\x20';
            varint(out, *metric.datatype);
        }
        const float single = static_cast<float>(metric.real);
        switch (metric.field) {
        case ValueField::Int:
        case ValueField::Long:
        case ValueField::Boolean:
            out += metric.field == ValueField::Int    ? '\x50'
                   : metric.field == ValueField::Long ? '\x58'
                                                      : '\x70';
            varint(out, metric.integer);
            break;
        case ValueField::Float: // fixed32 and fixed64, little-endian as this machine
            out += '\x65';
            out.append(reinterpret_cast<const char *>(&single), 4);
            break;
        case ValueField::Double:
            out += '\x69';
            out.append(reinterpret_cast<const char *>(&metric.real), 8);
            break;
        case ValueField::String:
            bytes(out, 0x7A, metric.text);
            break;
        case ValueField::None:
            break;
        }
        bytes(payload, 0x12, out);
    }
    return payload;
}

} // namespace vpisd::test
