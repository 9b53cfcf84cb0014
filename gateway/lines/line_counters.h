// What a line's worker did with its time, counted as it goes. Atomics, so that the statistics
// report (and any other reader) can read them from another thread at any moment.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace vpisd::gateway {

struct LineCounters {
    std::atomic<uint64_t> transactions{0}; // driver calls that put traffic on the line
    std::atomic<uint64_t> answered{0};     // requests answered, however
    std::atomic<uint64_t> merged{0};       // ... by a block read shared with other requests
    std::atomic<uint64_t> stored{0};       // ... from values read at most max_age_ms before
    std::atomic<uint64_t> held{0};         // ... refused at once, the range being held
    std::atomic<uint64_t> demoted{0};      // ... at once, their PLC being demoted

    // "transactions 12 answered 40 merged 30 stored 0 held 2 demoted 5"
    std::string Describe() const;
};

} // namespace vpisd::gateway
