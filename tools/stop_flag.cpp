#include "stop_flag.h"

#include <csignal>

namespace vpisd::cli {
namespace {
volatile std::sig_atomic_t stopRequested = 0;
}

bool StopRequested() {
    return stopRequested != 0;
}
void RequestStop() {
    stopRequested = 1;
}

} // namespace vpisd::cli
