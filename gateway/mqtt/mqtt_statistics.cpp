#include "gateway/mqtt/mqtt_statistics.h"

#include <algorithm>
#include <string>

#include "gateway/log.h"

namespace vpisd::gateway {

static_assert(static_cast<size_t>(Quality::Good) == 0 &&
                  static_cast<size_t>(Quality::NoAnswer) == 1 &&
                  static_cast<size_t>(Quality::Refused) == 2,
              "MqttPlcStatistics counts the qualities of a read by their number");

void MqttStatistics::Report() const {
    const auto n = [](const std::atomic<uint64_t> &counter) {
        return std::to_string(counter.load());
    };
    Log(Level::Notice, "",
        "statistics: mqtt: publishes " + n(publishes) + " connects " + n(connects) +
            " reconnects " + n(reconnects) + " connections_lost " + n(connectionsLost) +
            " polls_ok " + n(pollsOk) + " polls_no_answer " + n(pollsNoAnswer) + " polls_refused " +
            n(pollsRefused) + " polls_busy " + n(pollsBusy) + " writes_ok " + n(writes[0]) +
            " writes_refused " + n(writes[1]) + " writes_no_answer " + n(writes[2]) +
            " writes_read_only " + n(writes[3]));
}

MqttPlcStatistics::MqttPlcStatistics(const std::vector<std::string> &polled,
                                     const std::vector<std::string> &others) {
    Track(polled, others);
}

void MqttPlcStatistics::Track(const std::vector<std::string> &polled,
                              const std::vector<std::string> &others) {
    std::lock_guard lock(mutex_);
    for (Entry &entry : entries_)
        entry.polled = false;
    for (const std::string &plc : polled) {
        if (FindLocked(plc) == nullptr)
            entries_.emplace_back().plc = plc;
        FindLocked(plc)->polled = true;
    }
    for (const std::string &plc : others) {
        if (FindLocked(plc) == nullptr)
            entries_.emplace_back().plc = plc;
    }
}

MqttPlcStatistics::Entry *MqttPlcStatistics::FindLocked(const std::string &plc) const {
    const auto found = std::find_if(entries_.begin(), entries_.end(),
                                    [&](const Entry &entry) { return entry.plc == plc; });
    return found == entries_.end() ? nullptr : const_cast<Entry *>(&*found);
}

void MqttPlcStatistics::CountPoll(const std::string &plc, Quality quality) {
    const auto index = static_cast<size_t>(quality);
    std::lock_guard lock(mutex_);
    if (Entry *entry = FindLocked(plc); entry != nullptr && index < kQualities)
        ++entry->polls[index];
}

void MqttPlcStatistics::CountWrite(const std::string &plc, WriteOutcome outcome) {
    std::lock_guard lock(mutex_);
    if (Entry *entry = FindLocked(plc); entry != nullptr)
        ++entry->writes[static_cast<size_t>(outcome)];
}

std::vector<MqttPlcCounts> MqttPlcStatistics::Snapshot() const {
    std::vector<MqttPlcCounts> out;
    std::lock_guard lock(mutex_);
    for (const Entry &entry : entries_) {
        MqttPlcCounts counts{entry.plc, entry.polled, {}, {}};
        for (size_t i = 0; i < kQualities; ++i)
            counts.polls.emplace_back(QualityWord(static_cast<Quality>(i)), entry.polls[i].load());
        for (size_t i = 0; i < kOutcomes; ++i)
            counts.writes.emplace_back(OutcomeWord(static_cast<WriteOutcome>(i)),
                                       entry.writes[i].load());
        out.push_back(std::move(counts));
    }
    return out;
}

} // namespace vpisd::gateway
