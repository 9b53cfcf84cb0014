#include "stats.h"

namespace vpisd::sim {

Stats::Stats() {
    // Always listed, so that a reader can tell "none" from "not counted".
    for (const char *name : {"enquiries", "naks_received", "reply_acks", "fillers", "stray_bytes",
                             "frames", "frames_bad", "frames_stalled", "toggle_repeats",
                             "acks_sent", "replies_sent", "reads", "writes", "masked_writes"}) {
        counters[name] = 0;
    }
}

uint64_t Stats::Get(const std::string &name) const {
    const auto it = counters.find(name);
    return it == counters.end() ? 0 : it->second;
}

std::string Stats::Format() const {
    std::string out;
    for (const auto &[name, value] : counters) {
        out += "STAT " + name + " " + std::to_string(value) + "\n";
    }
    return out;
}

} // namespace vpisd::sim
