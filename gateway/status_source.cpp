#include "gateway/status_source.h"

#include <algorithm>

namespace vpisd::gateway {
namespace {

// Every PLC a unit or a poll group of `line` names, in the order the file names them.
std::vector<std::string> PlcsOf(const Config &config, size_t line) {
    std::vector<std::string> plcs;
    const auto add = [&](size_t of, const std::string &plc) {
        if (of == line && std::find(plcs.begin(), plcs.end(), plc) == plcs.end())
            plcs.push_back(plc);
    };
    for (const UnitConfig &unit : config.units)
        add(unit.line, unit.plc);
    for (const PollConfig &poll : config.polls)
        add(poll.line, poll.plc);
    return plcs;
}

} // namespace

GatewayStatus CollectStatus(const StatusSources &sources) {
    const Config &config = *sources.config;
    GatewayStatus status;
    status.version = VPISD_VERSION;
    status.uptimeS =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - sources.started).count();
    for (size_t i = 0; i < config.lines.size() && i < sources.workers->size(); ++i) {
        const LineWorker &worker = *(*sources.workers)[i];
        LineSnapshot line;
        line.name = config.lines[i].name;
        line.port = config.lines[i].port;
        line.worker = worker.Status();
        const LineCounters &counters = worker.counters();
        line.transactions = counters.transactions;
        line.answered = counters.answered;
        line.merged = counters.merged;
        line.stored = counters.stored;
        line.held = counters.held;
        if (sources.statistics != nullptr)
            line.requests = sources.statistics->LineCounts(line.name);
        line.busyS = worker.activity().busyTotalS();
        const LineActivity::Minute minute =
            worker.activity().LastMinute(std::chrono::steady_clock::now());
        line.requestsPerS = minute.requestsPerS;
        line.busyShare = minute.busyShare;
        std::vector<PlcHealthSnapshot> health = worker.health().Snapshot();
        for (const std::string &plc : PlcsOf(config, i)) {
            if (std::none_of(health.begin(), health.end(),
                             [&](const PlcHealthSnapshot &known) { return known.plc == plc; })) {
                PlcHealthSnapshot unknown;
                unknown.plc = plc;
                unknown.since = worker.health().born();
                health.push_back(std::move(unknown));
            }
        }
        for (PlcHealthSnapshot &plc : health) {
            const auto &routes = line.worker.backupRoutes;
            const auto found = std::find_if(routes.begin(), routes.end(), [&](const auto &route) {
                return route.first == plc.plc;
            });
            const std::string name = plc.plc;
            line.plcs.push_back({name, found != routes.end() && found->second, std::move(plc)});
        }
        status.lines.push_back(std::move(line));
    }
    for (const UnitConfig &entry : config.units) {
        UnitSnapshot unit;
        unit.id = entry.id;
        unit.plc = entry.plc;
        if (entry.line < status.lines.size()) {
            const LineSnapshot &line = status.lines[entry.line];
            unit.line = line.name;
            for (const PlcRoute &route : line.plcs)
                unit.backupRoute = unit.backupRoute || (route.plc == unit.plc && route.backup);
        }
        if (sources.statistics != nullptr)
            unit.requests = sources.statistics->UnitCounts(unit.id, unit.lastFailure);
        status.units.push_back(std::move(unit));
    }
    if (sources.modbus != nullptr)
        status.modbusClients = sources.modbus->Clients();
    if (sources.mqtt != nullptr)
        status.mqtt = sources.mqtt->Status();
    if (sources.sparkplug != nullptr)
        status.sparkplug = sources.sparkplug->Status();
    return status;
}

} // namespace vpisd::gateway
