#include "gateway/mqtt/mqtt_front_end.h"
#include "host/endpoint.h"

namespace vpisd::gateway {

MqttFrontEnd::MqttFrontEnd(const Config &config, std::vector<std::unique_ptr<LineWorker>> &workers)
    : broker_(host::EndpointText(config.mqtt->host, config.mqtt->port)) {
    for (size_t i = 0; i < config.lines.size(); ++i)
        lines_.push_back(std::make_unique<MqttLine>(config, i, *workers[i], LineClientId(config, i),
                                                    statistics_));
}

bool MqttFrontEnd::Start(std::string &error) {
    for (auto &line : lines_) {
        if (!line->Start(error))
            return false;
    }
    return true;
}

void MqttFrontEnd::Stop() {
    for (auto &line : lines_)
        line->Stop();
}

void MqttFrontEnd::SetWriteRights(const std::shared_ptr<const Config> &config) {
    for (auto &line : lines_)
        line->SetWriteRights(config);
}

MqttSnapshot MqttFrontEnd::Status() const {
    MqttSnapshot status{broker_, {}};
    for (const auto &line : lines_)
        status.lines.push_back(line->Status());
    return status;
}

std::string LineClientId(const Config &config, size_t line) {
    const std::string &id = config.mqtt->clientId;
    return config.lines.size() == 1 ? id : id + "-" + config.lines[line].name;
}

} // namespace vpisd::gateway
