#include "stop_flag.h"

#include <time.h>

#include <atomic>
#include <csignal>

namespace vpisd::cli {
namespace {

constexpr long long kRepeatWindowMs = 500;

volatile std::sig_atomic_t stopRequested = 0;
std::atomic<long long> stopAtMs{0};
static_assert(std::atomic<long long>::is_always_lock_free);

long long NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

} // namespace

bool StopRequested() {
    return stopRequested != 0;
}

void RequestStop() {
    if (stopRequested == 0)
        stopAtMs = NowMs();
    stopRequested = 1;
}

bool StopJustRequested() {
    return stopRequested != 0 && NowMs() - stopAtMs < kRepeatWindowMs;
}

} // namespace vpisd::cli
