// Named counters of what the simulator received and what it injected.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace vpisd::sim {

struct Stats {
    Stats();
    void Add(const std::string &name, uint64_t n = 1) { counters[name] += n; }
    // 0 for a counter that never moved.
    uint64_t Get(const std::string &name) const;
    // "STAT <name> <value>" lines, sorted by name.
    std::string Format() const;

    std::map<std::string, uint64_t> counters;
};

} // namespace vpisd::sim
