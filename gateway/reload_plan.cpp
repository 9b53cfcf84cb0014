#include "gateway/reload_plan.h"

#include <algorithm>

namespace vpisd::gateway {
namespace {

FrontEndChange Change(bool before, bool now, bool same) {
    if (!before)
        return now ? FrontEndChange::Start : FrontEndChange::None;
    if (!now)
        return FrontEndChange::Stop;
    return same ? FrontEndChange::Apply : FrontEndChange::Restart;
}

} // namespace

const char *FrontEndChangeName(FrontEndChange change) {
    switch (change) {
    case FrontEndChange::Start:
        return "start";
    case FrontEndChange::Stop:
        return "stop";
    case FrontEndChange::Apply:
        return "apply";
    case FrontEndChange::Restart:
        return "restart";
    case FrontEndChange::None:
        break;
    }
    return "none";
}

bool SameLineSettings(const LineConfig &a, const LineConfig &b) {
    LineConfig x = a;
    LineConfig y = b;
    x.plcs.clear();
    y.plcs.clear();
    x.fileLine = y.fileLine = 0;
    return x == y;
}

bool SameMqttSettings(const MqttConfig &a, const MqttConfig &b) {
    MqttConfig x = a;
    MqttConfig y = b;
    x.fileLine = y.fileLine = 0;
    return x == y;
}

bool SameSparkplugSettings(const SparkplugConfig &a, const SparkplugConfig &b) {
    SparkplugConfig x = a;
    SparkplugConfig y = b;
    x.fileLine = y.fileLine = 0;
    return x == y;
}

bool SamePolls(const std::vector<PollConfig> &a, const std::vector<PollConfig> &b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const PollConfig &x, const PollConfig &y) {
                          PollConfig u = x;
                          PollConfig v = y;
                          u.fileLine = v.fileLine = 0;
                          return u == v;
                      });
}

bool SameLinePolls(const Config &a, size_t lineA, const Config &b, size_t lineB) {
    const auto of = [](const Config &config, size_t line) {
        std::vector<PollConfig> polls;
        for (const PollConfig &poll : config.polls) {
            if (poll.line != line)
                continue;
            polls.push_back(poll);
            polls.back().line = 0; // wherever the line stands in the file
        }
        return polls;
    };
    return SamePolls(of(a, lineA), of(b, lineB));
}

size_t ReloadPlan::kept() const {
    return static_cast<size_t>(std::count_if(keptFrom.begin(), keptFrom.end(),
                                             [](const auto &from) { return from.has_value(); }));
}

std::string ReloadPlan::Describe() const {
    return std::to_string(kept()) + " lines kept, " + std::to_string(started()) + " started, " +
           std::to_string(stopped.size()) + " stopped";
}

ReloadPlan PlanReload(const Config &running, const std::vector<std::string> &runningInits,
                      const Config &next, const std::vector<std::string> &nextInits) {
    ReloadPlan plan;
    const auto initOf = [](const std::vector<std::string> &inits, size_t i) {
        return i < inits.size() ? inits[i] : std::string();
    };
    std::vector<bool> taken(running.lines.size(), false);
    plan.keptFrom.resize(next.lines.size());
    for (size_t i = 0; i < next.lines.size(); ++i) {
        for (size_t j = 0; j < running.lines.size(); ++j) {
            if (!taken[j] && SameLineSettings(next.lines[i], running.lines[j]) &&
                initOf(nextInits, i) == initOf(runningInits, j)) {
                plan.keptFrom[i] = j;
                taken[j] = true;
                break;
            }
        }
    }
    for (size_t j = 0; j < running.lines.size(); ++j) {
        if (!taken[j])
            plan.stopped.push_back(j);
    }
    plan.modbus = Change(!running.units.empty(), !next.units.empty(), true);
    plan.mqtt = Change(running.mqtt.has_value(), next.mqtt.has_value(),
                       running.mqtt && next.mqtt && SameMqttSettings(*running.mqtt, *next.mqtt));
    // Every line kept where it was: the edge node's pollers keep reading the same workers.
    bool sameLines = next.lines.size() == running.lines.size();
    for (size_t i = 0; i < plan.keptFrom.size(); ++i)
        sameLines = sameLines && plan.keptFrom[i] == i;
    plan.sparkplug = Change(running.sparkplug.has_value(), next.sparkplug.has_value(),
                            running.sparkplug && next.sparkplug &&
                                SameSparkplugSettings(*running.sparkplug, *next.sparkplug) &&
                                sameLines && SamePolls(running.polls, next.polls));
    plan.http = Change(running.http.has_value(), next.http.has_value(),
                       running.http && next.http && *running.http == *next.http);
    return plan;
}

} // namespace vpisd::gateway
