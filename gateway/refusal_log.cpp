#include "gateway/refusal_log.h"

#include "gateway/config/allow_list.h"

namespace vpisd::gateway {
namespace {

// 3211 as "3,211".
std::string Grouped(uint64_t count) {
    std::string digits = std::to_string(count);
    for (auto at = static_cast<std::ptrdiff_t>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<size_t>(at), 1, ',');
    return digits;
}

} // namespace

void RefusalLog::LogCount(const std::string &address, uint64_t count) const {
    Log(level_, "",
        prefix_ + "refused " + Grouped(count) + " more from " + address + " in the last minute");
}

void RefusalLog::Refused(const std::string &peer, const std::string &reason) {
    const std::string address = AddressOf(peer);
    const auto now = Clock::now();
    std::lock_guard lock(mutex_);
    auto [it, fresh] = entries_.try_emplace(address);
    Entry &entry = it->second;
    if (!fresh && now - entry.since < kWindow) {
        ++entry.unlogged;
        return;
    }
    if (entry.unlogged > 0)
        LogCount(address, entry.unlogged);
    Log(level_, "", prefix_ + "refused " + peer + ": " + reason);
    entry = {now, 0};
}

void RefusalLog::Flush(bool all) {
    const auto now = Clock::now();
    std::lock_guard lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (!all && now - it->second.since < kWindow) {
            ++it;
            continue;
        }
        if (it->second.unlogged > 0)
            LogCount(it->first, it->second.unlogged);
        it = entries_.erase(it);
    }
}

} // namespace vpisd::gateway
