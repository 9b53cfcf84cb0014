// What a reload changes, decided once from the running configuration and the one just read:
// which lines keep their worker, which start and which stop, and what each front end does.
// A pure function of the two records (and the init files' texts), so that it is tested without
// a process; the owner carries the plan out.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "gateway/config/config.h"

namespace vpisd::gateway {

// What one front end does at a reload.
enum class FrontEndChange : uint8_t {
    None,    // not configured before nor now
    Start,   // configured now, not before
    Stop,    // configured before, not now
    Apply,   // configured both times: takes the new units, polls and lines as it runs
    Restart, // its own table changed: stopped, then started anew
};

const char *FrontEndChangeName(FrontEndChange change); // "none", "start", ...

struct ReloadPlan {
    // Per line of the new configuration: the running line whose worker it keeps (same
    // settings, same init file), or nullopt when a new worker starts for it.
    std::vector<std::optional<size_t>> keptFrom;
    std::vector<size_t> stopped; // running lines whose worker stops
    FrontEndChange modbus = FrontEndChange::None;
    FrontEndChange mqtt = FrontEndChange::None;
    // Restart also when the poll groups or the lines it reads change: its devices are those.
    FrontEndChange sparkplug = FrontEndChange::None;
    FrontEndChange http = FrontEndChange::None;

    size_t kept() const;
    size_t started() const { return keptFrom.size() - kept(); }
    // "2 lines kept, 1 started, 0 stopped"
    std::string Describe() const;
};

// `runningInits` / `nextInits`: the text of each line's init file (empty for none), in the
// order of the lines. Where a line appears twice with the same settings, the first keeps the
// first worker.
ReloadPlan PlanReload(const Config &running, const std::vector<std::string> &runningInits,
                      const Config &next, const std::vector<std::string> &nextInits);

// The same settings once the bookkeeping is left out (where in the file a table stands, the
// per-PLC policies that units give a line and that a kept line takes as it runs).
bool SameLineSettings(const LineConfig &a, const LineConfig &b);
bool SameMqttSettings(const MqttConfig &a, const MqttConfig &b);
bool SameSparkplugSettings(const SparkplugConfig &a, const SparkplugConfig &b);
bool SamePolls(const std::vector<PollConfig> &a, const std::vector<PollConfig> &b);
// Line `lineA` of `a` reads the same groups, in the same order, as line `lineB` of `b`, wherever
// each line stands in its file.
bool SameLinePolls(const Config &a, size_t lineA, const Config &b, size_t lineB);

} // namespace vpisd::gateway
