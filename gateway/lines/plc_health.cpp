#include "gateway/lines/plc_health.h"

#include <algorithm>

#include "gateway/log.h"

namespace vpisd::gateway {
namespace {

using std::chrono::seconds;

constexpr uint8_t kNormalRoute = 1;
constexpr uint8_t kBackupRoute = 2;

std::string Seconds(WallClock::duration span) {
    const auto whole = std::chrono::duration_cast<seconds>(span).count();
    return std::to_string(std::max<long long>(whole, 0)) + " s";
}

} // namespace

PlcHealth::PlcHealth(std::string line, DemotionPolicy policy)
    : line_(std::move(line)), policy_(policy) {}

void PlcHealth::List(const std::vector<std::pair<std::string, bool>> &plcs) {
    std::lock_guard lock(mutex_);
    for (const auto &[plc, hasBackup] : plcs)
        Find(plc).hasBackup = hasBackup;
}

PlcHealth::Entry &PlcHealth::Find(const std::string &plc) {
    const auto found = std::find_if(entries_.begin(), entries_.end(),
                                    [&](const Entry &entry) { return entry.plc == plc; });
    if (found != entries_.end())
        return *found;
    Entry entry;
    entry.plc = plc;
    entries_.push_back(std::move(entry));
    return entries_.back();
}

void PlcHealth::Enter(Entry &entry, PlcState state) {
    if (entry.state == state)
        return;
    entry.state = state;
    entry.since = WallClock::now();
    ++changes_;
}

bool PlcHealth::Demoted(const std::string &plc, Clock::time_point now) const {
    std::lock_guard lock(mutex_);
    const auto found = std::find_if(entries_.begin(), entries_.end(),
                                    [&](const Entry &entry) { return entry.plc == plc; });
    return found != entries_.end() && found->state == PlcState::Demoted &&
           (now < found->holdEnds || found->probing);
}

bool PlcHealth::Picked(const std::string &plc, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    const auto found = std::find_if(entries_.begin(), entries_.end(),
                                    [&](const Entry &entry) { return entry.plc == plc; });
    if (found == entries_.end() || found->state != PlcState::Demoted || now < found->holdEnds ||
        found->probing)
        return false;
    found->probing = true;
    return true;
}

void PlcHealth::Served(const std::string &plc) {
    std::lock_guard lock(mutex_);
    for (Entry &entry : entries_) {
        if (entry.plc == plc)
            entry.probing = false;
    }
}

void PlcHealth::Answered(const std::string &plc, Clock::time_point) {
    std::lock_guard lock(mutex_);
    Entry &entry = Find(plc);
    const WallClock::time_point now = WallClock::now();
    if (entry.misses > 0 && (entry.state == PlcState::Silent || entry.state == PlcState::Demoted))
        Log(Level::Notice, line_,
            "PLC " + plc + " answering again after " + Seconds(now - entry.silentSince) +
                " silent");
    entry.lastSuccess = now;
    entry.misses = 0;
    entry.missedRoutes = 0;
    entry.probing = false;
    entry.hold = {};
    Enter(entry, PlcState::Answering);
}

void PlcHealth::Unanswered(const std::string &plc, bool onBackup, const std::string &what,
                           Clock::time_point now) {
    std::lock_guard lock(mutex_);
    Entry &entry = Find(plc);
    const WallClock::time_point wallNow = WallClock::now();
    const bool first = entry.misses == 0;
    if (first)
        entry.silentSince = wallNow;
    entry.misses = std::min(entry.misses + 1, 1000);
    entry.missedRoutes |= onBackup ? kBackupRoute : kNormalRoute;
    entry.lastError = what;
    entry.lastErrorAt = wallNow;
    const uint8_t routes = entry.hasBackup ? kNormalRoute | kBackupRoute : kNormalRoute;
    // Demotion never keeps the driver from trying the backup route: both must have failed, at
    // the first demotion as at every probe (the driver takes the other route after a miss).
    const bool bothMissed = (entry.missedRoutes & routes) == routes;
    if (entry.state == PlcState::Demoted) {
        entry.probing = false;
        if (!bothMissed)
            return; // the hold stays over: the next transaction probes the other route
        entry.hold = std::min(entry.hold * 2, policy_.longestHold);
        entry.holdEnds = now + entry.hold;
        entry.missedRoutes = 0;
        return; // still demoted, for longer; nothing more to say while it stays silent
    }
    const bool demote = policy_.hold.count() > 0 && entry.misses >= policy_.after && bothMissed;
    const std::string name = "PLC " + plc + " stopped answering";
    if (!demote) {
        if (first)
            Log(Level::Warning, line_, name + " (" + what + ")");
        Enter(entry, PlcState::Silent);
        return;
    }
    entry.hold = std::min(policy_.hold, policy_.longestHold);
    entry.holdEnds = now + entry.hold;
    entry.missedRoutes = 0;
    ++entry.demotions;
    const std::string held = "demoted for " + std::to_string(entry.hold.count()) + " s";
    if (first)
        Log(Level::Warning, line_, name + " (" + what + "); " + held);
    else
        Log(Level::Info, line_, "PLC " + plc + " " + held);
    Enter(entry, PlcState::Demoted);
}

void PlcHealth::LineDown() {
    std::lock_guard lock(mutex_);
    for (Entry &entry : entries_) {
        entry.misses = 0;
        entry.missedRoutes = 0;
        entry.probing = false;
        entry.hold = {};
        Enter(entry, PlcState::Unknown);
    }
}

std::vector<PlcHealthSnapshot> PlcHealth::Snapshot() const {
    std::lock_guard lock(mutex_);
    std::vector<PlcHealthSnapshot> out;
    out.reserve(entries_.size());
    for (const Entry &entry : entries_)
        out.push_back({entry.plc, entry.state, entry.since, entry.lastSuccess, entry.lastError,
                       entry.lastErrorAt, entry.demotions});
    return out;
}

} // namespace vpisd::gateway
