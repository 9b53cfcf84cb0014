#include "gateway/http/metrics.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <initializer_list>
#include <utility>

namespace vpisd::gateway {
namespace {

using Labels = std::initializer_list<std::pair<const char *, std::string>>;

// A label value with backslash, double quote and line feed escaped.
std::string Quoted(const std::string &value) {
    std::string text = "\"";
    for (char c : value) {
        if (c == '\\' || c == '"')
            text += {'\\', c};
        else if (c == '\n')
            text += "\\n";
        else
            text += c;
    }
    return text + "\"";
}

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

class Writer {
  public:
    void Family(const char *name, const char *type, const char *help) {
        text_ +=
            std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void Sample(const std::string &name, Labels labels, const std::string &value) {
        text_ += name;
        if (labels.size() != 0) {
            const char *separator = "{";
            for (const auto &[label, labelValue] : labels) {
                text_ += std::string(separator) + label + "=" + Quoted(labelValue);
                separator = ",";
            }
            text_ += "}";
        }
        text_ += " " + value + "\n";
    }
    void Sample(const std::string &name, Labels labels, uint64_t value) {
        Sample(name, labels, std::to_string(value));
    }
    std::string &text() { return text_; }

  private:
    std::string text_;
};

struct OutcomeCount {
    const char *outcome;
    uint64_t RequestCounts::*count;
};
constexpr OutcomeCount kOutcomes[] = {{"ok", &RequestCounts::ok},
                                      {"refused", &RequestCounts::refused},
                                      {"no_answer", &RequestCounts::noAnswer},
                                      {"busy", &RequestCounts::busy},
                                      {"rejected", &RequestCounts::rejected}};

// One counter of the line worker, every line having its series.
struct LineCounter {
    const char *name;
    const char *help;
    uint64_t LineSnapshot::*count;
};
constexpr LineCounter kLineCounters[] = {
    {"vpisd_line_transactions_total", "Driver read and write calls made on the line.",
     &LineSnapshot::transactions},
    {"vpisd_line_merged_total", "Requests answered by a block read shared with other requests.",
     &LineSnapshot::merged},
    {"vpisd_line_stored_answers_total",
     "Requests answered from values read at most max_age_ms before.", &LineSnapshot::stored},
    {"vpisd_line_held_refusals_total",
     "Requests refused at once, their range being held after a refusal.", &LineSnapshot::held},
};

void WriteHistogram(Writer &w, const LineSnapshot &line) {
    const char *name = "vpisd_request_duration_seconds";
    uint64_t cumulative = 0;
    for (size_t i = 0; i < kDurationBoundsS.size(); ++i) {
        cumulative += line.requests.durations[i];
        w.Sample(std::string(name) + "_bucket",
                 {{"line", line.name}, {"le", Number(kDurationBoundsS[i])}}, cumulative);
    }
    cumulative += line.requests.durations.back();
    w.Sample(std::string(name) + "_bucket", {{"line", line.name}, {"le", "+Inf"}}, cumulative);
    w.Sample(std::string(name) + "_sum", {{"line", line.name}}, Number(line.requests.durationSumS));
    w.Sample(std::string(name) + "_count", {{"line", line.name}}, cumulative);
}

// The MQTT side's polls and writes per PLC: the polls of every PLC a group reads, the writes of
// those and of any other PLC of the line once written to.
void WriteMqttPlcCounts(Writer &w, const MqttSnapshot &mqtt) {
    const char *polls = "vpisd_mqtt_polls_total";
    w.Family(polls, "counter",
             "MQTT poll group reads of the PLC, by the quality published (good: answered).");
    for (const MqttLineSnapshot &line : mqtt.lines) {
        for (const MqttPlcCounts &plc : line.plcs) {
            if (!plc.polled)
                continue;
            for (const auto &[quality, count] : plc.polls)
                w.Sample(polls, {{"line", line.line}, {"plc", plc.plc}, {"quality", quality}},
                         count);
        }
    }
    const char *writes = "vpisd_mqtt_writes_total";
    w.Family(writes, "counter", "MQTT /set writes to the PLC, by the result published.");
    for (const MqttLineSnapshot &line : mqtt.lines) {
        for (const MqttPlcCounts &plc : line.plcs) {
            const bool any = std::any_of(plc.writes.begin(), plc.writes.end(),
                                         [](const auto &write) { return write.second > 0; });
            if (!plc.polled && !any)
                continue;
            for (const auto &[result, count] : plc.writes)
                w.Sample(writes, {{"line", line.line}, {"plc", plc.plc}, {"result", result}},
                         count);
        }
    }
}

// Unix time in seconds, to the millisecond.
std::string UnixSeconds(WallClock::time_point when) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%03lld", static_cast<long long>(ms / 1000),
                  static_cast<long long>(ms % 1000));
    return text;
}

// How each PLC has been answering, and how much of its line's time went to transactions.
void WritePlcHealth(Writer &w, const GatewayStatus &status) {
    w.Family("vpisd_plc_up", "gauge",
             "1 when the PLC answered its latest transaction, else 0 (silent, demoted, unknown).");
    for (const LineSnapshot &line : status.lines) {
        for (const PlcRoute &route : line.plcs)
            w.Sample("vpisd_plc_up", {{"line", line.name}, {"plc", route.plc}},
                     route.health.state == PlcState::Answering ? 1 : 0);
    }
    w.Family("vpisd_plc_last_success_timestamp_seconds", "gauge",
             "Unix time of the PLC's latest answered transaction.");
    for (const LineSnapshot &line : status.lines) {
        for (const PlcRoute &route : line.plcs) {
            if (route.health.lastSuccess)
                w.Sample("vpisd_plc_last_success_timestamp_seconds",
                         {{"line", line.name}, {"plc", route.plc}},
                         UnixSeconds(*route.health.lastSuccess));
        }
    }
    w.Family("vpisd_plc_demotions_total", "counter",
             "Times the PLC was demoted for staying silent.");
    for (const LineSnapshot &line : status.lines) {
        for (const PlcRoute &route : line.plcs)
            w.Sample("vpisd_plc_demotions_total", {{"line", line.name}, {"plc", route.plc}},
                     route.health.demotions);
    }
    w.Family("vpisd_line_busy_seconds_total", "counter", "Time the line spent in transactions.");
    for (const LineSnapshot &line : status.lines)
        w.Sample("vpisd_line_busy_seconds_total", {{"line", line.name}}, Number(line.busyS));
}

void WriteBuildInfo(Writer &w, const GatewayStatus &status) {
    w.Family("vpisd_build_info", "gauge", "Always 1; the version of the running gateway.");
    w.Sample("vpisd_build_info", {{"version", status.version}}, 1);
}

} // namespace

std::string FormatMetrics(const GatewayStatus &status) {
    Writer w;
    w.Family("vpisd_line_up", "gauge", "1 when the line's device is open, else 0.");
    for (const LineSnapshot &line : status.lines)
        w.Sample("vpisd_line_up", {{"line", line.name}},
                 line.worker.state == LineState::Up ? 1 : 0);
    for (const LineCounter &counter : kLineCounters) {
        w.Family(counter.name, "counter", counter.help);
        for (const LineSnapshot &line : status.lines)
            w.Sample(counter.name, {{"line", line.name}}, line.*counter.count);
    }
    w.Family("vpisd_line_queue_depth", "gauge",
             "Requests waiting for the line, not counting the one on the line.");
    for (const LineSnapshot &line : status.lines)
        w.Sample("vpisd_line_queue_depth", {{"line", line.name}}, line.worker.queueDepth);

    w.Family("vpisd_requests_total", "counter", "Modbus requests answered, by outcome.");
    for (const UnitSnapshot &unit : status.units) {
        for (const OutcomeCount &outcome : kOutcomes)
            w.Sample("vpisd_requests_total",
                     {{"line", unit.line},
                      {"unit", std::to_string(unit.id)},
                      {"outcome", outcome.outcome}},
                     unit.requests.*outcome.count);
    }
    w.Family("vpisd_request_duration_seconds", "histogram",
             "Time from a Modbus request's arrival to its answer (requests that went to a line).");
    for (const LineSnapshot &line : status.lines)
        WriteHistogram(w, line);
    w.Family("vpisd_plc_backup_route", "gauge",
             "1 when the driver uses the PLC's backup route (as of its latest transaction).");
    for (const LineSnapshot &line : status.lines) {
        for (const PlcRoute &route : line.plcs)
            w.Sample("vpisd_plc_backup_route", {{"line", line.name}, {"plc", route.plc}},
                     route.backup ? 1 : 0);
    }
    WritePlcHealth(w, status);
    WriteBuildInfo(w, status);
    w.Family("vpisd_modbus_clients", "gauge", "Modbus TCP connections open.");
    w.Sample("vpisd_modbus_clients", {}, status.modbusClients.size());
    if (status.mqtt) {
        w.Family("vpisd_mqtt_connected", "gauge", "1 when the line's broker connection is up.");
        for (const MqttLineSnapshot &line : status.mqtt->lines)
            w.Sample("vpisd_mqtt_connected", {{"line", line.line}}, line.connected ? 1 : 0);
        w.Family("vpisd_mqtt_publishes_total", "counter", "Messages published for the line.");
        for (const MqttLineSnapshot &line : status.mqtt->lines)
            w.Sample("vpisd_mqtt_publishes_total", {{"line", line.line}}, line.publishes);
        WriteMqttPlcCounts(w, *status.mqtt);
    }
    if (status.sparkplug) {
        w.Family("vpisd_sparkplug_connected", "gauge",
                 "1 when the Sparkplug edge node's broker connection is up.");
        w.Sample("vpisd_sparkplug_connected", {}, status.sparkplug->connected ? 1 : 0);
        w.Family("vpisd_sparkplug_messages_total", "counter",
                 "Sparkplug messages published (NBIRTH, DBIRTH, DDATA, DDEATH, NDEATH) and "
                 "received (NCMD, DCMD, STATE), by type.");
        for (const auto &[type, count] : status.sparkplug->messages)
            w.Sample("vpisd_sparkplug_messages_total", {{"type", type}}, count);
    }
    return std::move(w.text());
}

} // namespace vpisd::gateway
