// Helpers shared by the serial tests: descriptor counts, timing, line probes.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "support/temp_dir.h" // ShortTmpName

namespace vpisd::test {

// Number of descriptors open in this process, from /proc/self/fd.
int CountOpenFds();

class Stopwatch {
  public:
    int64_t ElapsedMs() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - start_)
            .count();
    }

  private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Speed as the kernel holds it (termios2), read through any descriptor of the terminal.
struct KernelSpeed {
    bool custom;         // BOTHER: a rate without a B-constant
    uint32_t outputRate; // bits per second
};
bool ReadKernelSpeed(int fd, KernelSpeed *speed);

} // namespace vpisd::test
