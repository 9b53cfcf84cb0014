#include "gateway/descriptor_limit.h"

#include <sys/resource.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "gateway/http/http_server.h"
#include "gateway/log.h"

namespace vpisd::gateway {
namespace {

constexpr size_t kPerLine = 4;
constexpr size_t kMargin = 32;

} // namespace

size_t DescriptorsNeeded(const Config &config) {
    return static_cast<size_t>(config.server.maxClients) + 1 +
           (config.http ? HttpServer::kMaxConnections + 1 : 0) + kPerLine * config.lines.size() +
           kMargin;
}

void CheckDescriptorLimit(const Config &config) {
    const size_t need = DescriptorsNeeded(config);
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= need)
        return;
    const rlim_t before = limit.rlim_cur;
    // Only as far as needed: the hard limit may be far higher than anything the gateway uses.
    const rlim_t raised =
        limit.rlim_max == RLIM_INFINITY ? need : std::min<rlim_t>(need, limit.rlim_max);
    if (raised > before) {
        limit.rlim_cur = raised;
        if (setrlimit(RLIMIT_NOFILE, &limit) == 0) {
            Log(Level::Info, "",
                "descriptor limit raised from " + std::to_string(before) + " to " +
                    std::to_string(raised));
            if (raised >= need)
                return;
        } else {
            limit.rlim_cur = before;
        }
    }
    Log(Level::Warning, "",
        "descriptor limit " + std::to_string(limit.rlim_cur) + " is below the " +
            std::to_string(need) +
            " that max_clients = " + std::to_string(config.server.maxClients) +
            (config.http ? ", " + std::to_string(HttpServer::kMaxConnections) + " HTTP connections"
                         : std::string()) +
            " and " + std::to_string(config.lines.size()) +
            (config.lines.size() == 1 ? " line" : " lines") +
            " may need: raise LimitNOFILE= of the unit (or ulimit -n) to " + std::to_string(need) +
            " or more");
}

} // namespace vpisd::gateway
