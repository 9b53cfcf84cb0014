#include "gateway/limited_log.h"

#include <algorithm>

namespace vpisd::gateway {

std::string Grouped(uint64_t count) {
    std::string digits = std::to_string(count);
    for (auto at = static_cast<std::ptrdiff_t>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<size_t>(at), 1, ',');
    return digits;
}

void LimitedLog::LogCount(const Entry &entry) {
    if (entry.unlogged == 0)
        return;
    Log(entry.level, entry.line,
        entry.count.head + " " + Grouped(entry.unlogged) + " more" +
            (entry.count.tail.empty() ? "" : " " + entry.count.tail) + " in the last minute");
}

bool LimitedLog::Note(Level level, const std::string &line, const std::string &key,
                      const std::string &text, const Count &count) {
    const auto now = Clock::now();
    std::lock_guard lock(mutex_);
    FlushLocked(now, false);
    if (const auto found = entries_.find(key); found != entries_.end()) {
        ++found->second.unlogged;
        found->second.level = std::min(found->second.level, level);
        return false;
    }
    if (entries_.size() >= keys_) {
        if (!overflow_)
            overflow_ = Entry{now, 0, level, line, others_};
        ++overflow_->unlogged;
        overflow_->level = std::min(overflow_->level, level);
        return false;
    }
    entries_.emplace(key, Entry{now, 0, level, line, count});
    Log(level, line, text);
    return true;
}

void LimitedLog::Flush(bool all) {
    const auto now = Clock::now();
    std::lock_guard lock(mutex_);
    FlushLocked(now, all);
}

void LimitedLog::FlushLocked(Clock::time_point now, bool all) {
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (!all && now - it->second.since < kWindow) {
            ++it;
            continue;
        }
        LogCount(it->second);
        it = entries_.erase(it);
    }
    if (overflow_ && (all || now - overflow_->since >= kWindow)) {
        LogCount(*overflow_);
        overflow_.reset();
    }
}

} // namespace vpisd::gateway
