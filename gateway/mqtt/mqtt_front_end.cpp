#include "gateway/mqtt/mqtt_front_end.h"

#include <algorithm>

#include "gateway/log.h"
#include "host/endpoint.h"

namespace vpisd::gateway {
namespace {

// The line of `config` named `name`, if any.
std::optional<size_t> LineNamed(const Config &config, const std::string &name) {
    for (size_t i = 0; i < config.lines.size(); ++i) {
        if (config.lines[i].name == name)
            return i;
    }
    return std::nullopt;
}

} // namespace

MqttFrontEnd::MqttFrontEnd(const MqttConfig &mqtt)
    : broker_(host::EndpointText(mqtt.host, mqtt.port)) {}

MqttFrontEnd::~MqttFrontEnd() {
    Stop();
}

std::unique_ptr<MqttLine>
MqttFrontEnd::MakeLine(const ServedLines &lines, size_t line,
                       const std::shared_ptr<const DiscoveryPlan> &discovery) {
    return std::make_unique<MqttLine>(lines.config, line, *lines.workers[line],
                                      *lines.pollers[line], discovery,
                                      LineClientId(*lines.config, line), statistics_);
}

bool MqttFrontEnd::Start(const ServedLines &lines, std::string &error) {
    const std::shared_ptr<const DiscoveryPlan> discovery = PlanDiscovery(*lines.config);
    std::vector<std::unique_ptr<MqttLine>> made;
    for (size_t i = 0; i < lines.config->lines.size(); ++i)
        made.push_back(MakeLine(lines, i, discovery));
    {
        std::lock_guard lock(linesMutex_);
        lines_ = std::move(made);
    }
    for (auto &line : lines_) {
        if (!line->Start(error))
            return false;
    }
    return true;
}

void MqttFrontEnd::Prepare(const ReloadPlan &plan, const std::shared_ptr<const Config> &next) {
    // lines_[j] serves the running configuration's line j.
    for (size_t j = 0; j < lines_.size(); ++j) {
        const bool stops =
            std::find(plan.stopped.begin(), plan.stopped.end(), j) != plan.stopped.end();
        lines_[j]->Prepare(next, LineNamed(*next, lines_[j]->name()), stops);
    }
}

void MqttFrontEnd::Apply(const ServedLines &lines) {
    const Config &config = *lines.config;
    std::vector<std::unique_ptr<MqttLine>> kept(config.lines.size());
    std::vector<std::unique_ptr<MqttLine>> gone;
    {
        std::lock_guard lock(linesMutex_);
        for (auto &line : lines_) {
            const std::optional<size_t> at = LineNamed(config, line->name());
            // A line whose client id changes (the gateway gained or lost its only line)
            // connects anew under the new one.
            if (at && !kept[*at] && LineClientId(config, *at) == line->clientId())
                kept[*at] = std::move(line);
            else
                gone.push_back(std::move(line));
        }
        lines_.clear();
    }
    // Built once for every line of the configuration.
    const std::shared_ptr<const DiscoveryPlan> discovery = PlanDiscovery(config);
    for (auto &line : gone) {
        line->ClearDiscovery(discovery->topics);
        line->Stop();
    }
    std::vector<MqttLine *> started;
    for (size_t i = 0; i < kept.size(); ++i) {
        if (kept[i]) {
            kept[i]->Rebind(lines.config, i, *lines.workers[i], *lines.pollers[i], discovery);
            continue;
        }
        kept[i] = MakeLine(lines, i, discovery);
        started.push_back(kept[i].get());
    }
    {
        std::lock_guard lock(linesMutex_);
        lines_ = std::move(kept);
    }
    // The stopped lines are destroyed now: an answer still owed to one of them goes into the
    // inbox it shares with the job, which outlives it.
    gone.clear();
    for (MqttLine *line : started) {
        std::string error;
        if (!line->Start(error))
            Log(Level::Error, line->name(), error);
    }
}

void MqttFrontEnd::Stop() {
    for (auto &line : lines_)
        line->Stop();
}

MqttSnapshot MqttFrontEnd::Status() const {
    MqttSnapshot status{broker_, {}};
    std::lock_guard lock(linesMutex_);
    for (const auto &line : lines_)
        status.lines.push_back(line->Status());
    return status;
}

std::string LineClientId(const Config &config, size_t line) {
    const std::string &id = config.mqtt->clientId;
    return config.lines.size() == 1 ? id : id + "-" + config.lines[line].name;
}

} // namespace vpisd::gateway
