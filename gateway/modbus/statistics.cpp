#include "gateway/modbus/statistics.h"

#include <algorithm>
#include <cstdio>

#include "gateway/log.h"

namespace vpisd::gateway {
namespace {

constexpr size_t kLatencySamples = 1024;

std::string Describe(const Tally &t) {
    const RequestCounts &c = t.counts;
    char text[200];
    std::snprintf(text, sizeof text,
                  "requests %llu ok %llu refused %llu no_answer %llu busy %llu rejected %llu "
                  "median_ms %.1f",
                  static_cast<unsigned long long>(c.requests),
                  static_cast<unsigned long long>(c.ok), static_cast<unsigned long long>(c.refused),
                  static_cast<unsigned long long>(c.noAnswer),
                  static_cast<unsigned long long>(c.busy),
                  static_cast<unsigned long long>(c.rejected), t.MedianMs());
    return text;
}

} // namespace

void Tally::Add(Outcome outcome, std::chrono::microseconds latency) {
    ++counts.requests;
    switch (outcome) {
    case Outcome::Ok:
        ++counts.ok;
        break;
    case Outcome::Refused:
        ++counts.refused;
        lastFailure = Failure{"refused", WallClock::now()};
        break;
    case Outcome::NoAnswer:
        ++counts.noAnswer;
        lastFailure = Failure{"no_answer", WallClock::now()};
        break;
    case Outcome::Busy:
        ++counts.busy;
        lastFailure = Failure{"busy", WallClock::now()};
        break;
    case Outcome::Restarting:
        ++counts.busy;
        lastFailure = Failure{"restarting", WallClock::now()};
        break;
    case Outcome::Rejected:
        ++counts.rejected;
        return; // no traffic: its latency says nothing about the line
    }
    const double seconds = static_cast<double>(latency.count()) / 1e6;
    const auto bucket = std::lower_bound(kDurationBoundsS.begin(), kDurationBoundsS.end(), seconds);
    ++counts.durations[static_cast<size_t>(bucket - kDurationBoundsS.begin())];
    counts.durationSumS += seconds;
    const auto us = static_cast<uint32_t>(std::min<int64_t>(latency.count(), UINT32_MAX));
    if (latencyUs.size() < kLatencySamples) {
        latencyUs.push_back(us);
    } else {
        latencyUs[nextSample] = us;
        nextSample = (nextSample + 1) % kLatencySamples;
    }
}

double Tally::MedianMs() const {
    if (latencyUs.empty())
        return 0.0;
    std::vector<uint32_t> sorted(latencyUs);
    const auto middle = sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2);
    std::nth_element(sorted.begin(), middle, sorted.end());
    return *middle / 1000.0;
}

void Statistics::Apply(std::shared_ptr<const Config> config) {
    std::lock_guard lock(mutex_);
    config_ = std::move(config);
}

RequestCounts Tally::Counts() const {
    RequestCounts withMedian = counts;
    withMedian.medianMs = MedianMs();
    return withMedian;
}

void Statistics::Record(uint8_t unit, Outcome outcome, std::chrono::microseconds latency) {
    std::lock_guard lock(mutex_);
    const UnitConfig *found = config_->FindUnit(unit);
    if (found == nullptr) {
        unknown_.Add(outcome, latency);
        return;
    }
    units_[unit].Add(outcome, latency);
    lines_[config_->lines[found->line].name].Add(outcome, latency);
}

void Statistics::Report() const {
    std::lock_guard lock(mutex_);
    for (const LineConfig &line : config_->lines) {
        const auto found = lines_.find(line.name);
        Log(Level::Notice, line.name,
            "statistics: line: " + Describe(found == lines_.end() ? Tally{} : found->second));
    }
    for (const UnitConfig &unit : config_->units) {
        const auto found = units_.find(unit.id);
        if (found == units_.end())
            continue;
        Log(Level::Notice, config_->lines[unit.line].name,
            "statistics: unit " + std::to_string(unit.id) + " (" + unit.plc +
                "): " + Describe(found->second));
    }
    if (unknown_.counts.requests > 0)
        Log(Level::Notice, "", "statistics: unknown units: " + Describe(unknown_));
}

// The tally is copied under the lock and its median taken outside, so that the server thread
// never waits for more than the copy.
RequestCounts Statistics::LineCounts(const std::string &line) const {
    Tally copy;
    {
        std::lock_guard lock(mutex_);
        const auto found = lines_.find(line);
        if (found != lines_.end())
            copy = found->second;
    }
    return copy.Counts();
}

RequestCounts Statistics::UnitCounts(uint8_t unit, std::optional<Failure> &lastFailure) const {
    Tally copy;
    {
        std::lock_guard lock(mutex_);
        const auto found = units_.find(unit);
        if (found != units_.end())
            copy = found->second;
    }
    lastFailure = copy.lastFailure;
    return copy.Counts();
}

} // namespace vpisd::gateway
