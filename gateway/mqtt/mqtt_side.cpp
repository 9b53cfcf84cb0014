#include "gateway/mqtt/mqtt_side.h"

#include "gateway/log.h"
#include "host/session.h"
#include "host/values.h"

namespace vpisd::gateway {

MqttSide::MqttSide(const Config &config, std::vector<std::unique_ptr<LineWorker>> &workers,
                   Statistics &statistics) {
    if (!config.mqtt)
        return;
    statistics.Attach(&statistics_);
    for (size_t i = 0; i < config.lines.size(); ++i)
        lines_.push_back(std::make_unique<MqttLine>(config, i, *workers[i], LineClientId(config, i),
                                                    statistics_));
}

bool MqttSide::Start(std::string &error) {
    for (auto &line : lines_) {
        if (!line->Start(error))
            return false;
    }
    return true;
}

void MqttSide::Stop() {
    for (auto &line : lines_)
        line->Stop();
}

std::string LineClientId(const Config &config, size_t line) {
    const std::string &id = config.mqtt->clientId;
    return config.lines.size() == 1 ? id : id + "-" + config.lines[line].name;
}

void CheckPolls(const Config &config, const host::DriverLibrary &library, const DriverInfo &info,
                std::vector<std::string> &problems) {
    std::vector<std::string> messages; // the driver's, already reported by the unit check
    CaptureDriverMessages(&messages);
    for (size_t i = 0; i < config.lines.size(); ++i) {
        const LineConfig &line = config.lines[i];
        host::LineOptions options;
        options.vpiNumber = line.vpi;
        options.timeoutMs = line.timeoutMs;
        host::VpiSession session(library);
        session.LoadRoutes(options, info.contextSize);
        for (size_t p = 0; p < config.polls.size(); ++p) {
            const PollConfig &poll = config.polls[p];
            host::TagLayout layout;
            if (poll.line != i || poll.plc.empty() ||
                session.Parse(poll.plc + "0001", 1, layout) == VPI_OK)
                continue;
            problems.push_back(config.path + ":" + std::to_string(poll.fileLine) + ": poll[" +
                               std::to_string(p + 1) + "].plc: \"" + poll.plc +
                               "\" is not a PLC of line \"" + line.name + "\"" +
                               (line.init.empty() ? std::string(" (peer to peer: use \"00\")")
                                                  : " (init file " + line.init + ")"));
        }
    }
    CaptureDriverMessages(nullptr);
}

} // namespace vpisd::gateway
