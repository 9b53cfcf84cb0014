// How busy a line has been over the last minute: the requests it answered and the time it
// spent in transactions, kept per second in a ring. Written by the line's worker, read by the
// status endpoint from any thread.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>

namespace vpisd::gateway {

class LineActivity {
  public:
    using Clock = std::chrono::steady_clock;

    void Answered(Clock::time_point now);
    void Busy(Clock::time_point began, Clock::time_point ended);

    struct Minute {
        double requestsPerS = 0;
        double busyShare = 0; // 0..1
    };
    // The last 60 s (less while the line is younger).
    Minute LastMinute(Clock::time_point now) const;
    // Every transaction's time since the worker started.
    double busyTotalS() const;

  private:
    struct Second {
        int64_t second = -1; // since the clock's epoch: which second the slot holds
        uint64_t answered = 0;
        Clock::duration busy{};
    };
    static constexpr int64_t kSeconds = 60;
    Second &Slot(int64_t second);

    mutable std::mutex mutex_;
    std::array<Second, kSeconds> ring_{};
    Clock::duration busyTotal_{};
    Clock::time_point born_ = Clock::now();
};

} // namespace vpisd::gateway
