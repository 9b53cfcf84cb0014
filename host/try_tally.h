// Follows the driver's traces of one read or write, on the thread that runs it, and tells what
// its tries met: the PLC's error replies, and requests the PLC acknowledged whose reply then did
// not come in time. The driver's result alone cannot tell a refusal from a reply that came late.
#pragma once

#include <chrono>
#include <optional>

#include "host/line_status.h"

namespace vpisd::host {

class TryTally {
  public:
    using Clock = std::chrono::steady_clock;

    // One message of the driver, by its format, logged at `at`.
    void Trace(const char *format, Clock::time_point at);
    // The transaction ended at `at` without an accepted reply: its last try ends there.
    void Failed(Clock::time_point at);
    const Tries &tries() const { return tries_; }

  private:
    void EndTry(Clock::time_point at);

    Tries tries_;
    bool linking_ = false;                     // between a link enquiry and its outcome
    std::optional<Clock::time_point> ackedAt_; // the try's request was acknowledged then
    bool replied_ = false;                     // the try got a reply frame or an error reply
};

} // namespace vpisd::host
