// Sparkplug B command payloads as any host may send them, written byte by byte: a metric's
// value in the field of the test's choice, its datatype given or left out (Sparkplug 3.0 hosts
// leave it out), which neither the gateway's encoder nor Tahu's would produce.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
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

// A Payload holding `metrics` (Metric: name 1, datatype 4, the value fields 10 to 15 in the order
// of ValueField).
inline std::vector<uint8_t> WirePayload(const std::vector<WireMetric> &metrics) {
    using gateway::sparkplug::ValueField;
    const auto varint = [](std::string &out, uint64_t value) {
        for (; value >= 0x80; value >>= 7)
            out += static_cast<char>(value | 0x80);
        out += static_cast<char>(value);
    };
    const auto bytes = [&](std::string &out, int key, std::string_view text) {
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
        const int key = (9 + static_cast<int>(metric.field)) << 3;
        const float single = static_cast<float>(metric.real);
        const bool isFloat = metric.field == ValueField::Float;
        if (isFloat || metric.field == ValueField::Double) { // fixed32, fixed64: little-endian
            out += static_cast<char>(key | (isFloat ? 5 : 1));
            out.append(isFloat ? reinterpret_cast<const char *>(&single)
                               : reinterpret_cast<const char *>(&metric.real),
                       isFloat ? 4 : 8);
        } else if (metric.field == ValueField::String) {
            bytes(out, key | 2, metric.text);
        } else if (metric.field != ValueField::None) { // Int, Long, Boolean
            out += static_cast<char>(key);
            varint(out, metric.integer);
        }
        bytes(payload, 0x12, out);
    }
    return {payload.begin(), payload.end()};
}

} // namespace vpisd::test
