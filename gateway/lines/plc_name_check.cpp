#include "gateway/lines/plc_name_check.h"

#include "gateway/driver_log.h"
#include "gateway/log.h"
#include "host/init_check.h"
#include "host/init_file_messages.h"
#include "host/session.h"
#include "host/tag_layout.h"

namespace vpisd::gateway {
namespace {

// One user of a PLC name: a unit or a poll group, as its messages name it.
struct PlcUse {
    std::string key; // "unit[2].plc"
    int64_t fileLine;
    const std::string &plc;
};

std::vector<PlcUse> UsesOfLine(const Config &config, size_t line) {
    std::vector<PlcUse> uses;
    for (size_t u = 0; u < config.units.size(); ++u) {
        const UnitConfig &unit = config.units[u];
        if (unit.line == line && !unit.plc.empty())
            uses.push_back({"unit[" + std::to_string(u + 1) + "].plc", unit.fileLine, unit.plc});
    }
    for (size_t p = 0; p < config.polls.size(); ++p) {
        const PollConfig &poll = config.polls[p];
        if (poll.line == line && !poll.plc.empty())
            uses.push_back({"poll[" + std::to_string(p + 1) + "].plc", poll.fileLine, poll.plc});
    }
    return uses;
}

} // namespace

void CheckPlcNames(const Config &config, const std::vector<std::string> &initTexts,
                   const host::DriverLibrary &library, const DriverInfo &info,
                   std::vector<std::string> &problems) {
    std::vector<std::string> messages;
    CaptureDriverMessages(&messages);
    for (size_t i = 0; i < config.lines.size(); ++i) {
        const LineConfig &line = config.lines[i];
        host::LineOptions options;
        options.vpiNumber = line.vpi;
        options.timeoutMs = line.timeoutMs;
        host::VpiSession session(library);
        messages.clear();
        session.LoadRoutes(options, info.contextSize);
        const std::string where = config.path + ":" + std::to_string(line.fileLine) + ": line[" +
                                  std::to_string(i + 1) + "].init: ";
        const host::InitCheck initCheck =
            line.init.empty() ? host::InitCheck{} : host::CheckInitText(initTexts[i]);
        for (const std::string &message : messages) {
            if (line.init.empty() ||
                host::ClassifyInitFileMessage(message) != host::InitFileMessage::Complaint)
                continue;
            // The same explanation as vpisd-cli check-init gives for that line.
            const int number = host::MessageLine(initCheck, message);
            const std::string why = number > 0 ? host::ExplainLine(initCheck, number) : "";
            problems.push_back(where + line.init + ": " + message +
                               (why.empty() ? "" : " (" + why + ")"));
        }
        for (const PlcUse &use : UsesOfLine(config, i)) {
            host::TagLayout layout;
            if (session.Parse(use.plc + "0001", 1, layout) == VPI_OK)
                continue;
            problems.push_back(config.path + ":" + std::to_string(use.fileLine) + ": " + use.key +
                               ": \"" + use.plc + "\" is not a PLC of line \"" + line.name + "\"" +
                               (line.init.empty() ? std::string(" (peer to peer: use \"00\")")
                                                  : " (init file " + line.init + ")"));
        }
    }
    CaptureDriverMessages(nullptr);
}

} // namespace vpisd::gateway
