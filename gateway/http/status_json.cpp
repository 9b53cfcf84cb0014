#include "gateway/http/status_json.h"

#include <nlohmann/json.hpp>

#include <ctime>

namespace vpisd::gateway {
namespace {

using nlohmann::json;

constexpr const char *kStateNames[] = {"up", "down", "reopening"}; // by LineState

// "2026-12-07T10:15:02Z": UTC.
std::string UtcText(WallClock::time_point when) {
    const std::time_t seconds = WallClock::to_time_t(when);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

json OrNull(const std::optional<std::string> &text) {
    return text ? json(*text) : json(nullptr);
}

json TimeOrNull(const std::optional<WallClock::time_point> &when) {
    return when ? json(UtcText(*when)) : json(nullptr);
}

void AddCounts(json &object, const RequestCounts &counts) {
    object["requests"] = counts.requests;
    object["ok"] = counts.ok;
    object["refused"] = counts.refused;
    object["no_answer"] = counts.noAnswer;
    object["busy"] = counts.busy;
    object["rejected"] = counts.rejected;
    object["median_ms"] = counts.medianMs;
}

const char *RouteName(bool backup) {
    return backup ? "backup" : "normal";
}

// A PLC of the line: its route, and how it has been answering.
json PlcJson(const PlcRoute &route) {
    const PlcHealthSnapshot &health = route.health;
    return {{"plc", route.plc},
            {"route", RouteName(route.backup)},
            {"state", PlcStateName(health.state)},
            {"since", UtcText(health.since)},
            {"last_success", TimeOrNull(health.lastSuccess)},
            {"last_error", health.lastError ? json{{"what", *health.lastError},
                                                   {"at", UtcText(health.lastErrorAt)}}
                                            : json(nullptr)},
            {"demotions", health.demotions}};
}

json LineJson(const LineSnapshot &line) {
    json object = {{"name", line.name},
                   {"port", line.port},
                   {"state", kStateNames[static_cast<size_t>(line.worker.state)]},
                   {"last_error", OrNull(line.worker.lastError)},
                   {"last_error_at",
                    line.worker.lastError ? json(UtcText(line.worker.lastErrorAt)) : json(nullptr)},
                   {"queue_depth", line.worker.queueDepth},
                   {"transactions", line.transactions},
                   {"answered", line.answered},
                   {"merged", line.merged},
                   {"stored", line.stored},
                   {"held", line.held},
                   {"busy_s", line.busyS},
                   {"requests_per_s", line.requestsPerS},
                   {"busy_share", line.busyShare}};
    AddCounts(object, line.requests);
    object["plcs"] = json::array();
    for (const PlcRoute &route : line.plcs)
        object["plcs"].push_back(PlcJson(route));
    return object;
}

json UnitJson(const UnitSnapshot &unit) {
    json object = {{"id", unit.id},
                   {"line", unit.line},
                   {"plc", unit.plc},
                   {"route", RouteName(unit.backupRoute)}};
    AddCounts(object, unit.requests);
    object["last_failure"] = unit.lastFailure ? json{{"outcome", unit.lastFailure->outcome},
                                                     {"at", UtcText(unit.lastFailure->at)}}
                                              : json(nullptr);
    return object;
}

json MqttJson(const MqttSnapshot &mqtt) {
    json object = {{"broker", mqtt.broker}, {"connected", true}, {"last_error", nullptr}};
    json lines = json::array();
    for (const MqttLineSnapshot &line : mqtt.lines) {
        object["connected"] = object["connected"].get<bool>() && line.connected;
        if (object["last_error"].is_null() && line.lastError)
            object["last_error"] = *line.lastError;
        lines.push_back({{"line", line.line},
                         {"connected", line.connected},
                         {"publishes", line.publishes},
                         {"last_error", OrNull(line.lastError)}});
    }
    object["lines"] = std::move(lines);
    return object;
}

json SparkplugJson(const SparkplugSnapshot &sparkplug) {
    json messages = json::object();
    for (const auto &[type, count] : sparkplug.messages)
        messages[type] = count;
    return {{"broker", sparkplug.broker},
            {"connected", sparkplug.connected},
            {"bdSeq", sparkplug.bdSeq ? json(*sparkplug.bdSeq) : json(nullptr)},
            {"last_error", OrNull(sparkplug.lastError)},
            {"messages", std::move(messages)}};
}

} // namespace

std::string StatusJson(const GatewayStatus &status) {
    json object = {
        {"version", status.version},
        {"config", status.config},
        {"uptime_s", status.uptimeS},
        {"lines", json::array()},
        {"units", json::array()},
        {"modbus_clients", json::array()},
        {"mqtt", status.mqtt ? MqttJson(*status.mqtt) : json(nullptr)},
        {"sparkplug", status.sparkplug ? SparkplugJson(*status.sparkplug) : json(nullptr)}};
    for (const LineSnapshot &line : status.lines)
        object["lines"].push_back(LineJson(line));
    for (const UnitSnapshot &unit : status.units)
        object["units"].push_back(UnitJson(unit));
    for (const ModbusClientSnapshot &client : status.modbusClients)
        object["modbus_clients"].push_back({{"address", client.address},
                                            {"since", UtcText(client.since)},
                                            {"requests", client.requests}});
    // Texts from outside (a holder's process name, a device path) may not be UTF-8: such bytes
    // become U+FFFD rather than failing the whole answer.
    return object.dump(-1, ' ', false, json::error_handler_t::replace);
}

} // namespace vpisd::gateway
