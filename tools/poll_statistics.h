// The closing summary of a poll, in the manner of the common Modbus polling tools.
#pragma once

#include <string>

#include "output.h"

namespace vpisd::cli {

struct PollStatistics {
    int rounds = 0;
    int requests = 0; // reads sent to the driver
    int replies = 0;  // reads answered and accepted
    int refused = 0;
    int noAnswer = 0;
    double seconds = 0;

    void Count(TagStatus status);
    int errors() const { return refused + noAnswer; }
    // Share of requests without an accepted reply, in percent; 0 before any request.
    double LossPercent() const;
};

std::string FormatStatistics(Format format, const PollStatistics &stats, const std::string &port);

} // namespace vpisd::cli
