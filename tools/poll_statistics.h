// The closing summary of a poll, in the manner of the common Modbus polling tools.
#pragma once

#include <string>
#include <string_view>

#include "output.h"

namespace vpisd::cli {

struct PollStatistics {
    int rounds = 0;
    int requests = 0; // reads sent to the driver
    int replies = 0;  // reads answered and accepted
    int refused = 0;
    int noAnswer = 0;
    int retries = 0; // tries after the first, of requests and of link enquiries
    int naks = 0;    // NAKs the line sent in place of an acknowledgement
    double seconds = 0;
    // Response times of accepted replies, in milliseconds.
    double minMs = 0;
    double maxMs = 0;
    double totalMs = 0;

    void Count(LineStatus status, double milliseconds);
    // Counts what one of the driver's protocol traces tells.
    void CountTrace(std::string_view trace);
    int errors() const { return refused + noAnswer; }
    // Share of requests without an accepted reply, in percent; 0 before any request.
    double LossPercent() const;
    double AverageMs() const { return replies == 0 ? 0.0 : totalMs / replies; }
};

std::string FormatStatistics(Format format, const PollStatistics &stats, const std::string &port);

} // namespace vpisd::cli
