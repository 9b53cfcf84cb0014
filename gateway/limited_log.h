// Repeated log lines held to one per kind and key a minute. The first line of a key is logged
// at once; the ones that follow within the minute are counted and told in one line once that
// minute is over ("queue full: 967 more for unit 1 answered busy (06) in the last minute"). Keys
// are capped too: past `keys` at a time, the lines of further keys are counted together, so a
// flood with ever new keys (addresses, topics) costs a bounded number of lines and of memory.
// Thread-safe: several threads may note lines and flush.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "gateway/log.h"

namespace vpisd::gateway {

class LimitedLog {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto kWindow = std::chrono::seconds(60);
    static constexpr size_t kKeys = 32;

    // How a count line reads: "HEAD 1,234 more TAIL in the last minute".
    struct Count {
        std::string head; // "queue full:"
        std::string tail; // "for unit 1 answered busy (06)"
    };

    // `others`: the count line of the keys past the cap ({"refused", "from other addresses"}).
    explicit LimitedLog(Count others, size_t keys = kKeys)
        : others_(std::move(others)), keys_(keys) {}
    ~LimitedLog() { Flush(true); }
    LimitedLog(const LimitedLog &) = delete;
    LimitedLog &operator=(const LimitedLog &) = delete;

    // Logs `text` on `line` unless a line of `key` was logged less than a minute ago; true when
    // it was logged.
    bool Note(Level level, const std::string &line, const std::string &key, const std::string &text,
              const Count &count);
    // Logs the counts of the minutes that are over; every count with `all` (at the end).
    void Flush(bool all);

  private:
    struct Entry {
        Clock::time_point since{}; // when its line was logged (the others: their first line)
        uint64_t unlogged = 0;
        Level level = Level::Info;
        std::string line;
        Count count;
    };
    static void LogCount(const Entry &entry);
    void FlushLocked(Clock::time_point now, bool all);

    const Count others_;
    const size_t keys_;
    std::mutex mutex_;
    std::map<std::string, Entry> entries_;
    std::optional<Entry> overflow_; // the lines of keys past the cap, this minute
};

// 3211 as "3,211".
std::string Grouped(uint64_t count);

} // namespace vpisd::gateway
