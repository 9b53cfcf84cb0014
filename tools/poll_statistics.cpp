#include "poll_statistics.h"

#include <cstdio>

namespace vpisd::cli {

void PollStatistics::Count(TagStatus status) {
    ++requests;
    switch (status) {
    case TagStatus::Ok:
        ++replies;
        break;
    case TagStatus::Refused:
        ++refused;
        break;
    case TagStatus::NoAnswer:
        ++noAnswer;
        break;
    case TagStatus::BadGas:
        ++refused;
        break;
    }
}

double PollStatistics::LossPercent() const {
    return requests == 0 ? 0.0 : 100.0 * errors() / requests;
}

std::string FormatStatistics(Format format, const PollStatistics &stats, const std::string &port) {
    char text[512];
    if (format == Format::Json) {
        std::snprintf(text, sizeof text,
                      "{\"statistics\":{\"port\":%s,\"rounds\":%d,\"requests\":%d,\"replies\":%d,"
                      "\"errors\":%d,\"refused\":%d,\"noAnswer\":%d,\"lossPercent\":%.1f,"
                      "\"seconds\":%.3f}}\n",
                      JsonString(port).c_str(), stats.rounds, stats.requests, stats.replies,
                      stats.errors(), stats.refused, stats.noAnswer, stats.LossPercent(),
                      stats.seconds);
        return text;
    }
    std::snprintf(text, sizeof text,
                  "--- %s poll statistics ---\n"
                  "%d rounds, %d requests sent, %d replies received, %d errors "
                  "(%d refused, %d no answer), %.1f%% loss, %.2f s\n",
                  port.c_str(), stats.rounds, stats.requests, stats.replies, stats.errors(),
                  stats.refused, stats.noAnswer, stats.LossPercent(), stats.seconds);
    return text;
}

} // namespace vpisd::cli
