// The poller's time: the steady clock, or in a test a clock that moves only when the test moves
// it, so that a round's interval is seen to pass in a millisecond.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace vpisd::gateway {

class PollClock {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;

    virtual ~PollClock() = default;
    virtual TimePoint Now() const = 0;
    // Waits on `wake`, whose `lock` is held, until `until` by this clock or a notification; may
    // return sooner, the caller looking again.
    virtual void WaitUntil(std::condition_variable &wake, std::unique_lock<std::mutex> &lock,
                           TimePoint until) const = 0;
};

// The steady clock, for every poller of the gateway.
const PollClock &SteadyPollClock();

} // namespace vpisd::gateway
