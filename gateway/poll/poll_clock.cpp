#include "gateway/poll/poll_clock.h"

namespace vpisd::gateway {
namespace {

class SteadyClock final : public PollClock {
  public:
    TimePoint Now() const override { return std::chrono::steady_clock::now(); }
    void WaitUntil(std::condition_variable &wake, std::unique_lock<std::mutex> &lock,
                   TimePoint until) const override {
        wake.wait_until(lock, until);
    }
};

} // namespace

const PollClock &SteadyPollClock() {
    static const SteadyClock clock;
    return clock;
}

} // namespace vpisd::gateway
