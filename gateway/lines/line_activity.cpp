#include "gateway/lines/line_activity.h"

#include <algorithm>

namespace vpisd::gateway {
namespace {

int64_t SecondOf(LineActivity::Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

} // namespace

LineActivity::Second &LineActivity::Slot(int64_t second) {
    Second &slot = ring_[static_cast<size_t>(second % kSeconds)];
    if (slot.second != second)
        slot = Second{second, 0, {}};
    return slot;
}

void LineActivity::Answered(Clock::time_point now) {
    std::lock_guard lock(mutex_);
    ++Slot(SecondOf(now)).answered;
}

// A transaction longer than a second is spread over the seconds it took.
void LineActivity::Busy(Clock::time_point began, Clock::time_point ended) {
    if (ended <= began)
        return;
    std::lock_guard lock(mutex_);
    busyTotal_ += ended - began;
    for (Clock::time_point from = began; from < ended;) {
        const int64_t second = SecondOf(from);
        const Clock::time_point next{std::chrono::seconds(second + 1)};
        const Clock::time_point to = std::min(ended, next);
        Slot(second).busy += to - from;
        from = to;
    }
}

LineActivity::Minute LineActivity::LastMinute(Clock::time_point now) const {
    std::lock_guard lock(mutex_);
    const int64_t current = SecondOf(now);
    uint64_t answered = 0;
    Clock::duration busy{};
    for (const Second &slot : ring_) {
        if (slot.second > current - kSeconds && slot.second <= current) {
            answered += slot.answered;
            busy += slot.busy;
        }
    }
    const double window =
        std::clamp(std::chrono::duration<double>(now - born_).count(), 1.0, double(kSeconds));
    return {static_cast<double>(answered) / window,
            std::min(1.0, std::chrono::duration<double>(busy).count() / window)};
}

double LineActivity::busyTotalS() const {
    std::lock_guard lock(mutex_);
    return std::chrono::duration<double>(busyTotal_).count();
}

} // namespace vpisd::gateway
