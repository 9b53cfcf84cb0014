#include "gateway/lines/route_check.h"

#include "gateway/log.h"
#include "host/init_file_messages.h"
#include "host/session.h"
#include "host/values.h"

namespace vpisd::gateway {

void CheckRoutes(const Config &config, const host::DriverLibrary &library, const DriverInfo &info,
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
        for (const std::string &message : messages) {
            if (!line.init.empty() &&
                host::ClassifyInitFileMessage(message) == host::InitFileMessage::Complaint)
                problems.push_back(where + line.init + ": " + message);
        }
        for (size_t u = 0; u < config.units.size(); ++u) {
            const UnitConfig &unit = config.units[u];
            if (unit.line != i || unit.plc.empty())
                continue;
            host::TagLayout layout;
            if (session.Parse(unit.plc + "0001", 1, layout) != VPI_OK) {
                problems.push_back(config.path + ":" + std::to_string(unit.fileLine) + ": unit[" +
                                   std::to_string(u + 1) + "].plc: \"" + unit.plc +
                                   "\" is not a PLC of line \"" + line.name + "\"" +
                                   (line.init.empty() ? std::string(" (peer to peer: use \"00\")")
                                                      : " (init file " + line.init + ")"));
            }
        }
    }
    CaptureDriverMessages(nullptr);
}

} // namespace vpisd::gateway
